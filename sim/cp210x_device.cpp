#include "cp210x_device.h"

#include "cp210x_usb_protocol.h"

#include <algorithm>
#include <cstring>

namespace pelsim {

namespace {

// Standard requests and descriptor types of USB 2.0, chapter 9.
constexpr uint8_t kStandardIn = 0x80;
constexpr uint8_t kStandardOut = 0x00;
constexpr uint8_t kStandardToEndpoint = 0x02;
constexpr uint8_t kGetStatus = 0x00;
constexpr uint8_t kClearFeature = 0x01;
constexpr uint8_t kGetDescriptor = 0x06;
constexpr uint8_t kSetConfiguration = 0x09;
constexpr uint8_t kDescriptorDevice = 0x01;
constexpr uint8_t kDescriptorConfiguration = 0x02;
constexpr uint8_t kDescriptorString = 0x03;
constexpr uint16_t kLanguageEnglishUs = 0x0409;
constexpr uint8_t kPacketSize = 64;
constexpr uint8_t kStringManufacturer = 1;
constexpr uint8_t kStringProduct = 2;
constexpr uint8_t kStringSerial = 3;

void put16(std::vector<uint8_t> &out, uint16_t value)
{
    out.push_back(uint8_t(value));
    out.push_back(uint8_t(value >> 8));
}

// Copies an answer into the data stage, cut to the length the host asked for.
bool answer(const std::vector<uint8_t> &bytes, const UsbSetup &setup, uint8_t *data, size_t *transferred)
{
    const size_t n = std::min<size_t>(bytes.size(), setup.length);
    std::copy_n(bytes.begin(), n, data);
    *transferred = n;
    return true;
}

} // namespace

Cp210xDevice::Cp210xDevice(Identity identity, std::shared_ptr<SerialPeer> peer)
    : m_Identity(std::move(identity)), m_Peer(std::move(peer))
{
}

std::vector<uint8_t> Cp210xDevice::descriptors() const
{
    std::vector<uint8_t> d{18, kDescriptorDevice};
    put16(d, 0x0200);  // USB 2.0
    d.insert(d.end(), {0x00, 0x00, 0x00, kPacketSize});
    put16(d, m_Identity.vendorId);
    put16(d, m_Identity.productId);
    put16(d, 0x0100);
    d.insert(d.end(), {kStringManufacturer, kStringProduct,
                       uint8_t(m_Identity.serialNumber.empty() ? 0 : kStringSerial), 1});
    // Configuration 1, bus powered, 100 mA; interface 0 of the vendor class with two endpoints.
    d.insert(d.end(), {9, kDescriptorConfiguration, 32, 0, 1, 1, 0, 0x80, 50});
    d.insert(d.end(), {9, 0x04, 0, 0, 2, 0xFF, 0x00, 0x00, kStringProduct});
    d.insert(d.end(), {7, 0x05, m_Identity.inEndpoint, 0x02, kPacketSize, 0, 0});
    d.insert(d.end(), {7, 0x05, m_Identity.outEndpoint, 0x02, kPacketSize, 0, 0});
    return d;
}

void Cp210xDevice::powerUp()
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_State = State{};
}

Cp210xDevice::State Cp210xDevice::state() const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_State;
}

bool Cp210xDevice::control(const UsbSetup &setup, uint8_t *data, size_t *transferred)
{
    *transferred = 0;
    std::lock_guard<std::mutex> lock(m_Mutex);
    switch (setup.requestType) {
    case kStandardIn:
    case kStandardOut:
    case kStandardToEndpoint:
        return standardRequest(setup, data, transferred);
    case cp210x::kToInterface:
    case cp210x::kFromInterface:
        return interfaceRequest(setup, data, transferred);
    case cp210x::kToDevice:
    case cp210x::kFromDevice:
        return deviceRequest(setup, data, transferred);
    default:
        return false;
    }
}

std::vector<uint8_t> Cp210xDevice::stringDescriptor(uint8_t index) const
{
    if (index == 0)
        return {4, kDescriptorString, uint8_t(kLanguageEnglishUs), uint8_t(kLanguageEnglishUs >> 8)};
    const std::string *text = nullptr;
    if (index == kStringManufacturer)
        text = &m_Identity.manufacturer;
    else if (index == kStringProduct)
        text = &m_Identity.product;
    else if (index == kStringSerial && !m_Identity.serialNumber.empty())
        text = &m_Identity.serialNumber;
    if (!text)
        return {};
    // UTF-16LE; the texts of this model are ASCII.
    std::vector<uint8_t> d{uint8_t(2 + 2 * text->size()), kDescriptorString};
    for (char c : *text)
        put16(d, uint8_t(c));
    return d;
}

bool Cp210xDevice::standardRequest(const UsbSetup &setup, uint8_t *data, size_t *transferred)
{
    if (setup.requestType == kStandardToEndpoint)
        return setup.request == kClearFeature && setup.length == 0;
    if (setup.requestType == kStandardOut)
        return setup.request == kSetConfiguration && setup.value <= 1 && setup.length == 0;
    if (setup.request == kGetStatus)
        return answer({0x00, 0x00}, setup, data, transferred);
    if (setup.request != kGetDescriptor)
        return false;
    const uint8_t type = uint8_t(setup.value >> 8);
    const uint8_t index = uint8_t(setup.value);
    std::vector<uint8_t> all = descriptors();
    if (type == kDescriptorDevice && index == 0)
        return answer({all.begin(), all.begin() + 18}, setup, data, transferred);
    if (type == kDescriptorConfiguration && index == 0)
        return answer({all.begin() + 18, all.end()}, setup, data, transferred);
    if (type != kDescriptorString)
        return false;
    ++m_State.stringRequests;
    const std::vector<uint8_t> text = stringDescriptor(index);
    return !text.empty() && answer(text, setup, data, transferred);
}

bool Cp210xDevice::interfaceRequest(const UsbSetup &setup, uint8_t *data, size_t *transferred)
{
    const bool in = setup.requestType == cp210x::kFromInterface;
    // A single-port part has interface 0 only; every request but IFC_ENABLE needs the UART on.
    if (setup.index != 0 || (!m_State.uartEnabled && setup.request != cp210x::kIfcEnable))
        return false;
    switch (setup.request) {
    case cp210x::kIfcEnable:
        if (in || setup.length != 0 || setup.value > cp210x::kUartEnable)
            return false;
        if (m_State.uartEnabled != (setup.value == cp210x::kUartEnable) && m_Peer)
            m_Peer->hostOpened(setup.value == cp210x::kUartEnable);
        m_State.uartEnabled = setup.value == cp210x::kUartEnable;
        return true;
    case cp210x::kSetBaudRate: {
        if (in || setup.length != 4)
            return false;
        const uint32_t rate = uint32_t(data[0]) | uint32_t(data[1]) << 8 | uint32_t(data[2]) << 16 |
                              uint32_t(data[3]) << 24;
        if (rate < cp210x::kMinBaudRate || rate > cp210x::kMaxBaudRate)
            return false;
        m_State.baudRate = rate;
        *transferred = 4;
        return true;
    }
    case cp210x::kGetBaudRate: {
        const uint32_t rate = m_State.baudRate;
        return in && answer({uint8_t(rate), uint8_t(rate >> 8), uint8_t(rate >> 16), uint8_t(rate >> 24)}, setup,
                            data, transferred);
    }
    case cp210x::kSetLineCtl:
        if (in || setup.length != 0 || !cp210x::lineControlValid(setup.value))
            return false;
        m_State.lineControl = setup.value;
        m_State.lineControlHistory.push_back(setup.value);
        return true;
    case cp210x::kGetLineCtl:
        return in && answer({uint8_t(m_State.lineControl), uint8_t(m_State.lineControl >> 8)}, setup, data,
                            transferred);
    case cp210x::kPurge:
        if (in || setup.length != 0 || (setup.value & ~(cp210x::kPurgeTransmit | cp210x::kPurgeReceive)))
            return false;
        if (setup.value & cp210x::kPurgeReceive) {
            ++m_State.receivePurges;
            if (m_Peer)
                m_Peer->hostPurge();
        }
        // Bytes go to the peer as they arrive, so nothing waits on the transmit side.
        if (setup.value & cp210x::kPurgeTransmit)
            ++m_State.transmitPurges;
        return true;
    case cp210x::kGetCommStatus: {
        if (!in)
            return false;
        std::vector<uint8_t> status(cp210x::kCommStatusSize, 0);
        const uint32_t queued = m_Peer ? uint32_t(m_Peer->hostAvailable()) : 0;
        for (int i = 0; i < 4; ++i)
            status[size_t(cp210x::kCommStatusInQueueOffset + i)] = uint8_t(queued >> (8 * i));
        return answer(status, setup, data, transferred);
    }
    default:
        return false;
    }
}

bool Cp210xDevice::hasIndexWordLatch() const
{
    switch (m_Identity.partNumber) {
    case cp210x::kPartCp2103:
    case cp210x::kPartCp2104:
    case cp210x::kPartCp2102nQfn28:
    case cp210x::kPartCp2102nQfn24:
    case cp210x::kPartCp2102nQfn20:
        return true;
    default:
        return false;
    }
}

bool Cp210xDevice::deviceRequest(const UsbSetup &setup, uint8_t *data, size_t *transferred)
{
    // The GPIO latch and the part number do not depend on the UART being enabled.
    if (setup.request != cp210x::kVendorSpecific)
        return false;
    const bool in = setup.requestType == cp210x::kFromDevice;
    if (in && setup.value == cp210x::kGetPartNumber)
        return answer({m_Identity.partNumber}, setup, data, transferred);
    if (!hasIndexWordLatch())
        return false;
    if (in && setup.value == cp210x::kReadLatch)
        return answer({m_State.latch}, setup, data, transferred);
    if (!in && setup.value == cp210x::kWriteLatch && setup.length == 0) {
        const uint8_t mask = uint8_t(setup.index);
        const uint8_t levels = uint8_t(setup.index >> 8);
        m_State.latch = uint8_t((m_State.latch & ~mask) | (levels & mask));
        if (m_Peer)
            m_Peer->setLatch(m_State.latch);
        return true;
    }
    return false;
}

void Cp210xDevice::bulkOut(const uint8_t *data, size_t length)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (!m_State.uartEnabled || !m_Peer) {
        m_State.droppedOutBytes += length;
        return;
    }
    m_Peer->hostWrite(data, length, m_State.lineControl);
}

size_t Cp210xDevice::bulkIn(uint8_t *out, size_t maxLength)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    // A disabled UART passes nothing on; what the peer sent meanwhile waits for the host's purge.
    if (!m_State.uartEnabled || !m_Peer)
        return 0;
    return m_Peer->hostRead(out, maxLength);
}

size_t Cp210xDevice::inputWaiting()
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return (m_State.uartEnabled && m_Peer) ? m_Peer->hostAvailable() : 0;
}

} // namespace pelsim
