#include "prog_session.h"

#include "sharedmem/programming_client.h"
#include "sharedmem/vx_sharedmemsocked.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QThread>

#include <cstdio>

#if defined(_WIN32)
#include <io.h>
#define PELMORA_ISATTY _isatty
#define PELMORA_FILENO _fileno
#else
#include <unistd.h>
#define PELMORA_ISATTY isatty
#define PELMORA_FILENO fileno
#endif

volatile std::sig_atomic_t g_StopRequested = 0;

namespace {

constexpr int kPollMs = 10;
// The loader reacts to changes only, polling every millisecond: a request byte that has just
// gone back to 0 must stay there for a few of its passes before it is raised again.
constexpr int kSettleMs = 50;
// The loader answers a withdrawal within a pass; past this, no loader is there to answer.
constexpr int kResetWaitMs = 2000;

class Progress {
public:
    Progress() : m_Tty(PELMORA_ISATTY(PELMORA_FILENO(stdout)) != 0) {}
    ~Progress() { finish(); }
    void show(double seconds, const char *what)
    {
        if (m_Tty) {
            std::printf("\r%7.1f s  %-40s", seconds, what);
            std::fflush(stdout);
            m_Open = true;
        } else if (m_Last != what) {
            // A log or a pipe gets one line per change, not a line per poll.
            std::printf("%.1f s  %s\n", seconds, what);
            std::fflush(stdout);
        }
        m_Last = what;
    }
    void finish()
    {
        if (m_Open)
            std::printf("\n");
        m_Open = false;
    }

private:
    bool m_Tty;
    bool m_Open = false;
    QString m_Last;
};

int fail(int code, const QString &message)
{
    std::fprintf(stderr, "pelmora-prog: %s\n", qUtf8Printable(message));
    return code;
}

} // namespace

int runProgramming(const QString &key, const QString &hexPath, double timeoutSeconds)
{
    const QString absolute = QFileInfo(hexPath).absoluteFilePath();
    QString why;
    if (!VX_SharedMemSocked::isUsableHexPath(absolute, &why))
        return fail(kExitUsage, why);
    const int bytes = absolute.toUtf8().size();
    if (bytes > kPath2HexfileMaxBytes)
        return fail(kExitUsage, QStringLiteral("path is %1 bytes of UTF-8, the loader takes at most %2: %3")
                                    .arg(bytes).arg(kPath2HexfileMaxBytes).arg(absolute));

    ProgrammingClient client(key);
    if (!client.attachOrCreate(&why))
        return fail(kExitNoSharedMemory, QStringLiteral("shared memory \"%1\" not available: %2").arg(key, why));

    QElapsedTimer clock;
    clock.start();
    const qint64 limitMs = qint64(timeoutSeconds * 1000.0);
    auto elapsed = [&clock] { return double(clock.elapsed()) / 1000.0; };
    Progress progress;
    SharedMemSnapshot s;
    bool submitted = false;

    auto abandon = [&](int code, const QString &message) {
        if (submitted)
            client.withdraw();
        progress.finish();
        return fail(code, message);
    };

    // Phase 1: wait until no earlier request is pending, and its answer has been cleared.
    qint64 idleSince = -1;
    qint64 staleSince = -1;
    for (;;) {
        if (g_StopRequested)
            return abandon(kExitInterrupted, QStringLiteral("interrupted"));
        if (clock.elapsed() > limitMs)
            return abandon(kExitTimeout, QStringLiteral("timed out waiting for an earlier request to finish"));
        if (!client.read(&s))
            return abandon(kExitNoSharedMemory, QStringLiteral("shared memory lock failed"));
        if (s.request != 0) {
            idleSince = staleSince = -1;
            progress.show(elapsed(), "waiting for an earlier request to finish");
        } else if (s.result != kResultNone) {
            if (staleSince < 0)
                staleSince = clock.elapsed();
            else if (clock.elapsed() - staleSince > kResetWaitMs)
                client.clearStaleResult();
        } else {
            if (idleSince < 0)
                idleSince = clock.elapsed();
            else if (clock.elapsed() - idleSince >= kSettleMs)
                break;
        }
        QThread::msleep(kPollMs);
    }

    // Phase 2: ask, and wait for the answer.
    if (!client.submit(absolute))
        return abandon(kExitNoSharedMemory, QStringLiteral("shared memory lock failed"));
    submitted = true;
    for (;;) {
        if (g_StopRequested)
            return abandon(kExitInterrupted, QStringLiteral("interrupted, request withdrawn"));
        if (clock.elapsed() > limitMs)
            return abandon(kExitTimeout, QStringLiteral("timed out after %1 s, request withdrawn").arg(timeoutSeconds));
        if (!client.read(&s))
            return abandon(kExitNoSharedMemory, QStringLiteral("shared memory lock failed"));
        if (s.result != kResultNone)
            break;
        progress.show(elapsed(), s.pelmoraRunning ? (s.boardConnected ? "programming" : "programming (no board connected)")
                                                  : "waiting for the loader");
        QThread::msleep(kPollMs);
    }
    const qint32 result = s.result;

    // Phase 3: withdraw and let the loader return to idle, so the next client can ask.
    client.withdraw();
    submitted = false;
    QElapsedTimer resetClock;
    resetClock.start();
    while (resetClock.elapsed() < kResetWaitMs && client.read(&s) && s.result != kResultNone)
        QThread::msleep(kPollMs);
    progress.finish();
    if (s.result != kResultNone)
        std::fprintf(stderr, "pelmora-prog: the loader did not clear its result\n");

    if (result == kResultWritten) {
        std::printf("firmware written: %s\n", qUtf8Printable(absolute));
        return kExitWritten;
    }
    if (result == kResultFailed)
        return fail(kExitFailed, QStringLiteral("programming failed: %1").arg(absolute));
    return fail(kExitFailed, QStringLiteral("unexpected result %1 from the loader").arg(result));
}

int runStatus(const QString &key)
{
    ProgrammingClient client(key);
    SharedMemSnapshot s;
    if (!client.attachExisting(nullptr) || !client.read(&s)) {
        std::printf("loader: not running (no shared block \"%s\")\n", qUtf8Printable(key));
        return kExitWritten;
    }
    std::printf("loader: %s\n", s.pelmoraRunning ? "running" : "not running");
    std::printf("board: %s\n", s.boardConnected ? "connected" : "not connected");
    std::printf("bridge: %s\n", s.nameOfConnectedDevice.isEmpty() ? "-" : qUtf8Printable(s.nameOfConnectedDevice));
    std::printf("request: %s\n", s.request ? "pending" : "none");
    if (s.result != kResultNone)
        std::printf("result: %d\n", int(s.result));
    return kExitWritten;
}
