// The whole application in one process (offscreen): start-up time to the window shown, resident
// memory, idle CPU while connected to a silent board, and board output at the full line rate
// of 115200 baud for a minute with every line accounted for in the console.
#include "mainwindow/orbalofirmwareloader.h"

#include "resources/firmware/firmware_resources.h"
#include "resources/images/image_resources.h"
#include "serial_peer.h"
#include "sharedmem/shared_mem_key.h"
#include "usbdevice/sim_bridge_library.h"
#include "usbdevice/vx_si_usbxpressdev.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimer>
#include <QToolButton>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr double kLineRate = 115200.0 / 10.0;  // bytes per second at 8N1

// A board application that prints numbered, coloured lines at exactly the wire's byte rate
// while running, and nothing otherwise.
class LineRatePeer : public pelsim::SerialPeer {
public:
    void start()
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Start = std::chrono::steady_clock::now();
        m_Running = true;
    }
    void stop()
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        due();
        // The line under way is finished, so every started line can be found.
        m_Queue += m_Line;
        m_Produced.store(m_Produced.load() + qint64(m_Line.size()));
        m_Line.clear();
        m_Running = false;
    }
    int linesProduced() const { return m_Lines.load(); }
    qint64 bytesProduced() const { return m_Produced.load(); }

    void hostWrite(const uint8_t *, size_t, uint16_t) override {}
    size_t hostAvailable() override
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        due();
        return m_Queue.size() - m_Head;
    }
    size_t hostRead(uint8_t *out, size_t maxLength) override
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        due();
        size_t n = 0;
        while (n < maxLength && m_Head < m_Queue.size())
            out[n++] = uint8_t(m_Queue[m_Head++]);
        if (m_Head > 65536) {
            m_Queue.erase(0, m_Head);
            m_Head = 0;
        }
        return n;
    }
    void hostPurge() override {}
    void setLatch(uint8_t) override {}

private:
    // Bytes that the wire has carried by now are made readable.
    void due()
    {
        if (!m_Running)
            return;
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - m_Start).count();
        const qint64 target = qint64(seconds * kLineRate);
        while (m_Produced.load() < target) {
            if (m_Line.empty()) {
                static const char *const colours[] = {"\x1b[32m", "\x1b[31m", "\x1b[33m", "\x1b[34m"};
                const int n = m_Lines.load();
                char text[96];
                std::snprintf(text, sizeof text, "%s#%07d;\x1b[0m adc=%d temp=%d.%d state <%s>\n",
                              colours[n % 4], n, (n * 37) % 4096, 20 + n % 7, n % 10,
                              (n % 3) ? "run" : "idle&wait");
                m_Line = text;
                m_Lines.store(n + 1);
            }
            const qint64 take = std::min<qint64>(qint64(m_Line.size()), target - m_Produced.load());
            m_Queue.append(m_Line, 0, size_t(take));
            m_Line.erase(0, size_t(take));
            m_Produced.store(m_Produced.load() + take);
        }
    }

    std::mutex m_Mutex;
    std::chrono::steady_clock::time_point m_Start;
    bool m_Running = false;
    std::string m_Queue;
    size_t m_Head = 0;
    std::string m_Line;
    std::atomic<int> m_Lines{0};
    std::atomic<qint64> m_Produced{0};
};

double processCpuSeconds()
{
    return double(std::clock()) / CLOCKS_PER_SEC;
}

long residentKiB()
{
#ifdef __linux__
    FILE *f = std::fopen("/proc/self/status", "r");
    if (!f)
        return -1;
    char line[256];
    long kib = -1;
    while (std::fgets(line, sizeof line, f)) {
        if (std::sscanf(line, "VmRSS: %ld kB", &kib) == 1)
            break;
    }
    std::fclose(f);
    return kib;
#else
    return -1;
#endif
}

// Runs the event loop for a while without adding any work of its own to the CPU figure.
void spin(int milliseconds)
{
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("PELMORA_SHM_KEY", QByteArray("pelmora-bench-") + QByteArray::number(QDateTime::currentMSecsSinceEpoch()));
    const int lineSeconds = argc > 1 ? std::atoi(argv[1]) : 60;
    const int idleSeconds = argc > 2 ? std::atoi(argv[2]) : 10;

    QElapsedTimer startup;
    startup.start();
    QApplication app(argc, argv);
    QStandardPaths::setTestModeEnabled(true);
    QDir(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)).removeRecursively();
    pelmoraInitFirmwareResources();
    pelmoraInitImageResources();

    auto lib = std::make_shared<SimBridgeLibrary>();
    auto peer = std::make_shared<LineRatePeer>();
    lib->addBridge(QStringLiteral("Line rate board"), QStringLiteral("0001"), peer);
    setDefaultBridgeLibrary(lib);

    auto *window = new OrbaloFirmwareLoader;
    window->show();
    QCoreApplication::processEvents();
    const double startupMs = startup.nsecsElapsed() / 1e6;

    auto *list = window->findChild<QListWidget *>(QStringLiteral("m_ListDev"));
    QElapsedTimer wait;
    wait.start();
    while (list->count() == 0 && wait.elapsed() < 20000)
        spin(10);
    if (list->count() == 0) {
        std::fprintf(stderr, "no bridge listed\n");
        return 1;
    }
    list->setCurrentRow(0);
    window->on_m_pBConnect_clicked();
    if (!window->usbDevice()->isDeviceOpen()) {
        std::fprintf(stderr, "could not connect\n");
        return 1;
    }
    spin(500);
    const long rssIdle = residentKiB();

    // Idle: connected, the board silent.
    const double cpu0 = processCpuSeconds();
    QElapsedTimer idle;
    idle.start();
    spin(idleSeconds * 1000);
    const double idlePercent = 100.0 * (processCpuSeconds() - cpu0) / (idle.nsecsElapsed() / 1e9);

    // Line rate: every numbered line must reach the console. The console keeps only 200
    // paragraphs, so the numbers are collected as the text arrives at the document's end.
    auto *console = window->findChild<QPlainTextEdit *>(QStringLiteral("m_pTEconsole"));
    std::vector<char> seen;
    QString tail;
    const QRegularExpression number(QStringLiteral("#(\\d{7});"));
    QObject::connect(console->document(), &QTextDocument::contentsChange, [&](int position, int, int added) {
        if (added <= 0)
            return;
        QTextCursor c(console->document());
        c.setPosition(position);
        c.setPosition(position + added, QTextCursor::KeepAnchor);
        QString text = c.selectedText();
        text.remove(QChar(0x2029)).remove(QChar(0x2028));
        tail += text;
        int consumed = 0;
        for (auto it = number.globalMatch(tail); it.hasNext();) {
            const auto m = it.next();
            const int n = m.captured(1).toInt();
            if (n >= int(seen.size()))
                seen.resize(size_t(n) + 1, 0);
            seen[size_t(n)] = 1;
            consumed = m.capturedEnd();
        }
        tail.remove(0, consumed);
        if (tail.size() > 4096)
            tail.remove(0, tail.size() - 64);
    });
    const double cpu1 = processCpuSeconds();
    QElapsedTimer run;
    run.start();
    peer->start();
    spin(lineSeconds * 1000);
    peer->stop();
    const double runSeconds = run.nsecsElapsed() / 1e9;
    spin(1500);  // what is on its way through the rings and queues
    const double busyPercent = 100.0 * (processCpuSeconds() - cpu1) / (run.nsecsElapsed() / 1e9);
    const long rssBusy = residentKiB();

    const int produced = peer->linesProduced();
    int missing = 0;
    for (int i = 0; i < produced; ++i) {
        if (i >= int(seen.size()) || !seen[size_t(i)])
            ++missing;
    }

    std::printf("start-up to window shown (offscreen): %.0f ms\n", startupMs);
    std::printf("resident memory: %ld KiB connected and idle, %ld KiB after the line-rate run\n",
                rssIdle, rssBusy);
    std::printf("idle CPU, connected to a silent board: %.2f %% of one core over %d s (target <= 3 %%)\n",
                idlePercent, idleSeconds);
    std::printf("line rate: %lld bytes in %d lines over %.1f s (%.0f bytes/s); lines missing from the "
                "console: %d (target 0); CPU %.1f %% of one core\n",
                static_cast<long long>(peer->bytesProduced()), produced, runSeconds,
                peer->bytesProduced() / runSeconds, missing, busyPercent);
    delete window;
    return missing == 0 ? 0 : 2;
}
