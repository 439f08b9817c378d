#include "cp210x_protocol.h"

#include "app/log.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace pelusb {
namespace cp210x {

LatchForm latchFormOf(uint8_t partNumber)
{
    switch (partNumber) {
    case kPartCp2101:
    case kPartCp2102:
        return LatchForm::None;
    case kPartCp2105:
    case kPartCp2108:
        return LatchForm::OtherForm;
    default:
        return LatchForm::IndexWord;
    }
}

const char *partName(uint8_t partNumber)
{
    switch (partNumber) {
    case kPartCp2101: return "CP2101";
    case kPartCp2102: return "CP2102";
    case kPartCp2103: return "CP2103";
    case kPartCp2104: return "CP2104";
    case kPartCp2105: return "CP2105";
    case kPartCp2108: return "CP2108";
    case kPartCp2102nQfn28:
    case kPartCp2102nQfn24:
    case kPartCp2102nQfn20: return "CP2102N";
    default: return "CP210x";
    }
}

int statusForControl(UsbResult result, int refusedStatus)
{
    switch (result) {
    case UsbResult::Ok:
        return SI_SUCCESS;
    case UsbResult::Stall:
        // The part refuses a request it cannot carry out with STALL: the caller knows what
        // that means for its request.
        return refusedStatus;
    default:
        return SI_DEVICE_IO_FAILED;
    }
}

int statusForWrite(UsbResult result)
{
    switch (result) {
    case UsbResult::Ok:
        return SI_SUCCESS;
    case UsbResult::Timeout:
        return SI_WRITE_TIMED_OUT;
    case UsbResult::NoDevice:
        return SI_DEVICE_IO_FAILED;
    default:
        return SI_WRITE_ERROR;
    }
}

int statusForReceive(UsbResult result)
{
    switch (result) {
    case UsbResult::Ok:
        return SI_SUCCESS;
    case UsbResult::Timeout:
        return SI_READ_TIMED_OUT;
    case UsbResult::NoDevice:
        return SI_DEVICE_IO_FAILED;
    default:
        return SI_READ_ERROR;
    }
}

unsigned writeTimeoutMs(size_t length, quint32 baudRate)
{
    const quint64 rate = std::max<quint32>(baudRate, kMinBaudRate);
    // 11 bits a byte covers the longest frame used (8 data bits, parity, one stop bit).
    const quint64 lineMs = (quint64(length) * 11 * 1000 + rate - 1) / rate;
    return unsigned(std::min<quint64>(200 + 2 * lineMs, 60000));
}

} // namespace cp210x

using namespace cp210x;

Cp210xPort::Cp210xPort(std::unique_ptr<UsbLink> link, std::string location)
    : m_Link(std::move(link)), m_Location(std::move(location))
{
}

Cp210xPort::~Cp210xPort()
{
    stop();
}

void Cp210xPort::note(UsbResult result)
{
    if (result == UsbResult::NoDevice)
        markGone();
}

int Cp210xPort::control(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                        uint8_t *data, uint16_t length, int refusedStatus)
{
    if (gone())
        return SI_DEVICE_IO_FAILED;
    const ControlSetup setup{requestType, request, value, index};
    size_t moved = 0;
    UsbResult result = m_Link->control(setup, data, length, kControlTimeoutMs, &moved);
    // A short data stage means the part did not take or give the whole request.
    if (result == UsbResult::Ok && moved != length)
        result = UsbResult::PipeError;
    note(result);
    return statusForControl(result, refusedStatus);
}

int Cp210xPort::start()
{
    std::lock_guard<std::mutex> lock(m_LinkMutex);
    if (m_Started)
        return SI_SUCCESS;
    const char *origin = "Cp210xPort::start";

    // The endpoints differ between parts (CP2102N: 0x82/0x02, older parts 0x81/0x01), so
    // they come from the interface descriptor.
    std::vector<UsbEndpoint> endpoints;
    UsbResult result = m_Link->interfaceEndpoints(kInterface, &endpoints);
    if (result != UsbResult::Ok) {
        logError(origin, "Cannot read the interface of the bridge at %s (%s)", m_Location.c_str(),
                 usbResultName(result));
        return SI_DEVICE_NOT_FOUND;
    }
    for (const UsbEndpoint &ep : endpoints) {
        if ((ep.attributes & 0x03) != 0x02)
            continue;
        if ((ep.address & 0x80) && !m_InEndpoint)
            m_InEndpoint = ep.address;
        else if (!(ep.address & 0x80) && !m_OutEndpoint)
            m_OutEndpoint = ep.address;
    }
    if (!m_InEndpoint || !m_OutEndpoint) {
        logError(origin, "The bridge at %s has no pair of bulk endpoints", m_Location.c_str());
        return SI_DEVICE_NOT_FOUND;
    }

    bool active = false;
    result = m_Link->kernelDriverActive(kInterface, &active);
    if (result == UsbResult::Ok && active) {
        result = m_Link->detachKernelDriver(kInterface);
        if (result != UsbResult::Ok) {
            logError(origin, "Cannot detach the kernel's serial driver from the bridge at %s (%s); "
                             "close programs that use its /dev/ttyUSB port",
                     m_Location.c_str(), usbResultName(result));
            return SI_DEVICE_NOT_FOUND;
        }
        m_DetachedKernelDriver = true;
    }
    result = m_Link->claimInterface(kInterface);
    if (result != UsbResult::Ok) {
        logError(origin, "Cannot claim the bridge at %s (%s)%s", m_Location.c_str(), usbResultName(result),
                 result == UsbResult::Busy ? ": another program holds it" : "");
        undoStart();
        return SI_DEVICE_NOT_FOUND;
    }
    m_Claimed = true;

    // The UART must be enabled before it accepts any other request.
    if (control(kToInterface, kIfcEnable, kUartEnable, kInterface, nullptr, 0, SI_DEVICE_IO_FAILED) != SI_SUCCESS) {
        logError(origin, "The bridge at %s refused to enable its UART", m_Location.c_str());
        undoStart();
        return SI_DEVICE_NOT_FOUND;
    }
    // Parts that do not answer are taken to have the common latch request.
    uint8_t part = kPartUnknown;
    if (control(kFromDevice, kVendorSpecific, kGetPartNumber, 0, &part, 1, SI_FUNCTION_NOT_SUPPORTED) == SI_SUCCESS)
        m_PartNumber = part;
    if (gone()) {
        undoStart();
        return SI_DEVICE_NOT_FOUND;
    }

    uint8_t rate[4];
    for (int i = 0; i < 4; ++i)
        rate[i] = uint8_t(kDefaultBaudRate >> (8 * i));
    const bool configured =
        control(kToInterface, kSetBaudRate, 0, kInterface, rate, 4, SI_INVALID_BAUDRATE) == SI_SUCCESS &&
        control(kToInterface, kSetLineCtl, kDefaultLineControl, kInterface, nullptr, 0, SI_INVALID_PARAMETER) ==
            SI_SUCCESS &&
        control(kToInterface, kPurge, kPurgeTransmit | kPurgeReceive, kInterface, nullptr, 0, SI_DEVICE_IO_FAILED) ==
            SI_SUCCESS;
    if (!configured || startReception() != SI_SUCCESS) {
        logError(origin, "The bridge at %s did not take its line settings", m_Location.c_str());
        undoStart();
        return SI_DEVICE_NOT_FOUND;
    }
    m_Started = true;
    return SI_SUCCESS;
}

void Cp210xPort::undoStart()
{
    m_Link->stopBulkIn();
    if (!gone() && m_Claimed) {
        size_t moved = 0;
        m_Link->control({kToInterface, kIfcEnable, kUartDisable, uint16_t(kInterface)}, nullptr, 0,
                        kControlTimeoutMs, &moved);
        m_Link->releaseInterface(kInterface);
    }
    m_Claimed = false;
    if (!gone() && m_DetachedKernelDriver)
        m_Link->attachKernelDriver(kInterface);
    m_DetachedKernelDriver = false;
}

void Cp210xPort::stop()
{
    std::lock_guard<std::mutex> lock(m_LinkMutex);
    if (!m_Started)
        return;
    m_Started = false;
    undoStart();
}

int Cp210xPort::startReception()
{
    {
        std::lock_guard<std::mutex> rx(m_RxMutex);
        m_RxStopped = false;
        m_RxFailure = UsbResult::Ok;
    }
    const UsbResult result = m_Link->startBulkIn(
        m_InEndpoint, kInTransferSize,
        [this](const uint8_t *data, size_t length, UsbResult r) { onReceived(data, length, r); });
    note(result);
    return statusForReceive(result);
}

void Cp210xPort::onReceived(const uint8_t *data, size_t length, UsbResult result)
{
    std::lock_guard<std::mutex> rx(m_RxMutex);
    if (result == UsbResult::Ok) {
        const size_t room = kReceiveQueueLimit - std::min(kReceiveQueueLimit, m_Rx.size());
        if (length > room)
            m_RxOverrun = true;
        m_Rx.insert(m_Rx.end(), data, data + std::min(length, room));
        return;
    }
    if (result == UsbResult::Cancelled)
        return;
    if (result == UsbResult::NoDevice)
        markGone();
    if (!m_RxStopped) {
        m_RxStopped = true;
        m_RxFailure = result;
    }
}

int Cp210xPort::recoverReception()
{
    UsbResult failure = UsbResult::Ok;
    {
        std::lock_guard<std::mutex> rx(m_RxMutex);
        if (!m_RxStopped)
            return SI_SUCCESS;
        failure = m_RxFailure;
    }
    std::lock_guard<std::mutex> lock(m_LinkMutex);
    if (gone() || !m_Started)
        return SI_DEVICE_IO_FAILED;
    m_Link->stopBulkIn();
    // A halted endpoint answers every further IN with STALL until the host clears it.
    if (failure == UsbResult::Stall)
        note(m_Link->clearHalt(m_InEndpoint));
    if (!gone())
        startReception();
    return statusForReceive(failure);
}

int Cp210xPort::setBaudRate(quint32 baudRate)
{
    if (gone())
        return SI_DEVICE_IO_FAILED;
    if (baudRate < kMinBaudRate || baudRate > kMaxBaudRate)
        return SI_INVALID_BAUDRATE;
    uint8_t data[4];
    for (int i = 0; i < 4; ++i)
        data[i] = uint8_t(baudRate >> (8 * i));
    std::lock_guard<std::mutex> lock(m_LinkMutex);
    const int status = control(kToInterface, kSetBaudRate, 0, kInterface, data, 4, SI_INVALID_BAUDRATE);
    if (status == SI_SUCCESS)
        m_BaudRate.store(baudRate, std::memory_order_relaxed);
    return status;
}

int Cp210xPort::setLineControl(quint16 lineControl)
{
    if (gone())
        return SI_DEVICE_IO_FAILED;
    if (!lineControlValid(lineControl))
        return SI_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(m_LinkMutex);
    return control(kToInterface, kSetLineCtl, lineControl, kInterface, nullptr, 0, SI_INVALID_PARAMETER);
}

int Cp210xPort::purge(bool transmit, bool receive)
{
    if (gone())
        return SI_DEVICE_IO_FAILED;
    const uint16_t bits = uint16_t((transmit ? kPurgeTransmit : 0) | (receive ? kPurgeReceive : 0));
    if (!bits)
        return SI_SUCCESS;
    int status = SI_SUCCESS;
    {
        std::lock_guard<std::mutex> lock(m_LinkMutex);
        status = control(kToInterface, kPurge, bits, kInterface, nullptr, 0, SI_DEVICE_IO_FAILED);
    }
    // What the IN transfers already brought in belongs to the receive queue as well.
    if (status == SI_SUCCESS && receive) {
        std::lock_guard<std::mutex> rx(m_RxMutex);
        m_Rx.clear();
        m_RxOverrun = false;
    }
    return status;
}

int Cp210xPort::writeLatch(quint8 mask, quint8 latch)
{
    if (gone())
        return SI_DEVICE_IO_FAILED;
    if (latchFormOf(m_PartNumber) != LatchForm::IndexWord)
        return SI_FUNCTION_NOT_SUPPORTED;
    std::lock_guard<std::mutex> lock(m_LinkMutex);
    return control(kToDevice, kVendorSpecific, kWriteLatch, uint16_t(latch << 8 | mask), nullptr, 0,
                   SI_FUNCTION_NOT_SUPPORTED);
}

int Cp210xPort::write(const void *data, quint32 length, quint32 *written)
{
    if (written)
        *written = 0;
    if (gone())
        return SI_DEVICE_IO_FAILED;
    if (!data || length == 0 || length > 0x10000)
        return SI_INVALID_REQUEST_LENGTH;
    std::lock_guard<std::mutex> lock(m_LinkMutex);
    size_t moved = 0;
    const UsbResult result =
        m_Link->bulkOut(m_OutEndpoint, static_cast<const uint8_t *>(data), length,
                        writeTimeoutMs(length, m_BaudRate.load(std::memory_order_relaxed)), &moved);
    note(result);
    if (result == UsbResult::Stall)
        note(m_Link->clearHalt(m_OutEndpoint));
    if (written)
        *written = quint32(moved);
    return statusForWrite(result);
}

int Cp210xPort::read(void *buffer, quint32 length, quint32 *got)
{
    if (got)
        *got = 0;
    if (gone())
        return SI_DEVICE_IO_FAILED;
    if (!buffer || !got)
        return SI_INVALID_PARAMETER;
    if (length == 0 || length > 0x10000)
        return SI_INVALID_REQUEST_LENGTH;
    const int lost = recoverReception();
    if (lost != SI_SUCCESS)
        return lost;
    std::lock_guard<std::mutex> rx(m_RxMutex);
    const size_t n = std::min<size_t>(length, m_Rx.size());
    std::copy_n(m_Rx.begin(), n, static_cast<uint8_t *>(buffer));
    m_Rx.erase(m_Rx.begin(), m_Rx.begin() + std::ptrdiff_t(n));
    *got = quint32(n);
    return SI_SUCCESS;
}

int Cp210xPort::checkRxQueue(quint32 *queued, quint32 *queueStatus)
{
    quint32 count = 0;
    quint32 flags = 0;
    {
        std::lock_guard<std::mutex> rx(m_RxMutex);
        count = quint32(m_Rx.size());
        flags = (count ? kRxReady : 0) | (m_RxOverrun ? kRxOverrun : 0);
    }
    if (queued)
        *queued = gone() ? 0 : count;
    if (queueStatus)
        *queueStatus = gone() ? 0 : flags;
    if (gone())
        return SI_DEVICE_IO_FAILED;
    if (!queued || !queueStatus)
        return SI_INVALID_PARAMETER;
    // The worker reads only when bytes wait, so a reception that broke off is reported (once)
    // and restarted here, where it is seen even with an empty queue.
    const int lost = recoverReception();
    return lost == SI_SUCCESS ? SI_SUCCESS : SI_DEVICE_IO_FAILED;
}

} // namespace pelusb
