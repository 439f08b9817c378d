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

// Shows that the client is alive: on a terminal one status line rewritten once a second; in a
// log or a pipe a line when the state changes and one every few seconds while it lasts.
class Progress {
public:
    Progress() : m_Tty(PELMORA_ISATTY(PELMORA_FILENO(stdout)) != 0) {}
    ~Progress() { finish(); }
    void show(qint64 elapsedMs, const char *what)
    {
        const bool changed = m_Last != QLatin1String(what);
        const qint64 every = m_Tty ? kTerminalEveryMs : kLogEveryMs;
        if (!changed && elapsedMs - m_ShownAt < every)
            return;
        if (m_Tty) {
            std::printf("\r%5lld s  %-40s", elapsedMs / 1000, what);
            m_Open = true;
        } else {
            std::printf("%.1f s  %s\n", double(elapsedMs) / 1000.0, what);
        }
        std::fflush(stdout);
        m_ShownAt = elapsedMs;
        m_Last = QLatin1String(what);
    }
    void finish()
    {
        if (m_Open)
            std::printf("\n");
        m_Open = false;
    }

private:
    static constexpr qint64 kTerminalEveryMs = 1000;
    static constexpr qint64 kLogEveryMs = 3000;
    bool m_Tty;
    bool m_Open = false;
    qint64 m_ShownAt = 0;
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
    auto took = [&clock] { return QStringLiteral(" (took %1 s)").arg(double(clock.elapsed()) / 1000.0, 0, 'f', 1); };
    Progress progress;
    SharedMemSnapshot s;
    bool submitted = false;

    auto abandon = [&](int code, const QString &message) {
        if (submitted)
            client.withdraw();
        progress.finish();
        return fail(code, message);
    };

    for (;;) {
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
                progress.show(clock.elapsed(), "waiting for an earlier request to finish");
            } else if (s.result != kResultNone) {
                if (staleSince < 0)
                    staleSince = clock.elapsed();
                else if (clock.elapsed() - staleSince > kResetWaitMs || !s.pelmoraRunning)
                    client.clearStaleResult();
            } else {
                if (idleSince < 0)
                    idleSince = clock.elapsed();
                else if (clock.elapsed() - idleSince >= kSettleMs)
                    break;
            }
            QThread::msleep(kPollMs);
        }
        // Phase 2: ask; another client may have taken the request in the meantime.
        const ProgrammingClient::Submit taken = client.submit(absolute);
        if (taken == ProgrammingClient::Submit::Failed)
            return abandon(kExitNoSharedMemory, QStringLiteral("shared memory lock failed"));
        if (taken == ProgrammingClient::Submit::Taken)
            break;
    }
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
        progress.show(clock.elapsed(), s.pelmoraRunning ? (s.boardConnected ? "programming" : "programming (no board connected)")
                                                        : "waiting for the loader");
        QThread::msleep(kPollMs);
    }
    const qint32 result = s.result;
    const QString duration = took();

    // Phase 3: withdraw and let the loader return to idle, so the next client can ask. A loader
    // that has ended (it answered -1 on its way out) resets nothing: the result is cleared here.
    client.withdraw();
    submitted = false;
    QElapsedTimer resetClock;
    resetClock.start();
    while (resetClock.elapsed() < kResetWaitMs && client.read(&s) && s.result != kResultNone) {
        if (!s.pelmoraRunning && client.clearStaleResult())
            continue;
        QThread::msleep(kPollMs);
    }
    progress.finish();
    if (s.result != kResultNone)
        std::fprintf(stderr, "pelmora-prog: the loader did not clear its result\n");

    if (result == kResultWritten) {
        std::printf("firmware written: %s%s\n", qUtf8Printable(absolute), qUtf8Printable(duration));
        return kExitWritten;
    }
    if (result == kResultFailed)
        return fail(kExitFailed, QStringLiteral("programming failed: %1%2").arg(absolute, duration));
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
