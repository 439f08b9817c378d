// The real window, its worker thread and its polling thread against simulated bridges: the
// paths a user and a programming client take, end to end.
#include "mainwindow/orbalofirmwareloader.h"

#include "resources/firmware/firmware_resources.h"
#include "resources/images/image_resources.h"
#include "settings/vx_xml_settings.h"
#include "sharedmem/programming_client.h"
#include "sharedmem/vx_sharedmemsocked.h"
#include "sharedmem/shm_test_key.h"
#include "sim_board.h"
#include "support/log_capture.h"
#include "support/update_rig.h"
#include "tlv/tlv_test_encoder.h"
#include "usbdevice/hex_image.h"
#include "usbdevice/sim_bridge_library.h"
#include "usbdevice/vx_si_usbxpressdev.h"

#include <QDir>
#include <QErrorMessage>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QToolButton>
#include <QtTest>

namespace {

const QString kBoardName = QStringLiteral("Orbalo Mini (simulated) [0x0001]");
const QString kEchoName = QStringLiteral("Echo bridge [0x0002]");

// Enumeration runs every 1001 worker passes (a second or more under the sanitizers).
constexpr int kListWait = 15000;
constexpr int kUpdateWait = 60000;

template <typename T>
T *widget(QWidget &window, const char *name)
{
    T *w = window.findChild<T *>(QString::fromLatin1(name));
    if (!w)
        qFatal("no widget %s", name);
    return w;
}

QString consoleText(QWidget &window)
{
    return widget<QPlainTextEdit>(window, "m_pTEconsole")->toPlainText();
}

// The colour the console shows a piece of text in (invalid when it is not shown).
QColor colourOf(QWidget &window, const QString &piece)
{
    const QTextDocument *doc = widget<QPlainTextEdit>(window, "m_pTEconsole")->document();
    for (QTextBlock b = doc->begin(); b.isValid(); b = b.next()) {
        for (auto it = b.begin(); !it.atEnd(); ++it) {
            if (it.fragment().text().contains(piece))
                return it.fragment().charFormat().foreground().color();
        }
    }
    return QColor();
}

bool listHas(QWidget &window, const QString &name)
{
    return !widget<QListWidget>(window, "m_ListDev")->findItems(name, Qt::MatchExactly).isEmpty();
}

// What the Device tab offers while connected or not, as one line for a readable failure.
QString deviceTab(QWidget &w)
{
    auto on = [&](const char *name) { return widget<QWidget>(w, name)->isEnabled() ? "+" : "-"; };
    return widget<QToolButton>(w, "m_pBConnect")->text() + QStringLiteral(" search%1 list%2 reset%3 tremlin%4 plug%5")
        .arg(on("m_pBSearch"), on("m_ListDev"), on("m_pBResetOB"), on("m_pBTremlin"),
             widget<QLabel>(w, "m_lConnectText")->isHidden() ? "-" : "+");
}
const QString kConnected = QStringLiteral("Disconnect search- list- reset+ tremlin+ plug+");
const QString kDisconnected = QStringLiteral("Connect search+ list+ reset- tremlin- plug-");

} // namespace

class TestWindow : public QObject {
    Q_OBJECT

    std::shared_ptr<SimBridgeLibrary> m_Lib;
    std::shared_ptr<pelsim::SimBoard> m_Board;
    std::shared_ptr<pelsim::EchoPeer> m_Echo;
    int m_EchoId = 0;
    QString m_Key;

    void connectRow(OrbaloFirmwareLoader &w, const QString &name)
    {
        QTRY_VERIFY_WITH_TIMEOUT(listHas(w, name), kListWait);
        auto *list = widget<QListWidget>(w, "m_ListDev");
        list->setCurrentItem(list->findItems(name, Qt::MatchExactly).first());
        auto *connectButton = widget<QToolButton>(w, "m_pBConnect");
        QVERIFY(connectButton->isEnabled());
        QTest::mouseClick(connectButton, Qt::LeftButton);
        QCOMPARE(connectButton->text(), QStringLiteral("Disconnect"));
        QVERIFY(w.usbDevice()->isDeviceOpen());
    }

    void makeBridges(const pelsim::BoardOptions &board = pelsim::BoardOptions())
    {
        m_Lib = std::make_shared<SimBridgeLibrary>();
        m_Board = std::make_shared<pelsim::SimBoard>(board);
        m_Echo = std::make_shared<pelsim::EchoPeer>();
        m_Lib->addBridge(QStringLiteral("Orbalo Mini (simulated)"), QStringLiteral("0001"), m_Board);
        m_EchoId = m_Lib->addBridge(QStringLiteral("Echo bridge"), QStringLiteral("0002"), m_Echo);
        setDefaultBridgeLibrary(m_Lib);
    }

private slots:
    void initTestCase()
    {
        pelmoraInitFirmwareResources();
        pelmoraInitImageResources();
        QStandardPaths::setTestModeEnabled(true);
    }

    void init()
    {
        QDir(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)).removeRecursively();
        m_Key = uniqueShmKey("window");
        qputenv("PELMORA_SHM_KEY", m_Key.toUtf8());
        makeBridges();
    }

    void cleanup()
    {
        setDefaultBridgeLibrary(nullptr);
        m_Lib.reset();
    }

    void startUp_showsTheFormState_andRestoresWhatTheLastRunWroteAtItsEnd()
    {
        {
            OrbaloFirmwareLoader w;
            QVERIFY(w.windowFlags() & Qt::FramelessWindowHint);
            QCOMPARE(w.minimumSize(), QSize(700, 500));
            QCOMPARE(w.maximumSize(), QSize(700, 500));
            QCOMPARE(deviceTab(w), kDisconnected);
            auto *console = widget<QPlainTextEdit>(w, "m_pTEconsole");
            QVERIFY(console->isReadOnly());
            QCOMPARE(console->document()->maximumBlockCount(), 200);
            QVERIFY(!w.instanceWarning());
            w.settings()->setPathHexFile(QStringLiteral("/some/where/app.hex"));
        }
        OrbaloFirmwareLoader w;
        QCOMPARE(w.hexFilePath(), QStringLiteral("/some/where/app.hex"));
        QCOMPARE(widget<QLabel>(w, "m_lProgTitile")->text(), QStringLiteral("Orbalo Zorvane - app.hex"));
        QVERIFY(widget<QToolButton>(w, "m_pBCloseHexFile")->isEnabledTo(widget<QWidget>(w, "tab_2")));
        QVERIFY(!widget<QToolButton>(w, "m_pBWriteFirmware")->isEnabledTo(widget<QWidget>(w, "tab_2")));  // nothing connected
        w.on_m_pBCloseHexFile_clicked();
        QCOMPARE(widget<QLabel>(w, "m_lProgTitile")->text(), QStringLiteral("Orbalo Zorvane"));
        QVERIFY(w.hexFilePath().isEmpty() && w.settings()->getPathHexFile().isEmpty());
    }

    // Connected by its row, the echo bridge is unplugged and plugged back: the automatic connect
    // must take the remembered bridge's row, the second. A user's Disconnect is then not fought.
    void connect_unplugReplug_disconnect_followTheButtonsAndTheBlock()
    {
        OrbaloFirmwareLoader w;
        ProgrammingClient client(m_Key);
        QVERIFY(client.attachExisting(nullptr));
        QTRY_VERIFY_WITH_TIMEOUT(listHas(w, kEchoName), kListWait);
        QVERIFY(!widget<QToolButton>(w, "m_pBConnect")->isEnabled());  // no row current yet
        connectRow(w, kEchoName);
        QCOMPARE(deviceTab(w), kConnected);
        QCOMPARE(w.settings()->getUsbDevName(), kEchoName);
        SharedMemSnapshot s;
        QVERIFY(client.read(&s));
        QVERIFY(s.pelmoraRunning && s.boardConnected);
        QCOMPARE(s.nameOfConnectedDevice, kEchoName);

        LogCapture log;
        m_Lib->unplug(m_EchoId);
        QTRY_COMPARE_WITH_TIMEOUT(deviceTab(w), kDisconnected, kListWait);
        QVERIFY(!w.usbDevice()->isDeviceOpen());
        QTRY_VERIFY(consoleText(w).contains(QStringLiteral("Disconnect ") + kEchoName));
        QCOMPARE(w.settings()->getUsbDevName(), kEchoName);  // kept for the way back
        m_Lib->plug(m_EchoId);
        QTRY_VERIFY_WITH_TIMEOUT(w.usbDevice()->isDeviceOpen(), kListWait);
        QCOMPARE(deviceTab(w), kConnected);
        QVERIFY2(log.contains(QStringLiteral("Open Device 1")), qPrintable(log.lines().join(QLatin1Char(10))));
        QTRY_COMPARE(consoleText(w).count(QStringLiteral("Connect ") + kEchoName), 2);
        QCOMPARE(widget<QListWidget>(w, "m_ListDev")->currentItem()->text(), kEchoName);

        QTest::mouseClick(widget<QToolButton>(w, "m_pBConnect"), Qt::LeftButton);
        QVERIFY(!w.usbDevice()->isDeviceOpen());
        QCOMPARE(deviceTab(w), kDisconnected);
        // The row of the bridge just closed is current again, so Connect is ready.
        QCOMPARE(widget<QListWidget>(w, "m_ListDev")->currentItem()->text(), kEchoName);
        QVERIFY(widget<QToolButton>(w, "m_pBConnect")->isEnabled());
        QVERIFY(w.settings()->getUsbDevName().isEmpty());
        QVERIFY(client.read(&s));
        QVERIFY(!s.boardConnected && s.nameOfConnectedDevice.isEmpty());
        QTRY_COMPARE(consoleText(w).count(QStringLiteral("Disconnect ") + kEchoName), 2);
        m_Lib->unplug(m_EchoId);
        QTRY_VERIFY_WITH_TIMEOUT(!listHas(w, kEchoName), kListWait);
        QSignalSpy lists(w.usbDevice(), &VX_SI_USBXpressDev::SIGNAL_newDeviceListAvailable);
        m_Lib->plug(m_EchoId);
        QTRY_VERIFY_WITH_TIMEOUT(!lists.isEmpty() && listHas(w, kEchoName), kListWait);
        QTest::qWait(100);
        QVERIFY(!w.usbDevice()->isDeviceOpen());
        QCOMPARE(deviceTab(w), kDisconnected);
    }

    void boardOutput_isEscaped_tlvFramesAreDecoded_clearEmpties()
    {
        OrbaloFirmwareLoader w;
        connectRow(w, kEchoName);
        const QByteArray line = "if a<b & c>d\n";
        m_Echo->inject(reinterpret_cast<const uint8_t *>(line.constData()), size_t(line.size()));
        QTRY_VERIFY(consoleText(w).contains(QStringLiteral("if a<b & c>d")));
        w.on_m_rB_TLVMode_clicked();
        QVERIFY(w.usbDevice()->isTLVMode());
        const QByteArray frame = tlvStuff(tlvFrame(tlvRecord(0xF0, "decoded by TLV")));
        m_Echo->inject(reinterpret_cast<const uint8_t *>(frame.constData()), size_t(frame.size()));
        QTRY_VERIFY(consoleText(w).contains(QStringLiteral("decoded by TLV")));
        QVERIFY(!consoleText(w).contains(QChar(0xAA)));
        w.on_m_rB_SerialMode_clicked();
        QVERIFY(!w.usbDevice()->isTLVMode());
        w.on_m_clear_clicked();
        QVERIFY(consoleText(w).isEmpty());
    }

    // Prog as Tremlin writes the built-in image, or ends in red on a board the update refuses
    // before anything is erased (then Write is enabled again).
    void progAsTremlin_data()
    {
        QTest::addColumn<bool>("refused");
        QTest::newRow("built-in image written") << false;
        QTest::newRow("board refused") << true;
    }
    void progAsTremlin()
    {
        QFETCH(bool, refused);
        if (refused) {
            pelsim::BoardOptions options;
            options.productId = 0x041A;
            makeBridges(options);
        }
        const std::vector<uint8_t> before = m_Board->flash();
        OrbaloFirmwareLoader w;
        connectRow(w, kBoardName);
        auto *tremlin = widget<QToolButton>(w, "m_pBTremlin");
        QTest::mouseClick(tremlin, Qt::LeftButton);
        QVERIFY(!tremlin->isEnabled());
        const QString finish = QStringLiteral("Bootloader Finish"), error = QStringLiteral("ERROR Bootloader");
        QTRY_VERIFY_WITH_TIMEOUT(consoleText(w).contains(refused ? error : finish), kUpdateWait);
        QVERIFY(!consoleText(w).contains(refused ? finish : error));
        QVERIFY(!tremlin->isEnabled());
        // The board is looked at only once the worker has let go of it.
        QTRY_VERIFY_WITH_TIMEOUT(!w.usbDevice()->isBootloaderActive(), kUpdateWait);
        w.on_m_pBConnect_clicked();
        QVERIFY(!w.usbDevice()->isDeviceOpen());
        if (refused) {
            QCOMPARE(colourOf(w, error), QColor(Qt::red));
            QVERIFY(widget<QToolButton>(w, "m_pBWriteFirmware")->isEnabledTo(widget<QWidget>(w, "tab_2")));
            QVERIFY(m_Board->flash() == before);
            return;
        }
        QVERIFY(consoleText(w).contains(QStringLiteral("Bootloader Start!!")));
        QVERIFY(consoleText(w).contains(QString(383, QLatin1Char('*'))));
        QFile hex(w.settings()->getPathTremlinHexFile());
        QTemporaryFile bin;
        QCOMPARE(convertHexFileToImage(hex, bin), qint8(1));
        const QByteArray image = bin.readAll();
        QCOMPARE(image.size(), 97824);
        QVERIFY(flashBytes(*m_Board, image.size()) == image);
        QCOMPARE(m_Board->mode(), pelsim::SimBoard::Mode::Application);
    }

    // A client's request is answered with its own update's result: 1 for the built-in image;
    // -1 for a missing file asked for while the window's own update runs; -1 (and the request
    // cleared) when the window is closed during the client's update.
    void clientRequest_getsItsOwnResult_data()
    {
        QTest::addColumn<QString>("when");
        QTest::newRow("alone, written") << "alone";
        QTest::newRow("during the window's update, missing file") << "during";
        QTest::newRow("window closed during the update") << "closed";
        QTest::newRow("Reset clicked during the write") << "reset";
    }
    void clientRequest_getsItsOwnResult()
    {
        QFETCH(QString, when);
        pelsim::BoardOptions realtime;
        realtime.timing = pelsim::Timing::Realtime;  // the built-in image takes seconds here
        m_Lib->addBridge(QStringLiteral("Slow board"), QStringLiteral("0003"), std::make_shared<pelsim::SimBoard>(realtime));
        ProgrammingClient client(m_Key);
        SharedMemSnapshot s;
        {
            OrbaloFirmwareLoader w;
            const bool slow = when == "closed" || when == "reset";
            connectRow(w, slow ? QStringLiteral("Slow board [0x0003]") : kBoardName);
            QVERIFY(client.attachExisting(nullptr));
            QTemporaryDir dir;
            QString file = w.settings()->getPathTremlinHexFile();
            if (when == "during") {
                w.on_m_pBTremlin_clicked();
                QTRY_VERIFY(w.usbDevice()->isBootloaderActive());
                file = dir.filePath(QStringLiteral("missing.hex"));
            }
            QVERIFY(client.submit(file) == ProgrammingClient::Submit::Taken);
            if (when == "closed") {
                QTRY_VERIFY(w.usbDevice()->isBootloaderActive());
                QTest::mouseClick(widget<QPushButton>(w, "m_pBclose"), Qt::LeftButton);
                QVERIFY(!w.isVisible());
            } else if (when == "reset") {
                // The restarted firmware's text is full of 'y' (0x79, the ACK): the update must
                // end as a failure, not take them for the remaining blocks' ACKs.
                QTRY_VERIFY_WITH_TIMEOUT(consoleText(w).count(QLatin1Char('*')) >= 3, kUpdateWait);
                QTest::mouseClick(widget<QToolButton>(w, "m_pBResetOB"), Qt::LeftButton);
                QTRY_VERIFY_WITH_TIMEOUT(client.read(&s) && s.result != kResultNone, kUpdateWait);
                QCOMPARE(s.result, -1);
                QTRY_VERIFY(consoleText(w).contains(QStringLiteral("reset \u00b5C during write firmware")));
                QVERIFY(consoleText(w).contains(QStringLiteral("ERROR Bootloader")));
                QVERIFY(!consoleText(w).contains(QStringLiteral("Bootloader Finish")));
                return;
            } else {
                QTRY_VERIFY_WITH_TIMEOUT(client.read(&s) && s.result != kResultNone, kUpdateWait);
                QCOMPARE(s.result, when == "alone" ? 1 : -1);
                QTRY_VERIFY(consoleText(w).contains(QStringLiteral("Bootloader Finish")));
                QTRY_COMPARE(consoleText(w).contains(QStringLiteral("ERROR Bootloader")), when == "during");
                return;
            }
        }
        QVERIFY(client.read(&s));
        QCOMPARE(s.result, -1);
        QCOMPARE(s.request, quint8(0));
    }

    void secondInstance_warnsAndStarts_andTheStatusByteFollowsTheLastOne()
    {
        ProgrammingClient client(m_Key);
        SharedMemSnapshot s;
        {
            OrbaloFirmwareLoader first;
            QVERIFY(!first.instanceWarning());
            {
                OrbaloFirmwareLoader second;
                QVERIFY(second.instanceWarning() && second.instanceWarning()->isVisible());
                QVERIFY(second.instanceWarning()->findChild<QTextEdit *>()->toPlainText().contains(
                    QStringLiteral("A instance is allready run")));
                QTRY_VERIFY_WITH_TIMEOUT(listHas(second, kBoardName), kListWait);
            }
            QVERIFY(client.attachExisting(nullptr));
            QVERIFY(client.read(&s));
            QVERIFY(!s.pelmoraRunning);  // the second cleared it at its end
        }
        QVERIFY(client.read(&s));
        QVERIFY(!s.pelmoraRunning);
    }

    void floodOfBoardOutput_everyLineReachesTheConsole()
    {
        OrbaloFirmwareLoader w;
        connectRow(w, kEchoName);
        // Far more than the rings and a queue hold at once. The 200-paragraph limit is lifted
        // here so that everything that arrived can be read back.
        widget<QPlainTextEdit>(w, "m_pTEconsole")->document()->setMaximumBlockCount(0);
        // The connect message continues the last paragraph: shown after the flood began, it
        // would land in the middle of a line.
        QTRY_VERIFY(consoleText(w).contains(QStringLiteral("Connect ") + kEchoName));
        constexpr int kLines = 6000;
        QByteArray flood;
        for (int i = 0; i < kLines; ++i)
            flood += "\x1b[32m#" + QByteArray::number(i) + ";\x1b[0m line of board output\n";
        QVERIFY(flood.size() > 2 * OrbaloFirmwareLoader::kQueueLimit);
        m_Echo->inject(reinterpret_cast<const uint8_t *>(flood.constData()), size_t(flood.size()));
        QTRY_VERIFY_WITH_TIMEOUT(consoleText(w).contains(QStringLiteral("#%1;").arg(kLines - 1)), 30000);
        const QString arrived = consoleText(w).remove(QChar(0x2028)).remove(QLatin1Char('\n'));
        int line = 0;
        for (int from = 0; line < kLines && (from = arrived.indexOf(QStringLiteral("#%1;").arg(line), from)) >= 0;)
            ++line;
        QVERIFY2(line == kLines, qPrintable(QStringLiteral("#%1; missing or out of order").arg(line)));
        QCOMPARE(colourOf(w, QStringLiteral("#0;")), QColor(QStringLiteral("green")));
    }
};

QTEST_MAIN(TestWindow)
#include "test_window.moc"
