// The device object's bridge side against the simulated bridge: enumeration, open/close,
// I/O and pins, with every failure branch driven by status injection; and the worker pass:
// what it reads, what it announces, when it enumerates, and the hand-over of the rings to the
// GUI thread through the lock-free ring, where no byte is lost or taken twice when the reader
// changes threads.
#include "support/log_capture.h"
#include "support/script_peer.h"
#include "support/update_rig.h"
#include "usbdevice/byte_ring.h"
#include "usbdevice/sim_bridge_library.h"
#include "usbdevice/vx_si_usbxpressdev.h"

#include <QSignalSpy>
#include <QtTest>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

namespace {

const char *kOpen = "VX_SI_USBXpressDev::openDevice";

struct Rig {
    std::shared_ptr<ScriptPeer> peer = std::make_shared<ScriptPeer>();
    std::shared_ptr<SimBridgeLibrary> lib = simLibraryWith(peer);
    const int id = kRigBridgeId;
    UpdateRig up{lib};
    VX_SI_USBXpressDev &dev = up.dev;

    void openFirst() { QCOMPARE(up.open(), 1); }
};

QList<quint8> types(const QSignalSpy &spy)
{
    QList<quint8> out;
    for (const auto &args : spy)
        out << args.at(0).value<quint8>();
    return out;
}

} // namespace

class TestDeviceAccess : public QObject {
    Q_OBJECT
private slots:
    // The list over the bridges' lives: enumerated in the worker's first pass and every 1001st,
    // announced the first time even when empty and then only when it changes, a bridge that comes
    // back goes last, and bridges with one serial number are one row opening the later one.
    void enumeration_passes_announcements_rowOrder_andEqualSerials()
    {
        auto lib = std::make_shared<SimBridgeLibrary>();
        VX_SI_USBXpressDev dev(lib, false);
        QSignalSpy spy(&dev, &VX_SI_USBXpressDev::SIGNAL_newDeviceListAvailable);
        for (int i = 0; i < 1001; ++i)
            dev.pollOnce();
        QCOMPARE(lib->callCount(SiOp::GetNumDevices), 1);
        QCOMPARE(spy.count(), 1);
        QVERIFY(dev.getDeviceNameList().isEmpty());
        dev.pollOnce();
        QCOMPARE(lib->callCount(SiOp::GetNumDevices), 2);
        QCOMPARE(spy.count(), 1);

        const int a = lib->addBridge(QStringLiteral("A"), QStringLiteral("11"), nullptr);
        lib->addBridge(QStringLiteral("B"), QStringLiteral(""), nullptr);
        LogCapture log;
        dev.fillListOfDevice();
        QCOMPARE(spy.count(), 2);
        QCOMPARE(dev.getDeviceNameList(), (QStringList{QStringLiteral("A [0x11]"), QStringLiteral("B [0x]")}));
        QCOMPARE(log.messages(QStringLiteral("VX_SI_USBXpressDev::fillListOfDevice")),
                 (QStringList{QStringLiteral("Add Device Index"), QStringLiteral("Add Device Index")}));
        lib->unplug(a);
        dev.fillListOfDevice();
        lib->plug(a);
        const int twin = lib->addBridge(QStringLiteral("C"), QStringLiteral("11"), nullptr);
        dev.fillListOfDevice();
        QCOMPARE(dev.getDeviceNameList(), (QStringList{QStringLiteral("B [0x]"), QStringLiteral("A [0x11]")}));
        QCOMPARE(dev.openDevice(1), 1);
        QVERIFY(lib->isOpen(twin));
        QVERIFY(!lib->isOpen(a));
    }

    void failingCount_emptiesTheListAndClosesTheOpenBridge_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("logged");
        QTest::newRow("SI_INVALID_PARAMETER") << int(SI_INVALID_PARAMETER) << true;
        QTest::newRow("SI_DEVICE_NOT_FOUND") << int(SI_DEVICE_NOT_FOUND) << true;
        QTest::newRow("unlisted code") << int(SI_DEVICE_IO_FAILED) << false;
    }
    void failingCount_emptiesTheListAndClosesTheOpenBridge()
    {
        QFETCH(int, status);
        QFETCH(bool, logged);
        Rig rig;
        rig.openFirst();
        QSignalSpy closed(&rig.dev, &VX_SI_USBXpressDev::SIGNAL_connectionClosed);
        rig.lib->injectNext(SiOp::GetNumDevices, status);
        LogCapture log;
        rig.dev.fillListOfDevice();
        QVERIFY(rig.dev.getDeviceNameList().isEmpty());
        QCOMPARE(closed.count(), 1);
        QVERIFY(!rig.dev.isDeviceOpen());
        QCOMPARE(log.contains(errorText("VX_SI_USBXpressDev::getNumUSBdevs", siStatusName(status))), logged);
        QCOMPARE(log.messages(QStringLiteral("VX_SI_USBXpressDev::fillListOfDevice")),
                 QStringList{QStringLiteral("Remove Device Index 0")});
    }

    // A listed failure of the description drops that bridge and the ones after it until the
    // next enumeration; an unlisted one leaves the text empty and goes on, with no error.
    void failingProductString_dropsThatBridgeAndHigherOnesUntilReadAgain_unlistedGoesOn()
    {
        for (const int status : {SI_INVALID_PARAMETER, SI_DEVICE_NOT_FOUND}) {
            auto lib = std::make_shared<SimBridgeLibrary>();
            for (const char *serial : {"1", "2", "3"})
                lib->addBridge(QStringLiteral("X"), QLatin1String(serial), nullptr);
            VX_SI_USBXpressDev dev(lib, false);
            dev.fillListOfDevice();
            // Calls: 2 per bridge; the third call is the description of bridge number 1.
            lib->injectStatus(SiOp::GetProductString, lib->callCount(SiOp::GetProductString) + 3, status);
            LogCapture log;
            dev.fillListOfDevice();
            QCOMPARE(dev.getDeviceNameList(), QStringList{QStringLiteral("X [0x1]")});
            QVERIFY(log.contains(errorText("VX_SI_USBXpressDev::getDeviceInfo", siStatusName(status))));
            QCOMPARE(log.messages(QStringLiteral("VX_SI_USBXpressDev::fillListOfDevice")),
                     (QStringList{QStringLiteral("Remove Device Index 1"), QStringLiteral("Remove Device Index 1")}));
            log.clear();
            dev.fillListOfDevice();
            QCOMPARE(dev.getDeviceNameList().size(), 3);
            QCOMPARE(log.count(QStringLiteral("Add Device Index")), 2);
        }
        auto lib = std::make_shared<SimBridgeLibrary>();
        lib->addBridge(QStringLiteral("Desc"), QStringLiteral("42"), nullptr);
        VX_SI_USBXpressDev dev(lib, false);
        lib->injectNext(SiOp::GetProductString, SI_DEVICE_IO_FAILED);  // the description
        LogCapture log;
        dev.fillListOfDevice();
        QCOMPARE(dev.getDeviceNameList(), QStringList{QStringLiteral(" [0x42]")});
        QVERIFY(log.errors().isEmpty());
    }

    void openDevice_refusesBadIndexAndSecondOpen()
    {
        Rig rig;
        rig.dev.fillListOfDevice();
        LogCapture log;
        QCOMPARE(rig.dev.openDevice(1), -1);
        QVERIFY(log.contains(errorText(kOpen, "Device to Open not exist")));
        QCOMPARE(rig.dev.openDevice(0), 1);
        QCOMPARE(rig.lib->baudRate(rig.id), 115200u);
        QCOMPARE(rig.lib->lineControl(rig.id), quint16(0x0800));
        QCOMPARE(rig.dev.openDevice(0), -1);
        QVERIFY(log.contains(errorText(kOpen, "Device already open")));
    }

    void openDevice_failureCodesOfEachStep_data()
    {
        QTest::addColumn<int>("op");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("error");
        const struct { SiOp op; int status; int result; const char *error; } rows[] = {
            {SiOp::Open, SI_INVALID_PARAMETER, -1, "SI_INVALID_PARAMETER"},
            {SiOp::Open, SI_GLOBAL_DATA_ERROR, -1, "SI_GLOBAL_DATA_ERROR"},
            {SiOp::Open, SI_DEVICE_NOT_FOUND, -1, "SI_DEVICE_NOT_FOUND"},
            // An unlisted status goes on with no handle: the baud-rate step then fails.
            {SiOp::Open, SI_WRITE_ERROR, -1, "SI_INVALID_HANDLE"},
            {SiOp::SetBaudRate, SI_INVALID_HANDLE, -1, "SI_INVALID_HANDLE"},
            {SiOp::SetBaudRate, SI_INVALID_PARAMETER, -1, "SI_INVALID_PARAMETER"},
            {SiOp::SetBaudRate, SI_DEVICE_IO_FAILED, -1, "SI_DEVICE_IO_FAILED"},
            {SiOp::SetBaudRate, SI_INVALID_BAUDRATE, -1, "SI_INVALID_BAUDRATE"},
            {SiOp::SetBaudRate, SI_READ_ERROR, 1, ""},
            {SiOp::SetLineControl, SI_INVALID_HANDLE, -1, "SI_INVALID_HANDLE"},
            {SiOp::SetLineControl, SI_INVALID_PARAMETER, -1, "SI_INVALID_PARAMETER"},
            {SiOp::SetLineControl, SI_DEVICE_IO_FAILED, -1, "SI_DEVICE_IO_FAILED"},
            {SiOp::SetLineControl, SI_INVALID_BAUDRATE, 1, ""},
        };
        for (const auto &r : rows)
            QTest::addRow("op%d status %d", int(r.op), r.status)
                << int(r.op) << r.status << r.result << QString::fromLatin1(r.error);
    }
    void openDevice_failureCodesOfEachStep()
    {
        QFETCH(int, op);
        QFETCH(int, status);
        QFETCH(int, result);
        QFETCH(QString, error);
        Rig rig;
        rig.dev.fillListOfDevice();
        rig.lib->injectNext(SiOp(op), status);
        LogCapture log;
        QCOMPARE(rig.dev.openDevice(0), result);
        QCOMPARE(rig.dev.isDeviceOpen(), result == 1);
        if (error.isEmpty()) {
            QVERIFY(log.errors().isEmpty());
        } else {
            QCOMPARE(log.errors(), QStringList{errorText(kOpen, error.toLatin1().constData())});
            // A failed open leaves the bridge free for the next attempt.
            QVERIFY(!rig.lib->isOpen(rig.id));
            QCOMPARE(rig.dev.openDevice(0), 1);
        }
    }

    void closeDev_failureAndUnlistedCodes_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("result");
        QTest::addColumn<bool>("stillOpen");
        QTest::newRow("SI_INVALID_HANDLE") << int(SI_INVALID_HANDLE) << -1 << true;
        QTest::newRow("SI_GLOBAL_DATA_ERROR") << int(SI_GLOBAL_DATA_ERROR) << -1 << true;
        QTest::newRow("SI_SYSTEM_ERROR_CODE") << int(SI_SYSTEM_ERROR_CODE) << -1 << true;
        QTest::newRow("SI_DEVICE_NOT_FOUND") << int(SI_DEVICE_NOT_FOUND) << -1 << true;
        QTest::newRow("unlisted: reported closed, stays open") << int(SI_DEVICE_IO_FAILED) << 1 << true;
        QTest::newRow("success") << int(SI_SUCCESS) << 1 << false;
    }
    void closeDev_failureAndUnlistedCodes()
    {
        QFETCH(int, status);
        QFETCH(int, result);
        QFETCH(bool, stillOpen);
        Rig rig;
        rig.openFirst();
        QSignalSpy closed(&rig.dev, &VX_SI_USBXpressDev::SIGNAL_connectionClosed);
        if (status != SI_SUCCESS)
            rig.lib->injectNext(SiOp::Close, status);
        LogCapture log;
        QCOMPARE(rig.dev.closeDev(true), result);
        QCOMPARE(rig.dev.isDeviceOpen(), stillOpen);
        QCOMPARE(closed.count(), result == 1 ? 1 : 0);
        QCOMPARE(log.errors().size(), result == 1 ? 0 : 1);
    }

    // Closing a bridge that is not open, by hand or because it went away after its close.
    void closeDev_whenNotOpen_logsAndEmitsNothing()
    {
        Rig rig;
        QSignalSpy closed(&rig.dev, &VX_SI_USBXpressDev::SIGNAL_connectionClosed);
        const QStringList notOpen{errorText("VX_SI_USBXpressDev::closeDev", "Device not open")};
        {
            LogCapture log;
            QCOMPARE(rig.dev.closeDev(true), -1);
            QCOMPARE(log.errors(), notOpen);
        }
        rig.openFirst();
        QCOMPARE(rig.dev.closeDev(), 1);
        closed.clear();
        rig.lib->unplug(rig.id);
        LogCapture log;
        rig.dev.fillListOfDevice();
        QCOMPARE(closed.count(), 0);
        QCOMPARE(log.errors(), notOpen);
    }

    void io_withoutBridgeOrWithNothingAsked_callsNoLibrary_otherwiseReachesTheBridge()
    {
        Rig rig;
        QCOMPARE(rig.dev.ReadData(10), 0);
        LogCapture log;
        QCOMPARE(rig.dev.sendData("x", 1), quint16(0xFFFF));
        QVERIFY(log.lines().isEmpty());
        rig.openFirst();
        QCOMPARE(rig.dev.ReadData(0), 0);
        QCOMPARE(rig.lib->callCount(SiOp::Read), 0);
        QCOMPARE(rig.lib->callCount(SiOp::Write), 0);
        QCOMPARE(rig.dev.flushBuffers(), 1);
        QCOMPARE(rig.peer->purges(), 1);
        QCOMPARE(rig.dev.sendData("\x7f", 1), quint16(1));
        QCOMPARE(rig.peer->writes(), QList<QByteArray>{QByteArray("\x7f")});
    }

    // A call the library refuses: its result, its one error line (none for a status the call
    // does not list), and nothing done on the bridge: no byte taken, sent, purged or latched.
    void ioRefused_isReportedAndLeavesTheBridgeAsItWas_data()
    {
        QTest::addColumn<QString>("call");
        QTest::addColumn<int>("op");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("error");
        const struct { const char *call; SiOp op; int result; std::vector<int> codes; } refusals[] = {
            {"ReadData", SiOp::Read, -1, {SI_INVALID_HANDLE, SI_READ_ERROR, SI_INVALID_PARAMETER, SI_INVALID_REQUEST_LENGTH,
                                         SI_DEVICE_IO_FAILED, SI_SYSTEM_ERROR_CODE, SI_READ_TIMED_OUT, SI_IO_PENDING}},
            {"BytesAvailable", SiOp::CheckRxQueue, 0xFFFF, {SI_INVALID_HANDLE, SI_INVALID_PARAMETER, SI_DEVICE_IO_FAILED}},
            {"sendData", SiOp::Write, 0xFFFF, {SI_INVALID_HANDLE, SI_WRITE_ERROR, SI_INVALID_PARAMETER,
                                               SI_INVALID_REQUEST_LENGTH, SI_DEVICE_IO_FAILED, SI_FUNCTION_NOT_SUPPORTED,
                                               SI_SYSTEM_ERROR_CODE, SI_WRITE_TIMED_OUT, SI_IO_PENDING, SI_DEVICE_NOT_FOUND}},
            {"flushBuffers", SiOp::FlushBuffers, -1, {SI_INVALID_HANDLE, SI_SYSTEM_ERROR_CODE}},
            {"setReset", SiOp::WriteLatch, -1, {SI_INVALID_HANDLE, SI_INVALID_PARAMETER, SI_DEVICE_IO_FAILED,
                                                SI_FUNCTION_NOT_SUPPORTED, SI_GLOBAL_DATA_ERROR, SI_DEVICE_NOT_FOUND}},
            {"setBoot0", SiOp::WriteLatch, -1, {SI_INVALID_HANDLE, SI_DEVICE_NOT_FOUND}},
        };
        for (const auto &r : refusals)
            for (int code : r.codes)
                QTest::addRow("%s %s", r.call, siStatusName(code))
                    << r.call << int(r.op) << code << r.result << QString::fromLatin1(siStatusName(code));
        // Statuses a call does not list: counted as done (or, for the queue, as unknown).
        QTest::newRow("BytesAvailable unknown") << "BytesAvailable" << int(SiOp::CheckRxQueue) << int(SI_READ_TIMED_OUT)
                                                << 3 << "SI Unkown Error 13";
        QTest::newRow("sendData unlisted") << "sendData" << int(SiOp::Write) << int(SI_READ_ERROR) << 1 << QString();
        QTest::newRow("flushBuffers unlisted") << "flushBuffers" << int(SiOp::FlushBuffers) << int(SI_DEVICE_IO_FAILED)
                                               << 1 << QString();
    }
    void ioRefused_isReportedAndLeavesTheBridgeAsItWas()
    {
        QFETCH(QString, call);
        QFETCH(int, op);
        QFETCH(int, status);
        QFETCH(int, result);
        QFETCH(QString, error);
        Rig rig;
        rig.openFirst();
        rig.peer->inject("abc");
        const int latch = rig.lib->latch(rig.id);
        const QHash<QString, std::function<int()>> calls = {
            {"ReadData", [&] { return int(rig.dev.ReadData(3)); }},
            {"BytesAvailable", [&] { return int(rig.dev.BytesAvailable()); }},
            {"sendData", [&] { return int(rig.dev.sendData("x", 1)); }},
            {"flushBuffers", [&] { return int(rig.dev.flushBuffers()); }},
            {"setReset", [&] { return int(rig.dev.setReset(true)); }},
            {"setBoot0", [&] { return int(rig.dev.setBoot0(true)); }}};
        rig.lib->injectNext(SiOp(op), status);
        LogCapture log;
        QCOMPARE(calls[call](), result);
        const QString origin = QStringLiteral("VX_SI_USBXpressDev::") + call;
        QCOMPARE(log.errors(), error.isEmpty() ? QStringList() : QStringList{errorText(qPrintable(origin), qPrintable(error))});
        QVERIFY(rig.peer->writes().isEmpty());
        QCOMPARE(rig.peer->purges(), 0);
        QCOMPARE(int(rig.lib->latch(rig.id)), latch);
        QCOMPARE(rig.dev.getRxCount(), quint16(0));
        QCOMPARE(rig.dev.ReadData(3), 3);
        if (!error.isEmpty())
            QVERIFY(calls[call]() != result);  // the refusal does not last
    }

    void readData_neverOverrunsUnreadBytes_restWaitsInTheBridge()
    {
        Rig rig;
        rig.openFirst();
        QByteArray first(4000, 'a');
        rig.peer->inject(first);
        QCOMPARE(rig.dev.ReadData(quint16(rig.dev.BytesAvailable())), 4000);
        QByteArray second;
        for (int i = 0; i < 300; ++i)
            second += char('0' + i % 10);
        rig.peer->inject(second);
        QCOMPARE(rig.dev.BytesAvailable(), quint16(300));
        QCOMPARE(rig.dev.ReadData(300), 95);  // the ring holds 4095
        QCOMPARE(rig.dev.BytesAvailable(), quint16(205));
        char c = 0;
        for (int i = 0; i < 4000; ++i)
            QCOMPARE(rig.dev.getRxByte(c), qint8(1));
        QCOMPARE(c, 'a');
        QCOMPARE(rig.dev.ReadData(205), 205);
        QCOMPARE(drain(rig.dev, &VX_SI_USBXpressDev::getRxByte), second);
        QCOMPARE(rig.dev.getRxByte(c), qint8(-1));
    }

    // RESET is latch bit 0 and BOOT0 bit 1, both active low; a target reset pulses RESET with
    // BOOT0 low and leaves the line as it was.
    void pins_driveTheLatchActiveLow_resetTargetPulsesResetWithBoot0Low()
    {
        Rig rig;
        rig.openFirst();
        const struct { bool reset; bool boot0; int latch; } steps[] = {
            {true, false, 0x02}, {true, true, 0x00}, {false, true, 0x01}, {false, false, 0x03}};
        for (const auto &step : steps) {
            QCOMPARE(rig.dev.setReset(step.reset), 1);
            QCOMPARE(rig.dev.setBoot0(step.boot0), 1);
            QCOMPARE(rig.lib->latch(rig.id) & 0x03, step.latch);
        }
        rig.dev.setBoot0(true);
        const int before = rig.peer->latchHistory().size();
        rig.dev.resetTarget();
        const QList<uint8_t> latches = rig.peer->latchHistory().mid(before);
        QCOMPARE(latches.size(), 3);
        QCOMPARE(latches.at(0) & 0x01, 0);     // held in reset
        QCOMPARE(latches.at(1) & 0x03, 0x02);  // BOOT0 low while held
        QCOMPARE(latches.at(2) & 0x03, 0x03);  // released into the application
        QCOMPARE(rig.lib->lineControl(rig.id), quint16(0x0800));
    }

    void unplugOfTheOpenBridge_closesItAndSignals_replugListsItAgain()
    {
        auto lib = std::make_shared<SimBridgeLibrary>();
        auto peer = std::make_shared<ScriptPeer>();
        const int id = lib->addBridge(QStringLiteral("Orbalo"), QStringLiteral("0001"), peer);
        VX_SI_USBXpressDev dev(lib, false);
        QSignalSpy list(&dev, &VX_SI_USBXpressDev::SIGNAL_newDeviceListAvailable);
        QSignalSpy closed(&dev, &VX_SI_USBXpressDev::SIGNAL_connectionClosed);
        dev.start();
        // The worker lists the bridges in its first pass, which may come before a wait begins.
        QTRY_VERIFY_WITH_TIMEOUT(!list.isEmpty(), 5000);
        QCOMPARE(dev.openDevice(0), 1);
        lib->unplug(id);
        QVERIFY(closed.wait(5000));
        QCOMPARE(closed.count(), 1);
        QVERIFY(!dev.isDeviceOpen());
        QTRY_VERIFY_WITH_TIMEOUT(dev.getDeviceNameList().isEmpty(), 5000);
        lib->plug(id);
        QTRY_COMPARE_WITH_TIMEOUT(dev.getDeviceNameList(), QStringList{QStringLiteral("Orbalo [0x0001]")}, 5000);
        QCOMPARE(dev.openDevice(0), 1);
    }


    // Serial mode: a pass with bytes announces them once, a pass without bytes or whose queue
    // query failed (no count: the read is skipped) nothing. TLV mode: frames are decoded across
    // passes and only their output is announced.
    void passes_announceSerialBytesOnce_andDecodedTlvOutputOnly()
    {
        Rig rig;
        rig.openFirst();
        QSignalSpy data(&rig.dev, &VX_SI_USBXpressDev::SIGNAL_newDataAvailable);
        rig.dev.pollOnce();
        rig.peer->inject("hello\n");
        rig.lib->injectNext(SiOp::CheckRxQueue, SI_DEVICE_IO_FAILED);
        rig.dev.pollOnce();
        QCOMPARE(rig.lib->callCount(SiOp::Read), 0);
        QCOMPARE(data.count(), 0);
        rig.dev.pollOnce();
        QCOMPARE(types(data), QList<quint8>{0});
        QCOMPARE(rig.dev.getRxCount(), quint16(6));
        rig.dev.pollOnce();
        QCOMPARE(data.count(), 1);

        rig.peer->inject(QByteArray::fromHex("AA0500F002"));  // before the switch: dropped by the reset
        rig.dev.pollOnce();
        rig.dev.setTLVMode(true, true);
        data.clear();
        rig.peer->inject(QByteArray::fromHex("AA0500F00200"));
        rig.dev.pollOnce();
        QCOMPARE(data.count(), 0);
        rig.peer->inject(QByteArray::fromHex("486958FE"));
        rig.dev.pollOnce();
        QCOMPARE(types(data), QList<quint8>{2});
        QCOMPARE(drain(rig.dev, &VX_SI_USBXpressDev::getTLVByte), QByteArray("Hi"));
        QCOMPARE(rig.dev.getRxCount(), quint16(0));
    }

    void duringAnUpdate_receivedBytesAreNotAnnounced()
    {
        Rig rig;
        rig.openFirst();
        rig.dev.SLOT_StartFirmwareUpdate(
            rig.up.writeFile(QStringLiteral("x.hex"), ":020000040800F2\r\n:020000040800F2\r\n:00000001FF\r\n"));
        QSignalSpy data(&rig.dev, &VX_SI_USBXpressDev::SIGNAL_newDataAvailable);
        rig.peer->inject("board text");
        rig.dev.pollOnce();
        QVERIFY(!types(data).contains(quint8(0)));
    }

    void consoleTextBeyondTheRing_waitsAndArrivesWhole()
    {
        Rig rig;
        rig.openFirst();
        QByteArray expected;
        for (int i = 0; i < 400; ++i) {
            const QString text = QStringLiteral("line %1").arg(i);
            rig.dev.writeConsoleLine(text);
            expected += "<br><b>" + text.toLatin1() + "</b>\n";
        }
        QVERIFY(expected.size() > 4095);
        QByteArray got;
        for (int pass = 0; pass < 10 && got.size() < expected.size(); ++pass) {
            got += rig.up.console();
            rig.dev.pollOnce();
        }
        QCOMPARE(got + rig.up.console(), expected);
    }

    // The lock-free ring between the worker and the GUI thread.
    void fullRing_refusesTheNextByteAndKeepsWhatItHolds()
    {
        ByteRing ring;
        for (int i = 0; i < 4095; ++i)
            QVERIFY(ring.put(quint8(i)));
        QVERIFY(!ring.put(0xEE));
        QCOMPARE(ring.count(), quint16(4095));
        QCOMPARE(ring.freeSpace(), quint16(0));
        quint8 b = 0;
        for (int i = 0; i < 4095; ++i) {
            QVERIFY(ring.take(b));
            QCOMPARE(b, quint8(i));
        }
        QVERIFY(!ring.take(b));
    }

    void blockPut_storesOnlyWhatFits_acrossTheWrap()
    {
        ByteRing ring;
        quint8 junk[4000] = {};
        QCOMPARE(ring.put(junk, 4000), quint16(4000));
        QCOMPARE(ring.skip(4000), quint16(4000));
        std::vector<quint8> data(5000);
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = quint8(i * 13);
        QCOMPARE(ring.put(data.data(), 5000), quint16(4095));
        for (quint16 i = 0; i < 4095; i += 511)
            QCOMPARE(ring.peek(i), data[i]);
        QCOMPARE(ring.skip(10), quint16(10));
        quint8 b = 0;
        QVERIFY(ring.take(b));
        QCOMPARE(b, data[10]);
        QCOMPARE(ring.skip(9999), quint16(4084));
        QVERIFY(ring.isEmpty());
    }

    void oneWriterTwoReaders_everyByteTakenExactlyOnceInOrder()
    {
        ByteRing ring;
        constexpr int kTotal = 2000000;
        std::atomic<bool> done{false};
        std::vector<std::vector<quint32>> seen(2);
        std::thread writer([&] {
            // Bytes carry a running sequence; each reader checks what it gets is increasing.
            for (int i = 0; i < kTotal;) {
                if (ring.put(quint8(i & 0xFF)))
                    ++i;
                else
                    std::this_thread::yield();
            }
            done.store(true, std::memory_order_release);
        });
        std::vector<std::thread> readers;
        std::atomic<int> taken{0};
        for (int r = 0; r < 2; ++r)
            readers.emplace_back([&, r] {
                quint8 b = 0;
                for (;;) {
                    if (ring.take(b)) {
                        seen[size_t(r)].push_back(b);
                        taken.fetch_add(1, std::memory_order_relaxed);
                    } else if (done.load(std::memory_order_acquire) && ring.isEmpty()) {
                        break;
                    }
                }
            });
        writer.join();
        for (auto &t : readers)
            t.join();
        QCOMPARE(taken.load(), kTotal);
        long long sum = 0;
        for (const auto &v : seen)
            for (quint32 b : v)
                sum += b;
        long long expected = 0;
        for (int i = 0; i < kTotal; ++i)
            expected += i & 0xFF;
        QCOMPARE(sum, expected);
    }

    void runningWorker_handsEveryByteToTheGuiThreadInOrder()
    {
        Rig rig;
        rig.openFirst();
        rig.dev.start();
        constexpr int kTotal = 200000;
        std::thread board([&] {
            QByteArray piece;
            for (int i = 0; i < kTotal;) {
                piece.clear();
                for (int k = 0; k < 97 && i < kTotal; ++k, ++i)
                    piece += char(i % 251);
                rig.peer->inject(piece);
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
        int received = 0;
        bool inOrder = true;
        QElapsedTimer timer;
        timer.start();
        char c = 0;
        while (received < kTotal && timer.elapsed() < 60000) {
            if (rig.dev.getRxByte(c) == 1) {
                inOrder = inOrder && quint8(c) == quint8(received % 251);
                ++received;
            } else {
                rig.dev.getDeviceNameList();  // the list snapshot is read while the worker works
            }
        }
        board.join();
        QCOMPARE(received, kTotal);
        QVERIFY(inOrder);
    }
};

QTEST_GUILESS_MAIN(TestDeviceAccess)
#include "test_device_access.moc"
