// The device object over the real backend: VX_SI_USBXpressDev on UsbBridgeLibrary on a fake
// transport that emulates a CP210x with a script or the simulated board behind it. The same
// situations as against the simulated bridge, so both backends answer alike.
#include "fake_cp210x_transport.h"
#include "sim_board.h"
#include "support/log_capture.h"
#include "support/script_peer.h"
#include "support/update_rig.h"
#include "usbdevice/usb/usb_bridge_library.h"
#include "usbdevice/vx_si_usbxpressdev.h"

#include <QSignalSpy>
#include <QtTest>

using pelusb::UsbResult;
using Kind = FakeCp210xTransport::Kind;

namespace {

QString errorText(const char *origin, const char *message)
{
    return QStringLiteral("\x1b[31mERROR[\x1b[32mZorvane\x1b[31m]->%1: %2\x1b[0m")
        .arg(QLatin1String(origin), QLatin1String(message));
}

struct Rig {
    std::shared_ptr<FakeCp210xTransport> usb = std::make_shared<FakeCp210xTransport>();
    std::shared_ptr<ScriptPeer> peer = std::make_shared<ScriptPeer>();
    int id;
    std::shared_ptr<UsbBridgeLibrary> lib;
    VX_SI_USBXpressDev dev;

    explicit Rig(uint8_t part = 0x20)
        : id(addBridge(part)), lib(std::make_shared<UsbBridgeLibrary>(usb, defaultUsbIds())), dev(lib, false)
    {
    }
    int addBridge(uint8_t part)
    {
        FakeCp210xTransport::BridgeModel model;
        model.product = "Orbalo Mini";
        model.partNumber = part;
        model.peer = peer;
        return usb->addBridge(model);
    }
    void openFirst()
    {
        dev.fillListOfDevice();
        QCOMPARE(dev.openDevice(0), 1);
    }
};

} // namespace

class TestUsbDeviceAccess : public QObject {
    Q_OBJECT
private slots:
    void enumeration_emitsOnceWhenEmpty_bridgesPluggedLaterAreAppended()
    {
        auto usb = std::make_shared<FakeCp210xTransport>();
        VX_SI_USBXpressDev dev(std::make_shared<UsbBridgeLibrary>(usb, defaultUsbIds()), false);
        QSignalSpy spy(&dev, &VX_SI_USBXpressDev::SIGNAL_newDeviceListAvailable);
        dev.fillListOfDevice();
        QCOMPARE(spy.count(), 1);
        QVERIFY(dev.getDeviceNameList().isEmpty());
        dev.fillListOfDevice();
        QCOMPARE(spy.count(), 1);

        FakeCp210xTransport::BridgeModel later;
        later.bus = 3;
        later.product = "Later";
        later.serial = "0002";
        const int laterId = usb->addBridge(later);
        dev.fillListOfDevice();
        FakeCp210xTransport::BridgeModel lower;
        lower.bus = 1;
        lower.product = "Lower socket";
        lower.serial = "";
        usb->addBridge(lower);
        dev.fillListOfDevice();
        QCOMPARE(spy.count(), 3);
        // A bridge in a lower socket gets the lower device number but the later row.
        QCOMPARE(dev.getDeviceNameList(), (QStringList{QStringLiteral("Later [0x0002]"), QStringLiteral("Lower socket [0x]")}));
        QCOMPARE(dev.openDevice(0), 1);
        QVERIFY(usb->claimed(laterId));
    }

    void openDevice_refusesBadIndexAndSecondOpen_andSets115200And8N1()
    {
        Rig rig;
        rig.dev.fillListOfDevice();
        LogCapture log;
        QCOMPARE(rig.dev.openDevice(1), -1);
        QVERIFY(log.contains(errorText("VX_SI_USBXpressDev::openDevice", "Device to Open not exist")));
        QCOMPARE(rig.dev.openDevice(0), 1);
        QCOMPARE(rig.usb->baudRate(rig.id), 115200u);
        QCOMPARE(rig.usb->lineControl(rig.id), quint16(0x0800));
        QCOMPARE(rig.dev.openDevice(0), -1);
        QVERIFY(log.contains(errorText("VX_SI_USBXpressDev::openDevice", "Device already open")));
    }

    void openDevice_bridgeThatCannotBeClaimed_failsWithDeviceNotFound()
    {
        Rig rig;
        rig.dev.fillListOfDevice();
        rig.usb->failNext(Kind::Claim, UsbResult::Busy);
        LogCapture log;
        QCOMPARE(rig.dev.openDevice(0), -1);
        QVERIFY(log.contains(errorText("VX_SI_USBXpressDev::openDevice", "SI_DEVICE_NOT_FOUND")));
        QVERIFY(!rig.dev.isDeviceOpen());
        QCOMPARE(rig.dev.openDevice(0), 1);
    }

    void readData_neverOverrunsUnreadBytes_restWaitsInTheBridge()
    {
        Rig rig;
        rig.openFirst();
        rig.peer->inject(QByteArray(4000, 'a'));
        rig.usb->deliver();
        QCOMPARE(rig.dev.ReadData(quint16(rig.dev.BytesAvailable())), 4000);
        QByteArray second;
        for (int i = 0; i < 300; ++i)
            second += char('0' + i % 10);
        rig.peer->inject(second);
        rig.usb->deliver();
        QCOMPARE(rig.dev.BytesAvailable(), quint16(300));
        QCOMPARE(rig.dev.ReadData(300), 95);
        QCOMPARE(rig.dev.BytesAvailable(), quint16(205));
        char c = 0;
        for (int i = 0; i < 4000; ++i)
            QCOMPARE(rig.dev.getRxByte(c), qint8(1));
        QCOMPARE(rig.dev.ReadData(205), 205);
        QByteArray rest;
        while (rig.dev.getRxByte(c) == 1)
            rest += c;
        QCOMPARE(rest, second);
    }

    void sendData_noBridgeFailsSilently_transportFailuresAreLoggedByName()
    {
        Rig rig;
        {
            LogCapture log;
            QCOMPARE(rig.dev.sendData("x", 1), quint16(0xFFFF));
            QVERIFY(log.lines().isEmpty());
        }
        rig.openFirst();
        const struct { UsbResult result; const char *name; } rows[] = {
            {UsbResult::Timeout, "SI_WRITE__TIMED_OUT"},
            {UsbResult::Stall, "SI_WRITE_ERROR"},
            {UsbResult::PipeError, "SI_WRITE_ERROR"},
        };
        for (const auto &row : rows) {
            rig.usb->failNext(Kind::BulkOut, row.result);
            LogCapture log;
            QCOMPARE(rig.dev.sendData("x", 1), quint16(0xFFFF));
            QCOMPARE(log.errors(), QStringList{errorText("VX_SI_USBXpressDev::sendData", row.name)});
        }
        QVERIFY(rig.peer->writes().isEmpty());
        QCOMPARE(rig.dev.sendData("\x7f", 1), quint16(1));
        QCOMPARE(rig.peer->writes().size(), 1);
        QCOMPARE(rig.peer->writes().at(0).bytes, QByteArray("\x7f"));
        QCOMPARE(rig.peer->writes().at(0).lineControl, quint16(0x0800));
    }

    void flushBuffers_purgesTheBridge()
    {
        Rig rig;
        rig.openFirst();
        const int before = rig.peer->purges();
        rig.peer->inject("stale");
        rig.usb->deliver();
        QCOMPARE(rig.dev.flushBuffers(), 1);
        QCOMPARE(rig.peer->purges(), before + 1);
        QCOMPARE(rig.dev.BytesAvailable(), quint16(0));
    }

    void pins_driveTheLatchActiveLow_partWithoutGpioReportsNotSupported()
    {
        {
            Rig rig;
            rig.openFirst();
            QCOMPARE(rig.dev.setReset(true), 1);
            QCOMPARE(rig.usb->latch(rig.id) & 0x03, 0x02);
            QCOMPARE(rig.dev.setBoot0(true), 1);
            QCOMPARE(rig.usb->latch(rig.id) & 0x03, 0x00);
            QCOMPARE(rig.dev.setReset(false), 1);
            QCOMPARE(rig.usb->latch(rig.id) & 0x03, 0x01);
            QCOMPARE(rig.dev.setBoot0(false), 1);
            QCOMPARE(rig.usb->latch(rig.id) & 0x03, 0x03);
            rig.usb->failNext(Kind::Control, UsbResult::Timeout, 1, 0xFF, 0x37E1);
            LogCapture log;
            QCOMPARE(rig.dev.setReset(true), -1);
            QCOMPARE(log.errors(), QStringList{errorText("VX_SI_USBXpressDev::setReset", "SI_DEVICE_IO_FAILED")});
        }
        Rig plain(0x02);  // CP2102
        plain.openFirst();
        LogCapture log;
        QCOMPARE(plain.dev.setBoot0(true), -1);
        QCOMPARE(log.errors(), QStringList{errorText("VX_SI_USBXpressDev::setBoot0", "SI_FUNCTION_NOT_SUPPORTED")});
    }

    void resetTarget_pulsesResetWithBoot0LowAndLeavesTheLine()
    {
        Rig rig;
        rig.openFirst();
        rig.dev.resetTarget();
        const QList<uint8_t> latches = rig.peer->latchHistory();
        QCOMPARE(latches.size(), 3);
        QCOMPARE(latches.at(0) & 0x01, 0);
        QCOMPARE(latches.at(1) & 0x03, 0x02);
        QCOMPARE(latches.at(2) & 0x03, 0x03);
        QCOMPARE(rig.usb->lineControl(rig.id), quint16(0x0800));
    }

    void unplugOfTheOpenBridge_closesItAndSignals_replugListsItAgain()
    {
        Rig rig;
        QSignalSpy list(&rig.dev, &VX_SI_USBXpressDev::SIGNAL_newDeviceListAvailable);
        QSignalSpy closed(&rig.dev, &VX_SI_USBXpressDev::SIGNAL_connectionClosed);
        rig.dev.start();
        // The worker lists the bridges in its first pass, which may come before a wait begins.
        QTRY_VERIFY_WITH_TIMEOUT(!list.isEmpty(), 5000);
        QCOMPARE(rig.dev.openDevice(0), 1);
        rig.usb->unplug(rig.id);
        QVERIFY(closed.wait(5000));
        QCOMPARE(closed.count(), 1);
        QVERIFY(!rig.dev.isDeviceOpen());
        QTRY_VERIFY_WITH_TIMEOUT(rig.dev.getDeviceNameList().isEmpty(), 5000);
        QVERIFY(rig.usb->kernelDriverBound(rig.id) == false);  // nothing to give back to
        rig.usb->plug(rig.id);
        QTRY_COMPARE_WITH_TIMEOUT(rig.dev.getDeviceNameList(), QStringList{QStringLiteral("Orbalo Mini [0x0001]")}, 5000);
        QCOMPARE(rig.dev.openDevice(0), 1);
        QVERIFY(rig.usb->claimed(rig.id));
    }

    void closeDev_givesTheBridgeBackToTheKernel()
    {
        Rig rig;
        rig.openFirst();
        QVERIFY(!rig.usb->kernelDriverBound(rig.id));
        QCOMPARE(rig.dev.closeDev(), 1);
        QVERIFY(rig.usb->kernelDriverBound(rig.id));
        QVERIFY(!rig.usb->claimed(rig.id));
    }

    void firmwareImage_isWrittenEndToEndThroughTheUsbBackend()
    {
        auto usb = std::make_shared<FakeCp210xTransport>();
        auto board = std::make_shared<pelsim::SimBoard>();
        FakeCp210xTransport::BridgeModel model;
        model.peer = board;
        usb->addBridge(model);
        UpdateRig rig(std::make_shared<UsbBridgeLibrary>(usb, defaultUsbIds()));
        QCOMPARE(rig.open(), 1);
        const QByteArray image = plausibleImage(97824, "USB 1.0");
        rig.run(rig.writeHex(image));
        QCOMPARE(rig.finished.count(), 1);
        QCOMPARE(rig.result(), qint8(1));
        QVERIFY(flashBytes(*board, image.size()) == image);
        QCOMPARE(board->blocksWritten(), 383);
        QCOMPARE(board->mode(), pelsim::SimBoard::Mode::Application);
        QVERIFY(QString::fromStdString(board->lastBanner()).startsWith(QStringLiteral("Orbalo Mini booted: USB 1.0, 97824 bytes")));
        // The strict board answers only bytes framed 8E1 in bootloader mode, so the update got
        // its line control through; afterwards the line is back on 8N1 for the debug output.
        QCOMPARE(usb->lineControl(1), quint16(0x0800));
    }

    void unplugDuringTheUpdate_failsItOnceAndClosesTheBridge()
    {
        auto usb = std::make_shared<FakeCp210xTransport>();
        auto board = std::make_shared<pelsim::SimBoard>();
        FakeCp210xTransport::BridgeModel model;
        model.peer = board;
        const int id = usb->addBridge(model);
        UpdateRig rig(std::make_shared<UsbBridgeLibrary>(usb, defaultUsbIds()));
        QSignalSpy closed(&rig.dev, &VX_SI_USBXpressDev::SIGNAL_connectionClosed);
        QCOMPARE(rig.open(), 1);
        rig.dev.SLOT_StartFirmwareUpdate(rig.writeHex(plausibleImage(20000, "USB 1.0")));
        for (int pass = 0; pass < 200000 && board->blocksWritten() < 5; ++pass)
            rig.dev.pollOnce();
        QCOMPARE(board->blocksWritten(), 5);
        usb->unplug(id);
        for (int pass = 0; pass < 20000 && rig.finished.isEmpty(); ++pass)
            rig.dev.pollOnce();
        for (int pass = 0; pass < 1100; ++pass)
            rig.dev.pollOnce();  // through the next enumeration
        QCOMPARE(rig.finished.count(), 1);
        QCOMPARE(rig.result(), qint8(-1));
        QCOMPARE(closed.count(), 1);
        QVERIFY(!rig.dev.isDeviceOpen());
        QVERIFY(rig.dev.getDeviceNameList().isEmpty());
        QCOMPARE(board->blocksWritten(), 5);
    }
};

QTEST_GUILESS_MAIN(TestUsbDeviceAccess)
#include "test_usb_device_access.moc"
