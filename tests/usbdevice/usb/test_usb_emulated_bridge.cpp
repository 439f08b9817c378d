// The real USB path end to end: VX_SI_USBXpressDev on UsbBridgeLibrary, the CP210x protocol
// layer and LibusbTransport, with an unmodified libusb underneath, against CP210x bridges that
// umockdev emulates at the usbdevfs level with the simulated board behind them.
#include "resources/firmware/firmware_resources.h"
#include "sim_board.h"
#include "support/log_capture.h"
#include "support/update_rig.h"
#include "usbdevfs_bus.h"
#include "usbdevice/hex_image.h"
#include "usbdevice/usb/libusb_transport.h"
#include "usbdevice/usb/usb_bridge_library.h"

#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>

#include <QDeadlineTimer>
#include <QSignalSpy>
#include <QtTest>

#include <cerrno>
#include <functional>

using pelsim::FaultKind;
using pelsim::PlannedFault;
using Setup = pelsim::UsbdevfsBus::BridgeSetup;

Q_DECLARE_METATYPE(PlannedFault)

namespace {

Setup bridge(uint8_t bus, uint8_t port, const char *product, const char *serial,
            std::shared_ptr<pelsim::SerialPeer> peer = std::make_shared<pelsim::SimBoard>())
{
    Setup setup;
    setup.bus = bus;
    setup.port = port;
    setup.identity.product = product;
    setup.identity.serialNumber = serial;
    setup.peer = std::move(peer);
    return setup;
}

// One emulated bus with the bridges plugged in, and the device object over libusb on it. The
// bus is made first and goes last: libusb must start after it and be gone before it.
struct Rig {
    pelsim::UsbdevfsBus bus;
    std::vector<int> ids;
    std::unique_ptr<UpdateRig> update;

    explicit Rig(const std::vector<Setup> &bridges = {bridge(1, 1, "Orbalo Mini", "0001")})
    {
        for (const Setup &setup : bridges)
            ids.push_back(bus.plugIn(setup));
        update = std::make_unique<UpdateRig>(std::make_shared<UsbBridgeLibrary>(
            std::make_shared<pelusb::LibusbTransport>(), defaultUsbIds()));
    }
    VX_SI_USBXpressDev &dev() { return update->dev; }
    pelsim::Cp210xDevice::State state(int i = 0) const { return bus.device(ids.at(size_t(i)))->state(); }
    pelsim::NodeView host(int i = 0) const { return bus.view(ids.at(size_t(i))); }
    pelsim::SimBoard &board(int i = 0) const
    {
        return static_cast<pelsim::SimBoard &>(*bus.device(ids.at(size_t(i)))->peer());
    }
    // Worker passes until done() holds. USB completions arrive on libusb's and umockdev's own
    // threads, so a pass leaves them the processor for a moment, as the worker's sleep does.
    bool pollUntil(const std::function<bool()> &done, int ms = 60000)
    {
        QDeadlineTimer deadline(ms);
        while (!done()) {
            if (deadline.hasExpired())
                return false;
            dev().pollOnce();
            QThread::usleep(100);
        }
        return true;
    }
    // A whole update from path; true when it reported (then one pass more, for a stray report).
    bool runUpdate(const QString &path)
    {
        const int before = update->finished.count();
        dev().SLOT_StartFirmwareUpdate(path);
        const bool reported = pollUntil([&] { return update->finished.count() > before; }, 180000);
        dev().pollOnce();
        return reported;
    }
};

// The built-in image as the update writes it, and its HEX file in dir.
QByteArray builtInImage(const QTemporaryDir &dir, QString *path)
{
    pelmoraInitFirmwareResources();
    *path = dir.filePath(QStringLiteral("TremlinFix_1_0_37.hex"));
    QFile::copy(QStringLiteral(":/hex/TremlinFix_1_0_37.hex"), *path);
    QFile hex(*path);
    if (!hex.open(QIODevice::ReadOnly))
        return {};
    const QByteArray text = hex.readAll();
    return parseIntelHex(text.constData(), size_t(text.size())).image;
}

} // namespace

class TestUsbEmulatedBridge : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        pelsim::UsbdevfsBus probe;
        if (!probe.ready())
            QSKIP(qPrintable(QStringLiteral("umockdev cannot emulate USB here: ") +
                             QString::fromStdString(probe.error())));
    }

    void enumeration_listsBridgesBySocketWithTheirNames_andReadsTheirStringsOnce()
    {
        Setup mouse = bridge(1, 2, "Mouse", "M");
        mouse.identity.vendorId = 0x046D;
        mouse.identity.productId = 0xC52B;
        Rig rig({bridge(2, 1, "Orbalo Mini", "C"), bridge(1, 3, "Orbalo Mini", "B"), bridge(1, 1, "Lower socket", ""),
                 mouse});
        QSignalSpy lists(&rig.dev(), &VX_SI_USBXpressDev::SIGNAL_newDeviceListAvailable);
        rig.dev().fillListOfDevice();
        QCOMPARE(lists.count(), 1);
        QCOMPARE(rig.dev().getDeviceNameList(),
                 (QStringList{"Lower socket [0x]", "Orbalo Mini [0xB]", "Orbalo Mini [0xC]"}));
        const int strings = rig.state(0).stringRequests;
        QVERIFY(strings > 0);
        QCOMPARE(rig.state(3).stringRequests, 0);  // not a bridge: never opened

        // A bridge plugged in later is the last row, whatever its socket; nothing is asked twice.
        rig.ids.push_back(rig.bus.plugIn(bridge(1, 4, "Later", "D")));
        QVERIFY(rig.pollUntil([&] { return rig.dev().getDeviceNameList().size() == 4; }));
        QCOMPARE(rig.dev().getDeviceNameList().last(), QStringLiteral("Later [0xD]"));
        QCOMPARE(rig.state(0).stringRequests, strings);
    }

    void openAndClose_bringTheUartUp_driveThePins_andGiveTheBridgeBackToTheKernel()
    {
        Rig rig;
        QVERIFY(rig.host().kernelDriverBound);
        QCOMPARE(rig.update->open(), 1);
        QVERIFY(rig.host().claimed);
        QVERIFY(!rig.host().kernelDriverBound);
        pelsim::Cp210xDevice::State s = rig.state();
        QVERIFY(s.uartEnabled);
        QCOMPARE(s.baudRate, 115200u);
        QCOMPARE(s.lineControl, quint16(0x0800));
        QVERIFY(s.receivePurges >= 1 && s.transmitPurges >= 1);

        // RESET is latch bit 0 and BOOT0 bit 1, both active low.
        const struct { bool reset; bool boot0; int latch; } steps[] = {
            {true, true, 0x00}, {false, true, 0x01}, {true, false, 0x02}, {false, false, 0x03}};
        for (const auto &step : steps) {
            QCOMPARE(rig.dev().setBoot0(step.boot0), 1);
            QCOMPARE(rig.dev().setReset(step.reset), 1);
            QCOMPARE(rig.state().latch & 0x03, step.latch);
        }

        QCOMPARE(rig.dev().closeDev(), 1);
        QVERIFY(!rig.state().uartEnabled);
        QVERIFY(!rig.host().claimed);
        QVERIFY(rig.host().kernelDriverBound);
        QTRY_COMPARE(rig.host().clients, 0);
    }

    void wholeUpdateOfTheBuiltInImage_flashEqualsTheImage_and8E1GivesWayTo8N1_andTheBoardTalks()
    {
        Rig rig;
        QTemporaryDir dir;
        QString path;
        const QByteArray image = builtInImage(dir, &path);
        QCOMPARE(image.size(), 97824);
        QSignalSpy data(&rig.dev(), &VX_SI_USBXpressDev::SIGNAL_newDataAvailable);
        QCOMPARE(rig.update->open(), 1);
        QVERIFY(rig.runUpdate(path));
        QCOMPARE(rig.update->finished.count(), 1);
        QCOMPARE(rig.update->result(), qint8(1));
        QVERIFY(flashBytes(rig.board(), image.size()) == image);
        QCOMPARE(rig.board().mode(), pelsim::SimBoard::Mode::Application);
        // The strict board answers only bytes framed 8E1 while its bootloader runs, so the
        // dialogue went out with even parity; the debug output is back on 8N1.
        const std::vector<uint16_t> lines = rig.state().lineControlHistory;
        QVERIFY(std::find(lines.begin(), lines.end(), 0x0820) != lines.end());
        QCOMPARE(lines.back(), uint16_t(0x0800));

        QByteArray console;
        QVERIFY(rig.pollUntil([&] {
            console += drain(rig.dev(), &VX_SI_USBXpressDev::getRxByte);
            return console.contains("\n") && console.contains("Orbalo Mini booted: Tremlin 1.0.37, 97824 bytes");
        }));
        QVERIFY(std::any_of(data.begin(), data.end(), [](const QList<QVariant> &s) { return s.at(0).toInt() == 0; }));
    }

    // A refusal by the bridge or the host: its error line(s), and no lasting harm (a halt is
    // cleared; a refused open leaves the interface to the kernel and opens next time).
    void refusals_areReportedWithTheirStatusCode_andDoNoLastingHarm_data()
    {
        QTest::addColumn<int>("part");
        QTest::addColumn<PlannedFault>("fault");
        QTest::addColumn<QString>("op");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("cause");  // the host's own error line ahead of the status, if any
        const auto control = [](unsigned request, int skip = 0) {
            PlannedFault f;
            f.code = request;
            f.skip = skip;
            return f;
        };
        const auto bulk = [](unsigned endpoint, FaultKind kind) {
            PlannedFault f;
            f.target = PlannedFault::Target::Bulk;
            f.code = endpoint;
            f.kind = kind;
            return f;
        };
        PlannedFault claim;
        claim.target = PlannedFault::Target::Ioctl;
        claim.kind = FaultKind::IoctlError;
        claim.code = USBDEVFS_CLAIMINTERFACE;
        claim.error = EBUSY;
        PlannedFault detach = claim;
        detach.code = USBDEVFS_IOCTL;
        const PlannedFault none = control(0x55);  // a request nobody sends
        const QString open = QStringLiteral("openDevice");
        QTest::newRow("interface held by another program") << 0x20 << claim << open << "SI_DEVICE_NOT_FOUND"
                                                           << "another program holds it";
        QTest::newRow("kernel driver will not let go") << 0x20 << detach << open << "SI_DEVICE_NOT_FOUND" << "/dev/ttyUSB";
        QTest::newRow("IFC_ENABLE stalled") << 0x20 << control(0x00) << open << "SI_DEVICE_NOT_FOUND"
                                            << "refused to enable its UART";
        QTest::newRow("SET_BAUDRATE stalled") << 0x20 << control(0x1E, 1) << open << "SI_INVALID_BAUDRATE" << QString();
        QTest::newRow("SET_LINE_CTL stalled") << 0x20 << control(0x03, 1) << open << "SI_INVALID_PARAMETER" << QString();
        QTest::newRow("WRITE_LATCH stalled") << 0x20 << control(0xFF) << "setReset" << "SI_FUNCTION_NOT_SUPPORTED" << QString();
        QTest::newRow("bulk OUT stalled") << 0x20 << bulk(0x02, FaultKind::Stall) << "sendData" << "SI_WRITE_ERROR" << QString();
        QTest::newRow("bulk OUT unanswered") << 0x20 << bulk(0x02, FaultKind::NoAnswer) << "sendData"
                                             << "SI_WRITE__TIMED_OUT" << QString();
        QTest::newRow("bulk IN stalled") << 0x20 << bulk(0x82, FaultKind::Stall) << "BytesAvailable"
                                         << "SI_DEVICE_IO_FAILED" << QString();
        QTest::newRow("CP2102: no GPIO") << 0x02 << none << "setBoot0" << "SI_FUNCTION_NOT_SUPPORTED" << QString();
        QTest::newRow("CP2105: other latch form") << 0x05 << none << "setReset" << "SI_FUNCTION_NOT_SUPPORTED" << QString();
    }
    void refusals_areReportedWithTheirStatusCode_andDoNoLastingHarm()
    {
        QFETCH(int, part);
        QFETCH(PlannedFault, fault);
        QFETCH(QString, op);
        QFETCH(QString, status);
        QFETCH(QString, cause);
        Setup setup = bridge(1, 1, "Orbalo Mini", "0001");
        setup.identity.partNumber = uint8_t(part);
        Rig rig({setup});
        rig.dev().fillListOfDevice();
        const bool atOpen = op == QLatin1String("openDevice");
        if (!atOpen)
            QCOMPARE(rig.dev().openDevice(0), 1);
        rig.bus.plan(rig.ids[0], fault);
        const auto call = [&]() -> int {
            if (atOpen)
                return rig.dev().openDevice(0);
            if (op == QLatin1String("setReset"))
                return rig.dev().setReset(true);
            if (op == QLatin1String("setBoot0"))
                return rig.dev().setBoot0(true);
            if (op == QLatin1String("sendData"))
                return rig.dev().sendData("\x7f", 1) == 1 ? 1 : -1;
            return rig.dev().BytesAvailable() == 0xFFFF ? -1 : 1;
        };
        LogCapture log;
        int result = call();
        // A stalled IN transfer shows once the bridge answers it, on libusb's thread.
        for (QDeadlineTimer t(5000); result == 1 && op == QLatin1String("BytesAvailable") && !t.hasExpired();)
            result = call();
        QCOMPARE(result, -1);
        const QString origin = QStringLiteral("VX_SI_USBXpressDev::") + op;
        QCOMPARE(log.errors().size(), cause.isEmpty() ? 1 : 2);
        QVERIFY2(log.errors().at(0).contains(cause), qPrintable(log.errors().at(0)));
        QCOMPARE(log.errors().last(), errorText(qPrintable(origin), qPrintable(status)));
        if (atOpen) {
            QVERIFY(!rig.host().claimed);
            QVERIFY(rig.host().kernelDriverBound);
            QVERIFY(!rig.state().uartEnabled);
        }
        if (part == 0x20)
            QCOMPARE(call(), 1);
        else
            QCOMPARE(rig.state().latch, quint8(0xFF));  // refused without a request
    }

    void unplugDuringAnUpdate_failsItOnceAndCloses_replugComesBackUnderTheRememberedName()
    {
        Rig rig;
        QSignalSpy closed(&rig.dev(), &VX_SI_USBXpressDev::SIGNAL_connectionClosed);
        QCOMPARE(rig.update->open(), 1);
        const QString remembered = rig.dev().getDeviceNameList().at(0);
        rig.dev().SLOT_StartFirmwareUpdate(rig.update->writeHex(plausibleImage(20000, "USB 1.0")));
        QVERIFY(rig.pollUntil([&] { return rig.board().blocksWritten() >= 5; }));
        rig.bus.unplug(rig.ids[0]);
        QVERIFY(rig.pollUntil([&] { return !rig.update->finished.isEmpty(); }));
        int passes = 0;
        rig.pollUntil([&] { return ++passes > 1100; });  // through the next enumeration
        QCOMPARE(rig.update->finished.count(), 1);
        QCOMPARE(rig.update->result(), qint8(-1));
        QCOMPARE(closed.count(), 1);
        QVERIFY(!rig.dev().isDeviceOpen());
        QVERIFY(rig.dev().getDeviceNameList().isEmpty());
        const int written = rig.board().blocksWritten();
        QVERIFY(written >= 5 && written < 79);

        rig.bus.replug(rig.ids[0]);
        QVERIFY(rig.pollUntil([&] { return rig.dev().getDeviceNameList().contains(remembered); }));
        QCOMPARE(rig.dev().openDevice(quint16(rig.dev().getDeviceNameList().indexOf(remembered))), 1);
        QVERIFY(rig.host().claimed);
        const QByteArray image = plausibleImage(1000, "USB 1.1");
        QVERIFY(rig.runUpdate(rig.update->writeHex(image)));
        QCOMPARE(rig.update->result(1), qint8(1));
        QVERIFY(flashBytes(rig.board(), image.size()) == image);
    }
};

QTEST_GUILESS_MAIN(TestUsbEmulatedBridge)
#include "test_usb_emulated_bridge.moc"
