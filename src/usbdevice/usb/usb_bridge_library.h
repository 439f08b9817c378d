#pragma once
// Real CP210x bridges: the bridge library's operations over the CP210x protocol
// (cp210x_protocol.h) on a USB transport (usb_transport.h), libusb in the application.
// Built without libusb, createUsbBridgeLibrary gives a stand-in that lists no bridges.

#include "usb_transport.h"
#include "usbdevice/bridge_library.h"

#include <QString>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace pelusb {
class Cp210xPort;
}

struct UsbId {
    quint16 vendorId;
    quint16 productId;
    bool operator==(const UsbId &other) const
    {
        return vendorId == other.vendorId && productId == other.productId;
    }
};

// The bridges looked for: Silicon Labs 10c4:ea60 (UART bridge) and 10c4:ea61 (USBXpress).
std::vector<UsbId> defaultUsbIds();
// "vid:pid,vid:pid" in hex (with or without 0x); entries that do not parse are logged and
// skipped. Empty result when nothing parses.
std::vector<UsbId> parseUsbIds(const QString &text);
// PELMORA_USB_IDS when set and usable, else the defaults.
std::vector<UsbId> usbIdsFromEnvironment();

class UsbBridgeLibrary : public BridgeLibrary {
public:
    UsbBridgeLibrary(std::shared_ptr<pelusb::UsbTransport> transport, std::vector<UsbId> ids);
    ~UsbBridgeLibrary() override;

    // Device numbers follow (bus, port path), so a number names the same socket from one
    // enumeration to the next. Bridges that cannot be opened for lack of permission are not
    // counted; each is reported once by an error line that points to the udev rule.
    int getNumDevices(quint32 *numDevices) override;
    int getProductString(quint32 deviceNum, char *buffer, quint32 selector) override;
    int open(quint32 deviceNum, SiHandle *handle) override;
    int close(SiHandle handle) override;
    int read(SiHandle handle, void *buffer, quint32 bytesToRead, quint32 *bytesReturned) override;
    int write(SiHandle handle, const void *buffer, quint32 bytesToWrite,
              quint32 *bytesWritten) override;
    int flushBuffers(SiHandle handle, quint8 flushTransmit, quint8 flushReceive) override;
    int checkRxQueue(SiHandle handle, quint32 *numBytesInQueue, quint32 *queueStatus) override;
    int setBaudRate(SiHandle handle, quint32 baudRate) override;
    int setLineControl(SiHandle handle, quint16 lineControl) override;
    int writeLatch(SiHandle handle, quint8 mask, quint8 latch) override;
    QString backendName(quint32 deviceNum) override;
    // A bridge whose kernel serial driver is bound is free; one without it is held when its
    // interface cannot be claimed (tried and given back at once).
    QString holder(quint32 deviceNum) override;

    // For tests and diagnostics: whether departures come from hot-plug notices.
    bool hotplugWatched() const { return m_Hotplug; }

private:
    struct Listed {
        pelusb::UsbDeviceRecord record;
        std::string key;
        std::string description;
        std::string serialNumber;
    };
    struct Strings {
        std::string description;
        std::string serialNumber;
    };
    struct Open {
        std::string key;
        std::shared_ptr<pelusb::Cp210xPort> port;
    };

    bool wanted(const pelusb::UsbDeviceRecord &record) const;
    // Reads the two strings of a bridge not seen before; false when it cannot be opened now.
    bool readStrings(const pelusb::UsbDeviceRecord &record, const std::string &key, Strings *out);
    // A port is handed out by value so a close on another thread cannot pull it away mid-call.
    std::shared_ptr<pelusb::Cp210xPort> portFor(SiHandle handle, int *status);
    void departed(const std::string &key);
    void reportNoAccess(const pelusb::UsbDeviceRecord &record, const std::string &key,
                        const char *origin);

    std::shared_ptr<pelusb::UsbTransport> m_Transport;
    std::vector<UsbId> m_Ids;
    bool m_Hotplug = false;

    // The listing; held across the enumeration's USB requests.
    std::mutex m_Mutex;
    std::vector<Listed> m_Listed;
    std::map<std::string, Strings> m_StringCache;
    std::set<std::string> m_NoAccessReported;
    bool m_UnavailableReported = false;
    // The open bridges; never held across USB requests, because hot-plug notices take it on
    // the transport's event thread, which those requests may be waiting for.
    std::mutex m_OpenMutex;
    std::map<SiHandle, Open> m_Open;
    SiHandle m_NextHandle = 0x100;
};

std::shared_ptr<BridgeLibrary> createUsbBridgeLibrary();
