#pragma once
// The thin layer under the CP210x protocol: what the protocol needs of a USB stack and nothing
// more. One implementation talks to libusb (libusb_transport.h); tests put fakes in its place,
// so every byte the protocol puts on the bus can be checked without a bridge attached.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace pelusb {

// Everything a transfer or a device operation can come back with. The protocol maps these to
// the bridge library's status codes; the transport maps its own stack's errors to these.
enum class UsbResult {
    Ok,
    Timeout,       // the transfer did not complete in the time given
    Stall,         // the device answered STALL: request refused or endpoint halted
    NoDevice,      // the device is gone (unplugged)
    PipeError,     // the transfer broke on the bus (I/O error, babble, overflow)
    Access,        // no permission to open the device node
    Busy,          // interface claimed by someone else, or the kernel driver could not be detached
    NotSupported,  // the platform cannot do this (kernel driver handling on some systems)
    NotFound,      // no such device, interface or endpoint
    Cancelled,     // an asynchronous transfer was cancelled by the host
    Other,
};

const char *usbResultName(UsbResult result);

// One device seen by an enumeration.
struct UsbDeviceRecord {
    uint8_t bus = 0;
    // Port numbers from the root hub down; with the bus this names the socket the device is in.
    std::vector<uint8_t> ports;
    // Assigned anew at every plug-in, so (bus, ports, address) tells a replugged device apart
    // from the one that was in the same socket before.
    uint8_t address = 0;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    // String descriptor indices from the device descriptor (0: the device has no such string).
    uint8_t productStringIndex = 0;
    uint8_t serialStringIndex = 0;
};

// The identity of a device for as long as it stays plugged in.
std::string deviceKey(const UsbDeviceRecord &record);
// "bus 1 port 2.4" for log lines.
std::string deviceLocation(const UsbDeviceRecord &record);
// Orders records by (bus, port path): the same sockets give the same order every time.
bool locationLess(const UsbDeviceRecord &a, const UsbDeviceRecord &b);

struct ControlSetup {
    uint8_t requestType = 0;
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
};

struct UsbEndpoint {
    uint8_t address = 0;     // bit 7 set: IN
    uint8_t attributes = 0;  // bits 0-1: transfer type, 2 = bulk
    uint16_t maxPacketSize = 0;
};

// Receives what the queued IN transfers bring: data with UsbResult::Ok, or the failure that
// ended the reception (after which no more calls come until reception is started again).
// Called on the transport's event thread.
using BulkInSink = std::function<void(const uint8_t *data, size_t length, UsbResult result)>;

// One opened device.
class UsbLink {
public:
    virtual ~UsbLink();

    // ASCII text of a string descriptor (the device's first language).
    virtual UsbResult stringDescriptor(uint8_t index, std::string *text) = 0;
    // Endpoints of the interface's first alternate setting, as its descriptor lists them.
    virtual UsbResult interfaceEndpoints(int interfaceNumber, std::vector<UsbEndpoint> *out) = 0;

    virtual UsbResult kernelDriverActive(int interfaceNumber, bool *active) = 0;
    virtual UsbResult detachKernelDriver(int interfaceNumber) = 0;
    virtual UsbResult attachKernelDriver(int interfaceNumber) = 0;
    virtual UsbResult claimInterface(int interfaceNumber) = 0;
    virtual UsbResult releaseInterface(int interfaceNumber) = 0;

    // Control transfer on endpoint 0; the direction follows bit 7 of the request type. data
    // holds length bytes to send, or room for length bytes to receive; *transferred gets
    // the number of bytes moved in the data stage.
    virtual UsbResult control(const ControlSetup &setup, uint8_t *data, uint16_t length,
                              unsigned timeoutMs, size_t *transferred) = 0;
    virtual UsbResult bulkOut(uint8_t endpoint, const uint8_t *data, size_t length,
                              unsigned timeoutMs, size_t *transferred) = 0;
    // Clears a halted endpoint after a stall.
    virtual UsbResult clearHalt(uint8_t endpoint) = 0;

    // Keeps IN transfers queued on endpoint, each of transferSize bytes, and hands their data
    // to sink as they complete, until stopBulkIn or a failure.
    virtual UsbResult startBulkIn(uint8_t endpoint, size_t transferSize, BulkInSink sink) = 0;
    // Cancels the queued IN transfers; once it returns the sink is not called any more.
    virtual void stopBulkIn() = 0;
};

class UsbTransport {
public:
    virtual ~UsbTransport();

    // False when the USB stack could not be started (no USB on this machine, say).
    virtual bool available() const = 0;
    // Every USB device on the machine; the caller picks the bridges.
    virtual UsbResult enumerate(std::vector<UsbDeviceRecord> *out) = 0;
    virtual UsbResult open(const UsbDeviceRecord &record, std::unique_ptr<UsbLink> *link) = 0;

    // Calls departed(key) from the event thread whenever a device leaves. Returns false when
    // the platform has no hot-plug notification: the caller then finds departures by polling
    // its enumerations and by the transfers that fail with NoDevice.
    virtual bool watchDepartures(std::function<void(const std::string &key)> departed) = 0;
};

} // namespace pelusb
