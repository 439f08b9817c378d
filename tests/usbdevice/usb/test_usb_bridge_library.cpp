// What the emulated bridges cannot show: a bridge the user has no permission to open (the tests
// run as root, who may open anything), and the PELMORA_USB_IDS list.
#include "support/log_capture.h"
#include "usbdevice/usb/usb_bridge_library.h"

#include <QtTest>

namespace {

// One bridge on the bus, whose node refuses to open.
class LockedTransport : public pelusb::UsbTransport {
public:
    bool available() const override { return true; }
    pelusb::UsbResult enumerate(std::vector<pelusb::UsbDeviceRecord> *out) override
    {
        pelusb::UsbDeviceRecord r;
        r.bus = 1;
        r.ports = {1};
        r.address = 2;
        r.vendorId = 0x10C4;
        r.productId = 0xEA60;
        *out = {r};
        return pelusb::UsbResult::Ok;
    }
    pelusb::UsbResult open(const pelusb::UsbDeviceRecord &, std::unique_ptr<pelusb::UsbLink> *) override
    {
        return pelusb::UsbResult::Access;
    }
    bool watchDepartures(std::function<void(const std::string &)>) override { return false; }
};

} // namespace

class TestUsbBridgeLibrary : public QObject {
    Q_OBJECT
private slots:
    void bridgeWithoutPermission_isLeftOutAndReportedOncePointingToTheRule()
    {
        auto usb = std::make_shared<LockedTransport>();
        UsbBridgeLibrary lib(usb, defaultUsbIds());
        LogCapture log;
        quint32 count = 9;
        QCOMPARE(lib.getNumDevices(&count), int(SI_SUCCESS));
        QCOMPARE(count, 0u);
        QCOMPARE(lib.getNumDevices(&count), int(SI_SUCCESS));
        QCOMPARE(log.errors().size(), 1);
        QVERIFY(log.errors().at(0).contains(QStringLiteral("No permission to open the bridge 10c4:ea60 at bus 1 port 1")));
        QVERIFY(log.errors().at(0).contains(QStringLiteral("packaging/udev/60-pelmora-cp210x.rules")));
        SiHandle handle = kNoSiHandle;
        QCOMPARE(lib.open(0, &handle), int(SI_DEVICE_NOT_FOUND));
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
};

QTEST_GUILESS_MAIN(TestUsbBridgeLibrary)
#include "test_usb_bridge_library.moc"
