#pragma once
// The CP210x's own USB protocol (Silicon Labs AN571): which control requests configure the
// UART and the GPIO latch, in which order a port is brought up and down, and how the data
// moves over the interface's two bulk endpoints. Talks to the bus only through UsbLink, and
// answers with the bridge library's status codes.

#include "cp210x_usb_protocol.h"
#include "usb_transport.h"
#include "usbdevice/si_status.h"

#include <QtGlobal>

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

namespace pelusb {
namespace cp210x {

// The part's requests and values (AN571), shared with the emulated bridge.
using namespace ::cp210x;

// The UART of a single-port part is interface 0.
constexpr int kInterface = 0;
// State of a freshly opened port, before the caller sets its own.
constexpr quint32 kDefaultBaudRate = 115200;
constexpr quint16 kDefaultLineControl = 0x0800;

constexpr unsigned kControlTimeoutMs = 500;
// IN transfers kept queued, and their size: a multiple of the 64-byte packet, so a transfer
// ends on the first short packet and never overflows.
constexpr int kInTransfers = 4;
constexpr size_t kInTransferSize = 4096;
// Bytes held for the reader before further ones are dropped (and the overrun bit is set).
constexpr size_t kReceiveQueueLimit = 1 << 20;

// queueStatus bits of checkRxQueue, as the vendor library gives them.
constexpr quint32 kRxOverrun = 0x01;
constexpr quint32 kRxReady = 0x02;

// How the part drives its GPIO latch.
enum class LatchForm {
    // VENDOR_SPECIFIC/WRITE_LATCH to the device, latch << 8 | mask in wIndex, no data stage:
    // CP2103, CP2104, CP2102N (and parts that do not say what they are).
    IndexWord,
    // CP2101 and CP2102: no GPIO at all.
    None,
    // CP2105 (per-interface request with a 2-byte data stage) and CP2108 (16-bit latch and
    // mask in a 4-byte data stage): not driven by this backend.
    OtherForm,
};
LatchForm latchFormOf(uint8_t partNumber);
const char *partName(uint8_t partNumber);

// Status codes for the transport's answers, by the kind of operation that got them.
int statusForControl(UsbResult result, int refusedStatus);
int statusForWrite(UsbResult result);
int statusForReceive(UsbResult result);

// The time a bulk OUT transfer may take: the bytes' time on the line at the current rate,
// twice over, plus a margin for the bus; the bridge takes the data into its FIFO quicker.
unsigned writeTimeoutMs(size_t length, quint32 baudRate);

} // namespace cp210x

// One opened CP210x UART: brings the port up and down, configures it, sends bytes and keeps
// the bytes that the queued IN transfers bring in until they are read. Safe to use from
// several threads; reception runs on the transport's event thread.
class Cp210xPort {
public:
    // location names the bridge in log lines ("bus 1 port 2.4").
    Cp210xPort(std::unique_ptr<UsbLink> link, std::string location);
    ~Cp210xPort();

    // Finds the bulk endpoints, detaches the kernel's driver if bound, claims the interface,
    // enables the UART (IFC_ENABLE), asks the part number, sets 115200 baud and 8N1, purges
    // both queues and starts reception. Anything short of that is undone and reported as
    // SI_DEVICE_NOT_FOUND: the bridge cannot be used.
    int start();
    // Stops reception, disables the UART, releases the interface and gives it back to the
    // kernel's driver if one was detached. Idempotent.
    void stop();

    int setBaudRate(quint32 baudRate);
    int setLineControl(quint16 lineControl);
    int purge(bool transmit, bool receive);
    int writeLatch(quint8 mask, quint8 latch);
    int write(const void *data, quint32 length, quint32 *written);
    int read(void *buffer, quint32 length, quint32 *got);
    int checkRxQueue(quint32 *queued, quint32 *queueStatus);

    // The device left (hot-plug notice, a failed transfer or an enumeration without it).
    void markGone() { m_Gone.store(true, std::memory_order_release); }
    bool gone() const { return m_Gone.load(std::memory_order_acquire); }
    uint8_t partNumber() const { return m_PartNumber; }
    bool kernelDriverDetached() const { return m_DetachedKernelDriver; }

private:
    int control(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                uint8_t *data, uint16_t length, int refusedStatus);
    // A transport answer that says the device is gone marks the port so.
    void note(UsbResult result);
    void onReceived(const uint8_t *data, size_t length, UsbResult result);
    int startReception();
    // Restarts reception that a stall or a broken transfer ended; returns the status the
    // reader gets for the loss.
    int recoverReception();
    void undoStart();

    std::unique_ptr<UsbLink> m_Link;
    std::string m_Location;
    std::atomic<bool> m_Gone{false};
    std::mutex m_LinkMutex;  // one request on the bus at a time, in the callers' order
    uint8_t m_InEndpoint = 0;
    uint8_t m_OutEndpoint = 0;
    uint8_t m_PartNumber = cp210x::kPartUnknown;
    bool m_Claimed = false;
    bool m_DetachedKernelDriver = false;
    bool m_Started = false;
    std::atomic<quint32> m_BaudRate{cp210x::kDefaultBaudRate};

    // Filled on the event thread, drained by the reader.
    std::mutex m_RxMutex;
    std::deque<uint8_t> m_Rx;
    bool m_RxOverrun = false;
    bool m_RxStopped = false;           // reception ended by a failure
    UsbResult m_RxFailure = UsbResult::Ok;
};

} // namespace pelusb
