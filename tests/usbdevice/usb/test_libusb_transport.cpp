// The libusb transport on this machine as it is (normally without any bridge): the event
// thread starts and stops, hot-plug registration and enumeration work or fail cleanly, and
// the application's USB backend counts without error. Catches hangs and leaks at shutdown.
#include "usbdevice/usb/libusb_transport.h"
#include "usbdevice/usb/usb_bridge_library.h"

#include <QtTest>

class TestLibusbTransport : public QObject {
    Q_OBJECT
private slots:
    void transport_startsEnumeratesAndStopsRepeatedly()
    {
        for (int round = 0; round < 3; ++round) {
            auto transport = std::make_shared<pelusb::LibusbTransport>();
            std::vector<pelusb::UsbDeviceRecord> records;
            const pelusb::UsbResult result = transport->enumerate(&records);
            if (!transport->available()) {
                QCOMPARE(result, pelusb::UsbResult::NotSupported);
                QVERIFY(records.empty());
                continue;
            }
            QCOMPARE(result, pelusb::UsbResult::Ok);
            UsbBridgeLibrary library(transport, defaultUsbIds());
            quint32 count = 99;
            QCOMPARE(library.getNumDevices(&count), int(SI_SUCCESS));
            QVERIFY(count <= records.size());
        }
    }

    void applicationBackend_countsWithoutError()
    {
        auto library = createUsbBridgeLibrary();
        quint32 count = 99;
        QCOMPARE(library->getNumDevices(&count), int(SI_SUCCESS));
        SiHandle handle = kNoSiHandle;
        QCOMPARE(library->open(count, &handle), int(SI_DEVICE_NOT_FOUND));
        QCOMPARE(library->close(0x12345), int(SI_INVALID_HANDLE));
    }
};

QTEST_GUILESS_MAIN(TestLibusbTransport)
#include "test_libusb_transport.moc"
