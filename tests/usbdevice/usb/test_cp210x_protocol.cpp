// The real backend's USB traffic against a recording fake: the exact control transfers of
// every operation (request type, request, value, index, data as AN571 gives them), the
// bring-up and tear-down order, and the status code of every transport failure.
#include "fake_cp210x_transport.h"
#include "support/log_capture.h"
#include "usbdevice/usb/cp210x_protocol.h"
#include "usbdevice/usb/usb_bridge_library.h"

#include <QtTest>

using pelusb::UsbResult;
using Kind = FakeCp210xTransport::Kind;

Q_DECLARE_METATYPE(UsbResult)

namespace {

struct Rig {
    std::shared_ptr<FakeCp210xTransport> usb = std::make_shared<FakeCp210xTransport>();
    std::shared_ptr<pelsim::EchoPeer> peer = std::make_shared<pelsim::EchoPeer>();
    int id = 0;
    std::unique_ptr<UsbBridgeLibrary> lib;
    SiHandle handle = kNoSiHandle;

    explicit Rig(FakeCp210xTransport::BridgeModel model = {}, bool hotplug = true)
    {
        if (!model.peer)
            model.peer = peer;
        id = usb->addBridge(model);
        usb->setHotplug(hotplug);
        lib = std::make_unique<UsbBridgeLibrary>(usb, defaultUsbIds());
    }
    int open()
    {
        quint32 count = 0;
        if (lib->getNumDevices(&count) != SI_SUCCESS || count == 0)
            return -1;
        usb->clearCalls();
        return lib->open(0, &handle);
    }
    QString lastCall() const { return usb->calls().isEmpty() ? QString() : usb->calls().last(); }
};

FakeCp210xTransport::BridgeModel model(uint8_t bus, std::vector<uint8_t> ports, const char *serial)
{
    FakeCp210xTransport::BridgeModel s;
    s.bus = bus;
    s.ports = std::move(ports);
    s.serial = serial;
    return s;
}

QString productString(BridgeLibrary &lib, quint32 n, quint32 selector)
{
    char buffer[kSiProductStringSize] = {};
    return lib.getProductString(n, buffer, selector) == SI_SUCCESS ? QString::fromUtf8(buffer) : QStringLiteral("?");
}

} // namespace

class TestCp210xProtocol : public QObject {
    Q_OBJECT
private slots:
    void open_bringsThePortUpInOrder_close_takesItDownAndGivesItBack()
    {
        Rig rig;
        QCOMPARE(rig.open(), int(SI_SUCCESS));
        QCOMPARE(rig.usb->calls(), (QStringList{
            QStringLiteral("open bus 1 port 1"),
            QStringLiteral("endpoints 0"),
            QStringLiteral("kernel-active 0"),
            QStringLiteral("detach 0"),
            QStringLiteral("claim 0"),
            QStringLiteral("control 41 00 0001 0000 []"),             // IFC_ENABLE
            QStringLiteral("control c0 ff 370b 0000 in 1"),           // GET_PARTNUM
            QStringLiteral("control 41 1e 0000 0000 [00 c2 01 00]"),  // SET_BAUDRATE 115200 LE
            QStringLiteral("control 41 03 0800 0000 []"),             // SET_LINE_CTL 8N1
            QStringLiteral("control 41 12 000f 0000 []"),             // PURGE both queues
            QStringLiteral("start-in 82 4096"),
        }));
        QVERIFY(rig.usb->uartEnabled(rig.id));
        QVERIFY(!rig.usb->kernelDriverBound(rig.id));
        QVERIFY(rig.usb->receiving(rig.id));

        rig.usb->clearCalls();
        QCOMPARE(rig.lib->close(rig.handle), int(SI_SUCCESS));
        QCOMPARE(rig.usb->calls(), (QStringList{
            QStringLiteral("stop-in"),
            QStringLiteral("control 41 00 0000 0000 []"),
            QStringLiteral("release 0"),
            QStringLiteral("attach 0"),
        }));
        QVERIFY(rig.usb->kernelDriverBound(rig.id));
        QCOMPARE(rig.lib->close(rig.handle), int(SI_INVALID_HANDLE));
    }

    void unboundKernelDriver_isNeitherDetachedNorAttached_endpointsComeFromTheDescriptor()
    {
        FakeCp210xTransport::BridgeModel s;
        s.kernelDriverBound = false;
        s.inEndpoint = 0x81;
        s.outEndpoint = 0x01;
        Rig rig(s);
        QCOMPARE(rig.open(), int(SI_SUCCESS));
        QVERIFY(!rig.usb->calls().contains(QStringLiteral("detach 0")));
        QCOMPARE(rig.lastCall(), QStringLiteral("start-in 81 4096"));
        quint32 written = 0;
        QCOMPARE(rig.lib->write(rig.handle, "hi", 2, &written), int(SI_SUCCESS));
        QCOMPARE(rig.lastCall(), QStringLiteral("bulk-out 01 [68 69]"));
        QCOMPARE(written, 2u);
        rig.usb->clearCalls();
        rig.lib->close(rig.handle);
        QVERIFY(!rig.usb->calls().contains(QStringLiteral("attach 0")));
    }

    void eachOperation_sendsItsRequest_data()
    {
        QTest::addColumn<QString>("op");
        QTest::addColumn<QString>("call");
        QTest::newRow("baud 9600") << "baud 9600" << "control 41 1e 0000 0000 [80 25 00 00]";
        QTest::newRow("baud 3000000") << "baud 3000000" << "control 41 1e 0000 0000 [c0 c6 2d 00]";
        QTest::newRow("line 8E1") << "line 0820" << "control 41 03 0820 0000 []";
        QTest::newRow("line 7O2") << "line 0712" << "control 41 03 0712 0000 []";
        QTest::newRow("flush both") << "flush 1 1" << "control 41 12 000f 0000 []";
        QTest::newRow("flush transmit") << "flush 1 0" << "control 41 12 0005 0000 []";
        QTest::newRow("flush receive") << "flush 0 1" << "control 41 12 000a 0000 []";
        QTest::newRow("RESET low") << "latch 01 00" << "control 40 ff 37e1 0001 []";
        QTest::newRow("RESET high") << "latch 01 01" << "control 40 ff 37e1 0101 []";
        QTest::newRow("BOOT0 high") << "latch 02 02" << "control 40 ff 37e1 0202 []";
        QTest::newRow("levels outside the mask go too") << "latch 03 ff" << "control 40 ff 37e1 ff03 []";
        QTest::newRow("write") << "write" << "bulk-out 02 [7f 00 ff]";
    }
    void eachOperation_sendsItsRequest()
    {
        QFETCH(QString, op);
        QFETCH(QString, call);
        Rig rig;
        QCOMPARE(rig.open(), int(SI_SUCCESS));
        rig.usb->clearCalls();
        const QStringList w = op.split(QLatin1Char(' '));
        int status = -1;
        if (w[0] == QLatin1String("baud")) {
            status = rig.lib->setBaudRate(rig.handle, w[1].toUInt());
            QCOMPARE(rig.usb->baudRate(rig.id), w[1].toUInt());
        } else if (w[0] == QLatin1String("line")) {
            status = rig.lib->setLineControl(rig.handle, quint16(w[1].toUInt(nullptr, 16)));
            QCOMPARE(rig.usb->lineControl(rig.id), quint16(w[1].toUInt(nullptr, 16)));
        } else if (w[0] == QLatin1String("flush")) {
            status = rig.lib->flushBuffers(rig.handle, quint8(w[1].toUInt()), quint8(w[2].toUInt()));
        } else if (w[0] == QLatin1String("latch")) {
            const quint8 mask = quint8(w[1].toUInt(nullptr, 16));
            const quint8 levels = quint8(w[2].toUInt(nullptr, 16));
            status = rig.lib->writeLatch(rig.handle, mask, levels);
            QCOMPARE(rig.usb->latch(rig.id) & mask, levels & mask);
        } else {
            quint32 written = 0;
            status = rig.lib->write(rig.handle, "\x7f\x00\xff", 3, &written);
            QCOMPARE(written, 3u);
        }
        QCOMPARE(status, int(SI_SUCCESS));
        QCOMPARE(rig.usb->calls(), QStringList{call});
    }

    void invalidArguments_neverReachTheBus()
    {
        Rig rig;
        QCOMPARE(rig.open(), int(SI_SUCCESS));
        rig.usb->clearCalls();
        quint32 n = 0;
        char buffer[8];
        QCOMPARE(rig.lib->setBaudRate(rig.handle, 299), int(SI_INVALID_BAUDRATE));
        QCOMPARE(rig.lib->setBaudRate(rig.handle, 3000001), int(SI_INVALID_BAUDRATE));
        QCOMPARE(rig.lib->setLineControl(rig.handle, 0x0900), int(SI_INVALID_PARAMETER));  // 9 data bits
        QCOMPARE(rig.lib->setLineControl(rig.handle, 0x0850), int(SI_INVALID_PARAMETER));  // parity 5
        QCOMPARE(rig.lib->write(rig.handle, "x", 0, &n), int(SI_INVALID_REQUEST_LENGTH));
        QCOMPARE(rig.lib->read(rig.handle, buffer, 0, &n), int(SI_INVALID_REQUEST_LENGTH));
        QCOMPARE(rig.lib->flushBuffers(rig.handle, 0, 0), int(SI_SUCCESS));
        QVERIFY(rig.usb->calls().isEmpty());
        QCOMPARE(rig.lib->write(rig.handle + 1, "x", 1, &n), int(SI_INVALID_HANDLE));
        QCOMPARE(rig.lib->writeLatch(kNoSiHandle, 1, 0), int(SI_INVALID_HANDLE));
    }

    void latch_isDrivenOnlyOnPartsWithTheIndexForm_data()
    {
        QTest::addColumn<int>("part");
        QTest::addColumn<bool>("partAnswers");
        QTest::addColumn<int>("status");
        QTest::newRow("CP2102N QFN28") << 0x20 << true << int(SI_SUCCESS);
        QTest::newRow("CP2102N QFN20") << 0x22 << true << int(SI_SUCCESS);
        QTest::newRow("CP2103") << 0x03 << true << int(SI_SUCCESS);
        QTest::newRow("CP2104") << 0x04 << true << int(SI_SUCCESS);
        QTest::newRow("CP2102: no GPIO") << 0x02 << true << int(SI_FUNCTION_NOT_SUPPORTED);
        QTest::newRow("CP2101: no GPIO") << 0x01 << true << int(SI_FUNCTION_NOT_SUPPORTED);
        QTest::newRow("CP2105: other form") << 0x05 << true << int(SI_FUNCTION_NOT_SUPPORTED);
        QTest::newRow("CP2108: other form") << 0x08 << true << int(SI_FUNCTION_NOT_SUPPORTED);
        QTest::newRow("part number refused: common form") << 0x20 << false << int(SI_SUCCESS);
    }
    void latch_isDrivenOnlyOnPartsWithTheIndexForm()
    {
        QFETCH(int, part);
        QFETCH(bool, partAnswers);
        QFETCH(int, status);
        FakeCp210xTransport::BridgeModel s;
        s.partNumber = uint8_t(part);
        Rig rig(s);
        if (!partAnswers)
            rig.usb->failNext(Kind::Control, UsbResult::Stall, 1, 0xFF, 0x370B);
        QCOMPARE(rig.open(), int(SI_SUCCESS));
        rig.usb->clearCalls();
        QCOMPARE(rig.lib->writeLatch(rig.handle, 0x01, 0x00), status);
        QCOMPARE(rig.usb->calls().size(), status == SI_SUCCESS ? 1 : 0);
    }

    void controlFailures_mapToTheLibraryCodes_data()
    {
        QTest::addColumn<QString>("op");
        QTest::addColumn<UsbResult>("result");
        QTest::addColumn<int>("status");
        const struct { const char *op; UsbResult result; int status; } rows[] = {
            {"baud", UsbResult::Stall, SI_INVALID_BAUDRATE},
            {"baud", UsbResult::Timeout, SI_DEVICE_IO_FAILED},
            {"baud", UsbResult::PipeError, SI_DEVICE_IO_FAILED},
            {"baud", UsbResult::NoDevice, SI_DEVICE_IO_FAILED},
            {"line", UsbResult::Stall, SI_INVALID_PARAMETER},
            {"line", UsbResult::Timeout, SI_DEVICE_IO_FAILED},
            {"line", UsbResult::PipeError, SI_DEVICE_IO_FAILED},
            {"line", UsbResult::NoDevice, SI_DEVICE_IO_FAILED},
            {"flush", UsbResult::Stall, SI_DEVICE_IO_FAILED},
            {"flush", UsbResult::Timeout, SI_DEVICE_IO_FAILED},
            {"flush", UsbResult::PipeError, SI_DEVICE_IO_FAILED},
            {"flush", UsbResult::NoDevice, SI_DEVICE_IO_FAILED},
            {"latch", UsbResult::Stall, SI_FUNCTION_NOT_SUPPORTED},
            {"latch", UsbResult::Timeout, SI_DEVICE_IO_FAILED},
            {"latch", UsbResult::PipeError, SI_DEVICE_IO_FAILED},
            {"latch", UsbResult::NoDevice, SI_DEVICE_IO_FAILED},
            {"write", UsbResult::Timeout, SI_WRITE_TIMED_OUT},
            {"write", UsbResult::Stall, SI_WRITE_ERROR},
            {"write", UsbResult::PipeError, SI_WRITE_ERROR},
            {"write", UsbResult::NoDevice, SI_DEVICE_IO_FAILED},
        };
        for (const auto &r : rows)
            QTest::addRow("%s %s", r.op, pelusb::usbResultName(r.result)) << QString::fromLatin1(r.op) << r.result << r.status;
    }
    void controlFailures_mapToTheLibraryCodes()
    {
        QFETCH(QString, op);
        QFETCH(UsbResult, result);
        QFETCH(int, status);
        Rig rig;
        QCOMPARE(rig.open(), int(SI_SUCCESS));
        rig.usb->failNext(op == QLatin1String("write") ? Kind::BulkOut : Kind::Control, result);
        quint32 written = 99;
        const auto call = [&] {
            if (op == QLatin1String("baud"))
                return rig.lib->setBaudRate(rig.handle, 57600);
            if (op == QLatin1String("line"))
                return rig.lib->setLineControl(rig.handle, 0x0820);
            if (op == QLatin1String("flush"))
                return rig.lib->flushBuffers(rig.handle, 1, 1);
            if (op == QLatin1String("latch"))
                return rig.lib->writeLatch(rig.handle, 0x01, 0x00);
            return rig.lib->write(rig.handle, "abc", 3, &written);
        };
        QCOMPARE(call(), status);
        if (op == QLatin1String("write")) {
            QCOMPARE(written, 0u);
            // A halted OUT endpoint is cleared so the next write can go through.
            QCOMPARE(rig.lastCall() == QLatin1String("clear-halt 02"), result == UsbResult::Stall);
        }
        if (result == UsbResult::NoDevice) {
            // A device that went away fails every later call on its handle, without traffic.
            rig.usb->clearCalls();
            quint32 n = 0, q = 0;
            char b[4];
            QCOMPARE(call(), int(SI_DEVICE_IO_FAILED));
            QCOMPARE(rig.lib->read(rig.handle, b, 4, &n), int(SI_DEVICE_IO_FAILED));
            QCOMPARE(rig.lib->checkRxQueue(rig.handle, &n, &q), int(SI_DEVICE_IO_FAILED));
            QVERIFY(rig.usb->calls().isEmpty());
        } else {
            QCOMPARE(call(), int(SI_SUCCESS));  // one failure, no lasting harm
        }
    }

    void receptionFailures_areReportedOnceAndReceptionRestarts_data()
    {
        QTest::addColumn<UsbResult>("result");
        QTest::addColumn<bool>("viaRead");
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("clearsHalt");
        QTest::newRow("stall, seen by the queue query") << UsbResult::Stall << false << int(SI_DEVICE_IO_FAILED) << true;
        QTest::newRow("stall, seen by a read") << UsbResult::Stall << true << int(SI_READ_ERROR) << true;
        QTest::newRow("pipe error, read") << UsbResult::PipeError << true << int(SI_READ_ERROR) << false;
        QTest::newRow("timeout, read") << UsbResult::Timeout << true << int(SI_READ_TIMED_OUT) << false;
    }
    void receptionFailures_areReportedOnceAndReceptionRestarts()
    {
        QFETCH(UsbResult, result);
        QFETCH(bool, viaRead);
        QFETCH(int, status);
        QFETCH(bool, clearsHalt);
        Rig rig;
        QCOMPARE(rig.open(), int(SI_SUCCESS));
        const uint8_t early[] = {'o', 'k'};
        rig.peer->inject(early, 2);
        rig.usb->deliver();
        rig.usb->clearCalls();
        rig.usb->endReception(rig.id, result);
        quint32 n = 0, q = 0;
        char buffer[16] = {};
        QCOMPARE(viaRead ? rig.lib->read(rig.handle, buffer, 16, &n) : rig.lib->checkRxQueue(rig.handle, &n, &q), status);
        QStringList restart{QStringLiteral("stop-in")};
        if (clearsHalt)
            restart << QStringLiteral("clear-halt 82");
        restart << QStringLiteral("start-in 82 4096");
        QCOMPARE(rig.usb->calls(), restart);
        QVERIFY(rig.usb->receiving(rig.id));
        // Bytes that came before the failure are still there; later ones arrive again.
        const uint8_t late[] = {'!'};
        rig.peer->inject(late, 1);
        rig.usb->deliver();
        QCOMPARE(rig.lib->checkRxQueue(rig.handle, &n, &q), int(SI_SUCCESS));
        QCOMPARE(n, 3u);
        QCOMPARE(q, pelusb::cp210x::kRxReady);
        QCOMPARE(rig.lib->read(rig.handle, buffer, 16, &n), int(SI_SUCCESS));
        QCOMPARE(QByteArray(buffer, int(n)), QByteArray("ok!"));
    }

    void readAndQueue_drainInOrderWithoutWaiting_receivePurgeEmptiesTheHostSideToo()
    {
        Rig rig;
        QCOMPARE(rig.open(), int(SI_SUCCESS));
        quint32 n = 0, q = 0;
        char buffer[8];
        QCOMPARE(rig.lib->read(rig.handle, buffer, 8, &n), int(SI_SUCCESS));
        QCOMPARE(n, 0u);
        QCOMPARE(rig.lib->checkRxQueue(rig.handle, &n, &q), int(SI_SUCCESS));
        QCOMPARE(n, 0u);
        QCOMPARE(q, 0u);
        quint32 written = 0;
        QCOMPARE(rig.lib->write(rig.handle, "0123456789", 10, &written), int(SI_SUCCESS));  // echoed
        QCOMPARE(rig.lib->checkRxQueue(rig.handle, &n, &q), int(SI_SUCCESS));
        QCOMPARE(n, 10u);
        QCOMPARE(rig.lib->read(rig.handle, buffer, 4, &n), int(SI_SUCCESS));
        QCOMPARE(QByteArray(buffer, 4), QByteArray("0123"));
        QCOMPARE(rig.lib->flushBuffers(rig.handle, 0, 1), int(SI_SUCCESS));
        QCOMPARE(rig.lib->checkRxQueue(rig.handle, &n, &q), int(SI_SUCCESS));
        QCOMPARE(n, 0u);
    }

    void openFailures_leaveTheBridgeAsItWas_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<UsbResult>("result");
        QTest::addColumn<QString>("logged");
        QTest::newRow("no permission") << int(Kind::Open) << UsbResult::Access << "60-pelmora-cp210x.rules";
        QTest::newRow("kernel driver will not let go") << int(Kind::Detach) << UsbResult::Busy << "/dev/ttyUSB";
        QTest::newRow("claimed by another program") << int(Kind::Claim) << UsbResult::Busy << "another program";
        QTest::newRow("UART enable times out") << int(Kind::Control) << UsbResult::Timeout << "enable its UART";
        QTest::newRow("reception cannot start") << int(Kind::StartIn) << UsbResult::PipeError << "line settings";
    }
    void openFailures_leaveTheBridgeAsItWas()
    {
        QFETCH(int, kind);
        QFETCH(UsbResult, result);
        QFETCH(QString, logged);
        Rig rig;
        quint32 count = 0;
        QCOMPARE(rig.lib->getNumDevices(&count), int(SI_SUCCESS));
        rig.usb->failNext(Kind(kind), result);
        LogCapture log;
        QCOMPARE(rig.lib->open(0, &rig.handle), int(SI_DEVICE_NOT_FOUND));
        QCOMPARE(log.errors().size(), 1);
        QVERIFY2(log.errors().at(0).contains(logged), qPrintable(log.errors().at(0)));
        QVERIFY(!rig.usb->claimed(rig.id));
        QVERIFY(rig.usb->kernelDriverBound(rig.id));
        QVERIFY(!rig.usb->receiving(rig.id));
        QCOMPARE(rig.lib->open(0, &rig.handle), int(SI_SUCCESS));
    }

    void enumeration_ordersByBusAndPort_filtersIds_readsStringsOnce()
    {
        auto usb = std::make_shared<FakeCp210xTransport>();
        usb->addBridge(model(2, {1}, "C"));
        usb->addBridge(model(1, {3, 1}, "B"));
        usb->addBridge(model(1, {1}, "A"));
        FakeCp210xTransport::BridgeModel mouse = model(1, {2}, "M");
        mouse.vendorId = 0x046D;
        mouse.productId = 0xC52B;
        usb->addBridge(mouse);
        FakeCp210xTransport::BridgeModel xpress = model(1, {3}, "X");
        xpress.productId = 0xEA61;
        xpress.product = "USBXpress Device";
        usb->addBridge(xpress);
        UsbBridgeLibrary lib(usb, defaultUsbIds());
        quint32 count = 0;
        QCOMPARE(lib.getNumDevices(&count), int(SI_SUCCESS));
        QCOMPARE(count, 4u);
        QStringList serials;
        for (quint32 i = 0; i < count; ++i)
            serials << productString(lib, i, SI_RETURN_SERIAL_NUMBER);
        QCOMPARE(serials, (QStringList{"A", "X", "B", "C"}));
        QCOMPARE(productString(lib, 1, SI_RETURN_DESCRIPTION), QStringLiteral("USBXpress Device"));
        QCOMPARE(productString(lib, 4, SI_RETURN_DESCRIPTION), QStringLiteral("?"));
        char buffer[kSiProductStringSize];
        QCOMPARE(lib.getProductString(0, buffer, 7), int(SI_INVALID_PARAMETER));

        usb->clearCalls();
        QCOMPARE(lib.getNumDevices(&count), int(SI_SUCCESS));
        QVERIFY(usb->calls().isEmpty());  // strings are kept while the device stays

        UsbBridgeLibrary onlyMouse(usb, parseUsbIds(QStringLiteral("046d:c52b")));
        QCOMPARE(onlyMouse.getNumDevices(&count), int(SI_SUCCESS));
        QCOMPARE(count, 1u);
        QCOMPARE(productString(onlyMouse, 0, SI_RETURN_SERIAL_NUMBER), QStringLiteral("M"));
    }

    void usbIds_parseHexPairs_badEntriesAreLoggedAndSkipped()
    {
        LogCapture log;
        const std::vector<UsbId> ids = parseUsbIds(QStringLiteral("10c4:ea60, 0x1234:0xABCD,bogus,1:2:3,10c4:ea60,10000:1"));
        QCOMPARE(ids.size(), size_t(2));
        QVERIFY((ids[0] == UsbId{0x10C4, 0xEA60}));
        QVERIFY((ids[1] == UsbId{0x1234, 0xABCD}));
        QCOMPARE(log.errors().size(), 3);
        qputenv("PELMORA_USB_IDS", "dead:beef");
        QCOMPARE(usbIdsFromEnvironment().size(), size_t(1));
        QCOMPARE(usbIdsFromEnvironment()[0].productId, quint16(0xBEEF));
        qputenv("PELMORA_USB_IDS", "nonsense");
        QVERIFY(usbIdsFromEnvironment() == defaultUsbIds());
        qunsetenv("PELMORA_USB_IDS");
        QVERIFY(usbIdsFromEnvironment() == defaultUsbIds());
    }

    void bridgeWithoutPermission_isNotListedAndReportedOncePointingToTheRule()
    {
        auto usb = std::make_shared<FakeCp210xTransport>();
        const int locked = usb->addBridge(model(1, {1}, "L"));
        usb->addBridge(model(1, {2}, "F"));
        usb->setOpenResult(locked, UsbResult::Access);
        UsbBridgeLibrary lib(usb, defaultUsbIds());
        LogCapture log;
        quint32 count = 0;
        QCOMPARE(lib.getNumDevices(&count), int(SI_SUCCESS));
        QCOMPARE(count, 1u);
        QCOMPARE(productString(lib, 0, SI_RETURN_SERIAL_NUMBER), QStringLiteral("F"));
        QCOMPARE(lib.getNumDevices(&count), int(SI_SUCCESS));
        QCOMPARE(log.errors().size(), 1);
        QVERIFY(log.errors().at(0).contains(QStringLiteral("No permission to open the bridge 10c4:ea60 at bus 1 port 1")));
        QVERIFY(log.errors().at(0).contains(QStringLiteral("packaging/udev/60-pelmora-cp210x.rules")));
        usb->setOpenResult(locked, UsbResult::Ok);  // rule installed
        QCOMPARE(lib.getNumDevices(&count), int(SI_SUCCESS));
        QCOMPARE(count, 2u);
    }

    void unplug_failsEveryCallOnTheHandle_bridgeVanishes_replugIsANewDevice_data()
    {
        QTest::addColumn<bool>("hotplug");
        QTest::addColumn<bool>("transfersNotice");
        QTest::newRow("hot-plug notice") << true << false;
        QTest::newRow("polling: found by the next enumeration") << false << false;
        QTest::newRow("found by the IN transfers") << false << true;
    }
    void unplug_failsEveryCallOnTheHandle_bridgeVanishes_replugIsANewDevice()
    {
        QFETCH(bool, hotplug);
        QFETCH(bool, transfersNotice);
        Rig rig({}, hotplug);
        QCOMPARE(rig.lib->hotplugWatched(), hotplug);
        QCOMPARE(rig.open(), int(SI_SUCCESS));
        rig.usb->unplug(rig.id, hotplug || transfersNotice);
        quint32 count = 7;
        if (!hotplug && !transfersNotice)
            QCOMPARE(rig.lib->getNumDevices(&count), int(SI_SUCCESS));
        rig.usb->clearCalls();
        quint32 n = 0, q = 0;
        char b[4];
        QCOMPARE(rig.lib->checkRxQueue(rig.handle, &n, &q), int(SI_DEVICE_IO_FAILED));
        QCOMPARE(rig.lib->read(rig.handle, b, 4, &n), int(SI_DEVICE_IO_FAILED));
        QCOMPARE(rig.lib->write(rig.handle, "x", 1, &n), int(SI_DEVICE_IO_FAILED));
        QCOMPARE(rig.lib->flushBuffers(rig.handle, 1, 1), int(SI_DEVICE_IO_FAILED));
        QCOMPARE(rig.lib->setBaudRate(rig.handle, 115200), int(SI_DEVICE_IO_FAILED));
        QCOMPARE(rig.lib->setLineControl(rig.handle, 0x0800), int(SI_DEVICE_IO_FAILED));
        QCOMPARE(rig.lib->writeLatch(rig.handle, 1, 0), int(SI_DEVICE_IO_FAILED));
        QVERIFY(rig.usb->calls().isEmpty());
        QCOMPARE(rig.lib->getNumDevices(&count), int(SI_SUCCESS));
        QCOMPARE(count, 0u);
        QCOMPARE(rig.lib->open(0, &rig.handle), int(SI_DEVICE_NOT_FOUND));

        rig.usb->plug(rig.id);
        QCOMPARE(rig.lib->getNumDevices(&count), int(SI_SUCCESS));
        QCOMPARE(count, 1u);
        QCOMPARE(rig.lib->writeLatch(rig.handle, 1, 0), int(SI_DEVICE_IO_FAILED));  // old handle stays dead
        QCOMPARE(rig.lib->close(rig.handle), int(SI_SUCCESS));
        SiHandle again = kNoSiHandle;
        QCOMPARE(rig.lib->open(0, &again), int(SI_SUCCESS));
        QCOMPARE(rig.lib->writeLatch(again, 1, 0), int(SI_SUCCESS));
    }

    void openBridge_isBusyForASecondOpen()
    {
        Rig rig;
        QCOMPARE(rig.open(), int(SI_SUCCESS));
        SiHandle second = kNoSiHandle;
        QCOMPARE(rig.lib->open(0, &second), int(SI_DEVICE_NOT_FOUND));
        QCOMPARE(rig.lib->open(0, nullptr), int(SI_INVALID_PARAMETER));
    }

    void writeTimeout_growsWithTheBytesOnTheLine()
    {
        using pelusb::cp210x::writeTimeoutMs;
        // 268 bytes (one bootloader block) at 115200: 25.6 ms on the line.
        QCOMPARE(writeTimeoutMs(268, 115200), 200u + 2 * 26u);
        QCOMPARE(writeTimeoutMs(100, 9600), 200u + 2 * 115u);
        QCOMPARE(writeTimeoutMs(65536, 300), 60000u);
        QCOMPARE(writeTimeoutMs(1, 0), writeTimeoutMs(1, 300));
    }
};

QTEST_GUILESS_MAIN(TestCp210xProtocol)
#include "test_cp210x_protocol.moc"
