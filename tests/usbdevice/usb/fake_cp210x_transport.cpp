#include "fake_cp210x_transport.h"

#include "usbdevice/usb/cp210x_protocol.h"

#include <algorithm>

using pelusb::ControlSetup;
using pelusb::UsbResult;
namespace cp = pelusb::cp210x;

namespace {

QString hexBytes(const uint8_t *data, size_t length)
{
    QStringList bytes;
    for (size_t i = 0; i < length; ++i)
        bytes << QString::asprintf("%02x", data[i]);
    return QLatin1Char('[') + bytes.join(QLatin1Char(' ')) + QLatin1Char(']');
}

} // namespace

class FakeCp210xTransport::Link : public pelusb::UsbLink {
public:
    Link(FakeCp210xTransport *owner, int id, uint8_t address) : m_Owner(owner), m_Id(id), m_Address(address) {}
    ~Link() override { stopBulkIn(); }

    UsbResult stringDescriptor(uint8_t index, std::string *text) override
    {
        std::lock_guard<std::recursive_mutex> lock(m_Owner->m_Mutex);
        m_Owner->record(QStringLiteral("string %1").arg(index));
        UsbResult result = UsbResult::Ok;
        Bridge *bridge = m_Owner->live(m_Id, m_Address);
        if (!bridge)
            return UsbResult::NoDevice;
        if (m_Owner->injected(Kind::String, &result))
            return result;
        if (index == 2)
            *text = bridge->model.product;
        else if (index == 3)
            *text = bridge->model.serial;
        else
            return UsbResult::Stall;
        return UsbResult::Ok;
    }

    UsbResult interfaceEndpoints(int interfaceNumber, std::vector<pelusb::UsbEndpoint> *out) override
    {
        std::lock_guard<std::recursive_mutex> lock(m_Owner->m_Mutex);
        m_Owner->record(QStringLiteral("endpoints %1").arg(interfaceNumber));
        UsbResult result = UsbResult::Ok;
        Bridge *bridge = m_Owner->live(m_Id, m_Address);
        if (!bridge)
            return UsbResult::NoDevice;
        if (m_Owner->injected(Kind::Endpoints, &result))
            return result;
        if (interfaceNumber != 0)
            return UsbResult::NotFound;
        // An interrupt endpoint first, as a part with an extra endpoint might list it: the
        // backend must pick the bulk ones.
        out->push_back({0x83, 0x03, 16});
        out->push_back({bridge->model.inEndpoint, 0x02, 64});
        out->push_back({bridge->model.outEndpoint, 0x02, 64});
        return UsbResult::Ok;
    }

    UsbResult kernelDriverActive(int interfaceNumber, bool *active) override
    {
        return simple(Kind::KernelActive, QStringLiteral("kernel-active %1").arg(interfaceNumber),
                      [&](Bridge &b) { *active = b.kernelDriverBound; });
    }
    UsbResult detachKernelDriver(int interfaceNumber) override
    {
        return simple(Kind::Detach, QStringLiteral("detach %1").arg(interfaceNumber),
                      [](Bridge &b) { b.kernelDriverBound = false; });
    }
    UsbResult attachKernelDriver(int interfaceNumber) override
    {
        return simple(Kind::Attach, QStringLiteral("attach %1").arg(interfaceNumber),
                      [](Bridge &b) { b.kernelDriverBound = true; });
    }
    UsbResult claimInterface(int interfaceNumber) override
    {
        std::lock_guard<std::recursive_mutex> lock(m_Owner->m_Mutex);
        m_Owner->record(QStringLiteral("claim %1").arg(interfaceNumber));
        Bridge *bridge = m_Owner->live(m_Id, m_Address);
        if (!bridge)
            return UsbResult::NoDevice;
        UsbResult result = UsbResult::Ok;
        if (m_Owner->injected(Kind::Claim, &result))
            return result;
        // The kernel's driver holds the interface while it is bound.
        if (bridge->kernelDriverBound)
            return UsbResult::Busy;
        bridge->claimed = true;
        return UsbResult::Ok;
    }
    UsbResult releaseInterface(int interfaceNumber) override
    {
        return simple(Kind::Release, QStringLiteral("release %1").arg(interfaceNumber),
                      [](Bridge &b) { b.claimed = false; });
    }

    UsbResult control(const ControlSetup &setup, uint8_t *data, uint16_t length, unsigned,
                      size_t *transferred) override
    {
        std::lock_guard<std::recursive_mutex> lock(m_Owner->m_Mutex);
        *transferred = 0;
        const bool in = setup.requestType & 0x80;
        m_Owner->record(QString::asprintf("control %02x %02x %04x %04x ", setup.requestType, setup.request,
                                          setup.value, setup.index) +
                        (in ? QStringLiteral("in %1").arg(length) : hexBytes(data, length)));
        Bridge *bridge = m_Owner->live(m_Id, m_Address);
        if (!bridge)
            return UsbResult::NoDevice;
        UsbResult result = UsbResult::Ok;
        if (m_Owner->injected(Kind::Control, &result, setup.request, setup.value))
            return result;
        result = m_Owner->controlLocked(*bridge, setup, data, length, transferred);
        m_Owner->deliverLocked(*bridge);
        return result;
    }

    UsbResult bulkOut(uint8_t endpoint, const uint8_t *data, size_t length, unsigned,
                      size_t *transferred) override
    {
        std::lock_guard<std::recursive_mutex> lock(m_Owner->m_Mutex);
        *transferred = 0;
        m_Owner->record(QString::asprintf("bulk-out %02x ", endpoint) + hexBytes(data, length));
        Bridge *bridge = m_Owner->live(m_Id, m_Address);
        if (!bridge)
            return UsbResult::NoDevice;
        UsbResult result = UsbResult::Ok;
        if (m_Owner->injected(Kind::BulkOut, &result))
            return result;
        if (endpoint != bridge->model.outEndpoint || !bridge->claimed)
            return UsbResult::PipeError;
        if (bridge->enabled && bridge->model.peer)
            bridge->model.peer->hostWrite(data, length, bridge->lineControl);
        *transferred = length;
        m_Owner->deliverLocked(*bridge);
        return UsbResult::Ok;
    }

    UsbResult clearHalt(uint8_t endpoint) override
    {
        return simple(Kind::ClearHalt, QString::asprintf("clear-halt %02x", endpoint), [](Bridge &) {});
    }

    UsbResult startBulkIn(uint8_t endpoint, size_t transferSize, pelusb::BulkInSink sink) override
    {
        std::lock_guard<std::recursive_mutex> lock(m_Owner->m_Mutex);
        m_Owner->record(QString::asprintf("start-in %02x %zu", endpoint, transferSize));
        Bridge *bridge = m_Owner->live(m_Id, m_Address);
        if (!bridge)
            return UsbResult::NoDevice;
        UsbResult result = UsbResult::Ok;
        if (m_Owner->injected(Kind::StartIn, &result))
            return result;
        if (endpoint != bridge->model.inEndpoint || !bridge->claimed)
            return UsbResult::PipeError;
        bridge->sink = std::move(sink);
        bridge->transferSize = transferSize;
        m_Receiving = true;
        m_Owner->deliverLocked(*bridge);
        return UsbResult::Ok;
    }

    void stopBulkIn() override
    {
        std::lock_guard<std::recursive_mutex> lock(m_Owner->m_Mutex);
        if (!m_Receiving)
            return;
        m_Receiving = false;
        m_Owner->record(QStringLiteral("stop-in"));
        if (Bridge *bridge = m_Owner->byId(m_Id))
            if (bridge->address == m_Address)
                bridge->sink = nullptr;
    }

private:
    template <typename Apply>
    UsbResult simple(Kind kind, const QString &line, Apply apply)
    {
        std::lock_guard<std::recursive_mutex> lock(m_Owner->m_Mutex);
        m_Owner->record(line);
        Bridge *bridge = m_Owner->live(m_Id, m_Address);
        if (!bridge)
            return UsbResult::NoDevice;
        UsbResult result = UsbResult::Ok;
        if (m_Owner->injected(kind, &result))
            return result;
        apply(*bridge);
        return UsbResult::Ok;
    }

    FakeCp210xTransport *m_Owner;
    int m_Id;
    uint8_t m_Address;
    bool m_Receiving = false;
};

FakeCp210xTransport::~FakeCp210xTransport() = default;

int FakeCp210xTransport::addBridge(BridgeModel model)
{
    std::lock_guard<std::recursive_mutex> lock(m_Mutex);
    Bridge bridge;
    bridge.id = m_NextId++;
    bridge.address = m_NextAddress++;
    bridge.kernelDriverBound = model.kernelDriverBound;
    bridge.model = std::move(model);
    m_Bridges.push_back(std::move(bridge));
    return m_Bridges.back().id;
}

void FakeCp210xTransport::unplug(int id, bool notify)
{
    std::function<void(const std::string &)> departed;
    std::string key;
    {
        std::lock_guard<std::recursive_mutex> lock(m_Mutex);
        Bridge *bridge = byId(id);
        if (!bridge || !bridge->plugged)
            return;
        key = pelusb::deviceKey(recordOf(*bridge));
        bridge->plugged = false;
        bridge->claimed = false;
        bridge->enabled = false;
        pelusb::BulkInSink sink = std::move(bridge->sink);
        bridge->sink = nullptr;
        if (notify && sink)
            sink(nullptr, 0, UsbResult::NoDevice);
        if (notify && m_Hotplug)
            departed = m_Departed;
    }
    if (departed)
        departed(key);
}

void FakeCp210xTransport::plug(int id)
{
    std::lock_guard<std::recursive_mutex> lock(m_Mutex);
    Bridge *bridge = byId(id);
    if (!bridge || bridge->plugged)
        return;
    bridge->plugged = true;
    bridge->address = m_NextAddress++;
    bridge->kernelDriverBound = bridge->model.kernelDriverBound;
    bridge->baudRate = 0;
    bridge->lineControl = 0;
    if (bridge->model.peer)
        bridge->model.peer->reattach();
}

void FakeCp210xTransport::failNext(Kind kind, UsbResult result, int count, int request, int value)
{
    std::lock_guard<std::recursive_mutex> lock(m_Mutex);
    m_Failures.push_back({kind, result, count, request, value});
}

void FakeCp210xTransport::setOpenResult(int id, UsbResult result)
{
    std::lock_guard<std::recursive_mutex> lock(m_Mutex);
    if (Bridge *bridge = byId(id))
        bridge->openResult = result;
}

void FakeCp210xTransport::endReception(int id, UsbResult result)
{
    std::lock_guard<std::recursive_mutex> lock(m_Mutex);
    Bridge *bridge = byId(id);
    if (!bridge || !bridge->sink)
        return;
    pelusb::BulkInSink sink = std::move(bridge->sink);
    bridge->sink = nullptr;
    sink(nullptr, 0, result);
}

void FakeCp210xTransport::deliver()
{
    std::lock_guard<std::recursive_mutex> lock(m_Mutex);
    for (Bridge &bridge : m_Bridges)
        if (bridge.plugged)
            deliverLocked(bridge);
}

void FakeCp210xTransport::deliverLocked(Bridge &bridge)
{
    if (!bridge.sink || !bridge.model.peer)
        return;
    std::vector<uint8_t> buffer(std::max<size_t>(bridge.transferSize, 1));
    while (bridge.sink && bridge.model.peer->hostAvailable() > 0) {
        const size_t n = bridge.model.peer->hostRead(buffer.data(), buffer.size());
        if (n == 0)
            break;
        bridge.sink(buffer.data(), n, UsbResult::Ok);
    }
}

UsbResult FakeCp210xTransport::controlLocked(Bridge &bridge, const ControlSetup &setup, uint8_t *data,
                                             uint16_t length, size_t *transferred)
{
    if (setup.requestType == cp::kToInterface) {
        if (setup.index != 0 || !bridge.claimed)
            return UsbResult::Stall;
        switch (setup.request) {
        case cp::kIfcEnable:
            if (length != 0 || setup.value > 1)
                return UsbResult::Stall;
            bridge.enabled = setup.value == cp::kUartEnable;
            return UsbResult::Ok;
        case cp::kSetBaudRate:
            if (length != 4 || setup.value != 0)
                return UsbResult::Stall;
            bridge.baudRate = quint32(data[0]) | quint32(data[1]) << 8 | quint32(data[2]) << 16 |
                              quint32(data[3]) << 24;
            *transferred = 4;
            return UsbResult::Ok;
        case cp::kSetLineCtl:
            if (length != 0)
                return UsbResult::Stall;
            bridge.lineControl = setup.value;
            return UsbResult::Ok;
        case cp::kPurge:
            if (length != 0 || (setup.value & ~0x000F))
                return UsbResult::Stall;
            if ((setup.value & cp::kPurgeReceive) && bridge.model.peer)
                bridge.model.peer->hostPurge();
            return UsbResult::Ok;
        default:
            return UsbResult::Stall;
        }
    }
    if (setup.request != cp::kVendorSpecific)
        return UsbResult::Stall;
    const bool indexWordLatch = cp::latchFormOf(bridge.model.partNumber) == cp::LatchForm::IndexWord;
    if (setup.requestType == cp::kToDevice && setup.value == cp::kWriteLatch && length == 0 && indexWordLatch) {
        const uint8_t mask = uint8_t(setup.index & 0xFF);
        const uint8_t levels = uint8_t(setup.index >> 8);
        bridge.latch = uint8_t((bridge.latch & ~mask) | (levels & mask));
        if (bridge.model.peer)
            bridge.model.peer->setLatch(bridge.latch);
        return UsbResult::Ok;
    }
    if (setup.requestType == cp::kFromDevice && setup.value == cp::kGetPartNumber && length >= 1) {
        data[0] = bridge.model.partNumber;
        *transferred = 1;
        return UsbResult::Ok;
    }
    if (setup.requestType == cp::kFromDevice && setup.value == cp::kReadLatch && length >= 1 && indexWordLatch) {
        data[0] = bridge.latch;
        *transferred = 1;
        return UsbResult::Ok;
    }
    return UsbResult::Stall;
}

QStringList FakeCp210xTransport::calls() const
{
    std::lock_guard<std::recursive_mutex> lock(m_Mutex);
    return m_Calls;
}

void FakeCp210xTransport::clearCalls()
{
    std::lock_guard<std::recursive_mutex> lock(m_Mutex);
    m_Calls.clear();
}

#define FAKE_STATE(type, name, field)                                                                \
    type FakeCp210xTransport::name(int id) const                                                     \
    {                                                                                                \
        std::lock_guard<std::recursive_mutex> lock(m_Mutex);                                         \
        const Bridge *bridge = byId(id);                                                             \
        return bridge ? type(bridge->field) : type{};                                                \
    }
FAKE_STATE(bool, uartEnabled, enabled)
FAKE_STATE(quint32, baudRate, baudRate)
FAKE_STATE(quint16, lineControl, lineControl)
FAKE_STATE(uint8_t, latch, latch)
FAKE_STATE(bool, claimed, claimed)
FAKE_STATE(bool, kernelDriverBound, kernelDriverBound)
FAKE_STATE(bool, receiving, sink != nullptr)
#undef FAKE_STATE

UsbResult FakeCp210xTransport::enumerate(std::vector<pelusb::UsbDeviceRecord> *out)
{
    std::lock_guard<std::recursive_mutex> lock(m_Mutex);
    out->clear();
    for (Bridge &bridge : m_Bridges) {
        if (bridge.plugged && bridge.model.peer && bridge.model.peer->detached())
            bridge.plugged = false;
        if (bridge.plugged)
            out->push_back(recordOf(bridge));
    }
    return UsbResult::Ok;
}

UsbResult FakeCp210xTransport::open(const pelusb::UsbDeviceRecord &record, std::unique_ptr<pelusb::UsbLink> *link)
{
    std::lock_guard<std::recursive_mutex> lock(m_Mutex);
    m_Calls << QStringLiteral("open %1").arg(QString::fromStdString(pelusb::deviceLocation(record)));
    UsbResult result = UsbResult::Ok;
    if (injected(Kind::Open, &result))
        return result;
    for (Bridge &bridge : m_Bridges) {
        if (!bridge.plugged || pelusb::deviceKey(recordOf(bridge)) != pelusb::deviceKey(record))
            continue;
        if (bridge.openResult != UsbResult::Ok)
            return bridge.openResult;
        *link = std::make_unique<Link>(this, bridge.id, bridge.address);
        return UsbResult::Ok;
    }
    return UsbResult::NoDevice;
}

bool FakeCp210xTransport::watchDepartures(std::function<void(const std::string &key)> departed)
{
    std::lock_guard<std::recursive_mutex> lock(m_Mutex);
    if (!m_Hotplug)
        return false;
    m_Departed = std::move(departed);
    return true;
}

pelusb::UsbDeviceRecord FakeCp210xTransport::recordOf(const Bridge &bridge) const
{
    pelusb::UsbDeviceRecord record;
    record.bus = bridge.model.bus;
    record.ports = bridge.model.ports;
    record.address = bridge.address;
    record.vendorId = bridge.model.vendorId;
    record.productId = bridge.model.productId;
    record.productStringIndex = 2;
    record.serialStringIndex = 3;
    return record;
}

FakeCp210xTransport::Bridge *FakeCp210xTransport::byId(int id)
{
    for (Bridge &bridge : m_Bridges)
        if (bridge.id == id)
            return &bridge;
    return nullptr;
}

const FakeCp210xTransport::Bridge *FakeCp210xTransport::byId(int id) const
{
    for (const Bridge &bridge : m_Bridges)
        if (bridge.id == id)
            return &bridge;
    return nullptr;
}

FakeCp210xTransport::Bridge *FakeCp210xTransport::live(int id, uint8_t address)
{
    Bridge *bridge = byId(id);
    if (!bridge || !bridge->plugged || bridge->address != address)
        return nullptr;
    // A peer that pulled its own cable (a fault a test asked for) takes the bridge with it.
    if (bridge->model.peer && bridge->model.peer->detached()) {
        bridge->plugged = false;
        pelusb::BulkInSink sink = std::move(bridge->sink);
        bridge->sink = nullptr;
        if (sink)
            sink(nullptr, 0, UsbResult::NoDevice);
        return nullptr;
    }
    return bridge;
}

bool FakeCp210xTransport::injected(Kind kind, UsbResult *result, int request, int value)
{
    for (auto it = m_Failures.begin(); it != m_Failures.end(); ++it) {
        if (it->kind != kind)
            continue;
        if (it->request >= 0 && it->request != request)
            continue;
        if (it->value >= 0 && it->value != value)
            continue;
        *result = it->result;
        if (--it->count <= 0)
            m_Failures.erase(it);
        return true;
    }
    return false;
}

void FakeCp210xTransport::record(const QString &line)
{
    m_Calls << line;
}
