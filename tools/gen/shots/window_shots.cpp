// Screenshots of the real window on a simulated board, for the documentation: idle, connected
// with coloured board output, after "Prog as Tremlin", and its settings page. Run under an X
// server (Xvfb) by scripts/screenshots.sh; each picture is a grab of the screen where the
// window stands.
#include "mainwindow/orbalofirmwareloader.h"

#include "resources/firmware/firmware_resources.h"
#include "resources/images/image_resources.h"
#include "sim_board.h"
#include "usbdevice/sim_bridge_library.h"
#include "usbdevice/vx_si_usbxpressdev.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QScreen>
#include <QStandardPaths>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>

#include <cstdio>
#include <deque>
#include <mutex>

namespace {

// The simulated board, plus a few lines of coloured output as a board firmware prints them.
class DemoPeer : public pelsim::SerialPeer {
public:
    explicit DemoPeer(std::shared_ptr<pelsim::SimBoard> board) : m_Board(std::move(board)) {}
    void say(const QByteArray &text)
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Extra.insert(m_Extra.end(), text.begin(), text.end());
    }
    void hostWrite(const uint8_t *d, size_t n, uint16_t lc) override { m_Board->hostWrite(d, n, lc); }
    size_t hostAvailable() override
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Extra.size() + m_Board->hostAvailable();
    }
    size_t hostRead(uint8_t *out, size_t max) override
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        size_t n = 0;
        while (n < max && !m_Extra.empty()) {
            out[n++] = uint8_t(m_Extra.front());
            m_Extra.pop_front();
        }
        return n + m_Board->hostRead(out + n, max - n);
    }
    void hostPurge() override
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Extra.clear();
        m_Board->hostPurge();
    }
    void setLatch(uint8_t latch) override { m_Board->setLatch(latch); }

private:
    std::shared_ptr<pelsim::SimBoard> m_Board;
    std::mutex m_Mutex;
    std::deque<char> m_Extra;
};

void spin(int milliseconds)
{
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

bool waitFor(const std::function<bool()> &done, int milliseconds)
{
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < milliseconds)
        spin(20);
    return done();
}

bool shoot(QWidget *window, const QString &path)
{
    spin(300);
    const QPixmap shot =
        window->screen()->grabWindow(0, window->x(), window->y(), window->width(), window->height());
    const bool ok = shot.save(path);
    std::printf("%s: %dx%d %s\n", qUtf8Printable(path), shot.width(), shot.height(), ok ? "written" : "FAILED");
    return ok;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs");
    QStandardPaths::setTestModeEnabled(true);
    QDir(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)).removeRecursively();
    qputenv("PELMORA_SHM_KEY", "pelmora-shots");
    pelmoraInitFirmwareResources();
    pelmoraInitImageResources();

    auto lib = std::make_shared<SimBridgeLibrary>();
    auto board = std::make_shared<pelsim::SimBoard>();
    auto peer = std::make_shared<DemoPeer>(board);
    lib->addBridge(QStringLiteral("Orbalo Mini (simulated)"), QStringLiteral("0001"), peer);
    lib->addBridge(QStringLiteral("Orbalo Mini (simulated)"), QStringLiteral("0002"),
                   std::make_shared<pelsim::SimBoard>());
    setDefaultBridgeLibrary(lib);

    OrbaloFirmwareLoader window;
    window.move(40, 40);
    window.show();
    auto *list = window.findChild<QListWidget *>(QStringLiteral("m_ListDev"));
    auto *console = window.findChild<QPlainTextEdit *>(QStringLiteral("m_pTEconsole"));
    if (!waitFor([&] { return list->count() == 2; }, 20000)) {
        std::fprintf(stderr, "window_shots: the simulated bridges were not listed\n");
        return 1;
    }
    bool ok = shoot(&window, out + QStringLiteral("/window-idle.png"));

    list->setCurrentRow(0);
    window.on_m_pBConnect_clicked();
    peer->say("\x1b[32mOrbalo Mini application running\x1b[0m\n"
              "adc0=1873 adc1=402 temp=23.5 C\n"
              "\x1b[33mWARN\x1b[0m supply 3.21 V below 3.25 V\n"
              "\x1b[31mFAIL\x1b[0m sensor 2 not answering\n"
              "\x1b[34mtick\x1b[0m 1042 ms, if a<b & c>d: ok\n");
    waitFor([&] { return console->toPlainText().contains(QStringLiteral("tick")); }, 5000);
    ok = shoot(&window, out + QStringLiteral("/window-connected.png")) && ok;

    window.on_m_pBTremlin_clicked();
    if (!waitFor([&] { return console->toPlainText().contains(QStringLiteral("Bootloader")) &&
                              (console->toPlainText().contains(QStringLiteral("Finish")) ||
                               console->toPlainText().contains(QStringLiteral("ERROR"))); },
                 120000)) {
        std::fprintf(stderr, "window_shots: the update did not end\n");
        return 1;
    }
    spin(500);
    ok = shoot(&window, out + QStringLiteral("/window-programmed.png")) && ok;

    // The settings page, disabled as ever, shown for its radio buttons beside the console.
    window.findChild<QTabWidget *>(QStringLiteral("tabWidget"))->setCurrentIndex(1);
    ok = shoot(&window, out + QStringLiteral("/window-settings.png")) && ok;
    return ok ? 0 : 1;
}
