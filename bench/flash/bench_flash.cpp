// pelmora-flash writing the built-in image into one real-time simulated board, then into
// eight at once with --all: each board has its own worker, so eight should take little longer
// than one. Also the tool's CPU time and peak memory with eight. Prints figures beside their
// targets; asserts nothing about time.
#include "resources/firmware/firmware_resources.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

extern char **environ;

namespace {

constexpr double kTargetRatio = 1.25;

struct Figures {
    int exitCode = -1;
    double wallS = 0;
    double cpuS = 0;      // user + system
    long peakRssKiB = 0;
};

// The tool as a child of its own, so its resource use is its alone.
Figures runTool(const QStringList &args, int boards, const QString &flashPath)
{
    qputenv("PELMORA_BRIDGE", "sim");
    qputenv("PELMORA_SIM_TIMING", "realtime");
    qputenv("PELMORA_SIM_OUTPUT", "silent");
    qputenv("PELMORA_SIM_BRIDGES", QByteArray::number(boards));
    qputenv("PELMORA_SIM_FLASH", flashPath.toLocal8Bit());
    QList<QByteArray> storage{QByteArray(PELMORA_FLASH_BINARY)};
    for (const QString &a : args)
        storage << a.toLocal8Bit();
    std::vector<char *> argv;
    for (QByteArray &a : storage)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    // The tool's table goes to a file: a terminal would get live lines, not what is measured.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    Figures f;
    QElapsedTimer clock;
    clock.start();
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return f;
    }
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid)
        return f;
    f.wallS = double(clock.nsecsElapsed()) / 1e9;
    f.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    f.cpuS = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
             + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    f.peakRssKiB = usage.ru_maxrss;
    return f;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    pelmoraInitFirmwareResources();
    QTemporaryDir dir;
    const QString hexPath = dir.filePath(QStringLiteral("TremlinFix_1_0_37.hex"));
    if (!QFile::copy(QStringLiteral(":/hex/TremlinFix_1_0_37.hex"), hexPath)) {
        std::fprintf(stderr, "bench-flash: built-in image missing\n");
        return 1;
    }
    const QStringList args{QStringLiteral("write"), hexPath, QStringLiteral("--all")};
    const Figures one = runTool(args, 1, dir.filePath(QStringLiteral("one.bin")));
    const Figures eight = runTool(args, 8, dir.filePath(QStringLiteral("eight.bin")));
    if (one.exitCode != 0 || eight.exitCode != 0) {
        std::printf("bench-flash: the tool failed (exit %d with one board, %d with eight)\n", one.exitCode,
                    eight.exitCode);
        return 1;
    }
    const double ratio = eight.wallS / one.wallS;
    std::printf("built-in image (97,824 bytes), pelmora-flash write --all (written and read back), real-time simulated boards\n");
    std::printf("one board:     %6.2f s wall, %5.2f s CPU, %6ld KiB peak\n", one.wallS, one.cpuS, one.peakRssKiB);
    std::printf("eight boards:  %6.2f s wall, %5.2f s CPU, %6ld KiB peak\n", eight.wallS, eight.cpuS,
                eight.peakRssKiB);
    std::printf("eight / one:   %6.3f x (target <= %.2f x) %s\n", ratio, kTargetRatio,
                ratio <= kTargetRatio ? "met" : "MISSED");
    std::printf("CPU with eight: %.1f %% of one core over the run\n", 100.0 * eight.cpuS / eight.wallS);
    return 0;
}
