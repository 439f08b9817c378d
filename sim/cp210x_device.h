#pragma once
// A CP210x USB-to-UART bridge as the USB host sees it: its descriptors, the vendor control
// requests of AN571 with the part's refusals (STALL), bulk OUT into the UART and bulk IN out
// of it, and the GPIO latch. Behind the UART and the latch sits a SerialPeer, normally the
// simulated Orbalo board, which gets every byte with the line-control word it was framed by.
// Pure C++: what carries the transfers (the usbdevfs emulation on Linux) is not its business.
// Safe to call from any thread; the calls are serialised inside.

#include "serial_peer.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace pelsim {

// A control transfer's setup packet.
struct UsbSetup {
    uint8_t requestType = 0;
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;
};

class Cp210xDevice {
public:
    struct Identity {
        uint16_t vendorId = 0x10C4;
        uint16_t productId = 0xEA60;
        std::string manufacturer = "Silicon Labs";
        std::string product = "Orbalo Mini";
        std::string serialNumber = "0001";  // empty: the device has no serial-number string
        uint8_t partNumber = 0x20;          // CP2102N
        uint8_t inEndpoint = 0x82;
        uint8_t outEndpoint = 0x02;
    };

    // What the host has set, for checks.
    struct State {
        bool uartEnabled = false;
        uint32_t baudRate = 0;
        uint16_t lineControl = 0;
        uint8_t latch = 0xFF;
        // Every SET_LINE_CTL the part took, in order.
        std::vector<uint16_t> lineControlHistory;
        int receivePurges = 0;
        int transmitPurges = 0;
        int stringRequests = 0;
        // Bytes of bulk OUT transfers that arrived while the UART was disabled: lost.
        uint64_t droppedOutBytes = 0;
    };

    Cp210xDevice(Identity identity, std::shared_ptr<SerialPeer> peer);

    const Identity &identity() const { return m_Identity; }
    const std::shared_ptr<SerialPeer> &peer() const { return m_Peer; }

    // The device descriptor followed by the one configuration (interface 0, vendor class,
    // one bulk IN and one bulk OUT endpoint of 64 bytes), as sysfs shows them.
    std::vector<uint8_t> descriptors() const;

    // Carries out a control transfer. data holds setup.length bytes from the host, or has room
    // for them towards the host; *transferred gets the length of the data stage. False means
    // the part answers STALL.
    bool control(const UsbSetup &setup, uint8_t *data, size_t *transferred);

    // Bytes of a bulk OUT transfer: into the UART, framed by the current line control.
    void bulkOut(const uint8_t *data, size_t length);
    // What the UART has received, for a bulk IN transfer of at most maxLength bytes.
    size_t bulkIn(uint8_t *out, size_t maxLength);
    // Received bytes waiting for a bulk IN transfer.
    size_t inputWaiting();

    State state() const;

    // The part powers up with its UART disabled and its latch high when it is plugged in.
    void powerUp();

private:
    bool standardRequest(const UsbSetup &setup, uint8_t *data, size_t *transferred);
    bool interfaceRequest(const UsbSetup &setup, uint8_t *data, size_t *transferred);
    bool deviceRequest(const UsbSetup &setup, uint8_t *data, size_t *transferred);
    std::vector<uint8_t> stringDescriptor(uint8_t index) const;
    bool hasIndexWordLatch() const;

    const Identity m_Identity;
    const std::shared_ptr<SerialPeer> m_Peer;
    mutable std::mutex m_Mutex;
    State m_State;
};

} // namespace pelsim
