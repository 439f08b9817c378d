#include "libusb_transport.h"

#include "app/log.h"

#include <libusb.h>

#include <condition_variable>
#include <vector>

namespace pelusb {

UsbResult usbResultFromLibusb(int error)
{
    if (error >= 0)
        return UsbResult::Ok;
    switch (error) {
    case LIBUSB_ERROR_TIMEOUT: return UsbResult::Timeout;
    case LIBUSB_ERROR_PIPE: return UsbResult::Stall;
    case LIBUSB_ERROR_NO_DEVICE: return UsbResult::NoDevice;
    case LIBUSB_ERROR_IO:
    case LIBUSB_ERROR_OVERFLOW: return UsbResult::PipeError;
    case LIBUSB_ERROR_ACCESS: return UsbResult::Access;
    case LIBUSB_ERROR_BUSY: return UsbResult::Busy;
    case LIBUSB_ERROR_NOT_SUPPORTED: return UsbResult::NotSupported;
    case LIBUSB_ERROR_NOT_FOUND: return UsbResult::NotFound;
    default: return UsbResult::Other;
    }
}

UsbResult usbResultFromTransferStatus(int status)
{
    switch (status) {
    case LIBUSB_TRANSFER_COMPLETED: return UsbResult::Ok;
    case LIBUSB_TRANSFER_TIMED_OUT: return UsbResult::Timeout;
    case LIBUSB_TRANSFER_STALL: return UsbResult::Stall;
    case LIBUSB_TRANSFER_NO_DEVICE: return UsbResult::NoDevice;
    case LIBUSB_TRANSFER_CANCELLED: return UsbResult::Cancelled;
    case LIBUSB_TRANSFER_ERROR:
    case LIBUSB_TRANSFER_OVERFLOW: return UsbResult::PipeError;
    default: return UsbResult::Other;
    }
}

namespace {

UsbDeviceRecord recordOf(libusb_device *device)
{
    UsbDeviceRecord record;
    record.bus = libusb_get_bus_number(device);
    record.address = libusb_get_device_address(device);
    uint8_t ports[8];
    const int depth = libusb_get_port_numbers(device, ports, int(sizeof ports));
    if (depth > 0)
        record.ports.assign(ports, ports + depth);
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(device, &descriptor) == LIBUSB_SUCCESS) {
        record.vendorId = descriptor.idVendor;
        record.productId = descriptor.idProduct;
        record.productStringIndex = descriptor.iProduct;
        record.serialStringIndex = descriptor.iSerialNumber;
    }
    return record;
}

// Queued IN transfers: enough that the bridge always finds one waiting while the event
// thread hands the previous one's data over.
constexpr int kQueuedInTransfers = 4;

class LibusbLink : public UsbLink {
public:
    explicit LibusbLink(libusb_device_handle *handle) : m_Handle(handle) {}

    ~LibusbLink() override
    {
        stopBulkIn();
        for (libusb_transfer *transfer : m_Transfers)
            libusb_free_transfer(transfer);
        libusb_close(m_Handle);
    }

    UsbResult stringDescriptor(uint8_t index, std::string *text) override
    {
        unsigned char buffer[256];
        const int n = libusb_get_string_descriptor_ascii(m_Handle, index, buffer, int(sizeof buffer));
        if (n < 0)
            return usbResultFromLibusb(n);
        text->assign(reinterpret_cast<const char *>(buffer), size_t(n));
        return UsbResult::Ok;
    }

    UsbResult interfaceEndpoints(int interfaceNumber, std::vector<UsbEndpoint> *out) override
    {
        libusb_config_descriptor *config = nullptr;
        const int error = libusb_get_active_config_descriptor(libusb_get_device(m_Handle), &config);
        if (error != LIBUSB_SUCCESS)
            return usbResultFromLibusb(error);
        UsbResult result = UsbResult::NotFound;
        for (int i = 0; i < config->bNumInterfaces && result != UsbResult::Ok; ++i) {
            const libusb_interface &interface = config->interface[i];
            if (interface.num_altsetting < 1)
                continue;
            const libusb_interface_descriptor &setting = interface.altsetting[0];
            if (setting.bInterfaceNumber != interfaceNumber)
                continue;
            for (int e = 0; e < setting.bNumEndpoints; ++e) {
                const libusb_endpoint_descriptor &ep = setting.endpoint[e];
                out->push_back({ep.bEndpointAddress, ep.bmAttributes, ep.wMaxPacketSize});
            }
            result = UsbResult::Ok;
        }
        libusb_free_config_descriptor(config);
        return result;
    }

    UsbResult kernelDriverActive(int interfaceNumber, bool *active) override
    {
        const int state = libusb_kernel_driver_active(m_Handle, interfaceNumber);
        *active = state == 1;
        return state < 0 ? usbResultFromLibusb(state) : UsbResult::Ok;
    }
    UsbResult detachKernelDriver(int interfaceNumber) override
    {
        return usbResultFromLibusb(libusb_detach_kernel_driver(m_Handle, interfaceNumber));
    }
    UsbResult attachKernelDriver(int interfaceNumber) override
    {
        return usbResultFromLibusb(libusb_attach_kernel_driver(m_Handle, interfaceNumber));
    }
    UsbResult claimInterface(int interfaceNumber) override
    {
        return usbResultFromLibusb(libusb_claim_interface(m_Handle, interfaceNumber));
    }
    UsbResult releaseInterface(int interfaceNumber) override
    {
        return usbResultFromLibusb(libusb_release_interface(m_Handle, interfaceNumber));
    }

    UsbResult control(const ControlSetup &setup, uint8_t *data, uint16_t length, unsigned timeoutMs,
                      size_t *transferred) override
    {
        *transferred = 0;
        const int n = libusb_control_transfer(m_Handle, setup.requestType, setup.request, setup.value,
                                              setup.index, data, length, timeoutMs);
        if (n < 0)
            return usbResultFromLibusb(n);
        *transferred = size_t(n);
        return UsbResult::Ok;
    }

    UsbResult bulkOut(uint8_t endpoint, const uint8_t *data, size_t length, unsigned timeoutMs,
                      size_t *transferred) override
    {
        int moved = 0;
        // libusb takes a non-const buffer for both directions; an OUT transfer only reads it.
        const int error = libusb_bulk_transfer(m_Handle, endpoint, const_cast<uint8_t *>(data), int(length),
                                               &moved, timeoutMs);
        *transferred = size_t(moved);
        return usbResultFromLibusb(error);
    }

    UsbResult clearHalt(uint8_t endpoint) override
    {
        return usbResultFromLibusb(libusb_clear_halt(m_Handle, endpoint));
    }

    UsbResult startBulkIn(uint8_t endpoint, size_t transferSize, BulkInSink sink) override
    {
        std::lock_guard<std::mutex> lock(m_InMutex);
        if (m_InFlight > 0)
            return UsbResult::Busy;
        if (m_Transfers.empty()) {
            for (int i = 0; i < kQueuedInTransfers; ++i) {
                libusb_transfer *transfer = libusb_alloc_transfer(0);
                if (!transfer)
                    return UsbResult::Other;
                m_Transfers.push_back(transfer);
                m_Buffers.emplace_back();
            }
        }
        m_Sink = std::move(sink);
        m_Stopping = false;
        m_Failed = false;
        for (size_t i = 0; i < m_Transfers.size(); ++i) {
            m_Buffers[i].resize(transferSize);
            // No timeout: an IN transfer waits as long as the board stays silent.
            libusb_fill_bulk_transfer(m_Transfers[i], m_Handle, endpoint, m_Buffers[i].data(), int(transferSize),
                                      &LibusbLink::inDone, this, 0);
            const int error = libusb_submit_transfer(m_Transfers[i]);
            if (error != LIBUSB_SUCCESS) {
                if (m_InFlight == 0)
                    return usbResultFromLibusb(error);
                break;
            }
            ++m_InFlight;
        }
        return UsbResult::Ok;
    }

    void stopBulkIn() override
    {
        std::unique_lock<std::mutex> lock(m_InMutex);
        m_Stopping = true;
        if (m_InFlight == 0)
            return;
        for (libusb_transfer *transfer : m_Transfers)
            libusb_cancel_transfer(transfer);  // one already finished answers NOT_FOUND
        // The event thread completes every cancelled transfer, also of an unplugged device.
        m_InIdle.wait(lock, [this] { return m_InFlight == 0; });
    }

private:
    static void LIBUSB_CALL inDone(libusb_transfer *transfer)
    {
        static_cast<LibusbLink *>(transfer->user_data)->completed(transfer);
    }

    void completed(libusb_transfer *transfer)
    {
        UsbResult result = usbResultFromTransferStatus(transfer->status);
        if (result == UsbResult::Ok && transfer->actual_length > 0)
            m_Sink(transfer->buffer, size_t(transfer->actual_length), UsbResult::Ok);
        bool report = false;
        {
            std::lock_guard<std::mutex> lock(m_InMutex);
            // Resubmitted under the lock, so stopBulkIn either sees it in flight and cancels
            // it, or this sees m_Stopping and lets it rest.
            if (result == UsbResult::Ok && !m_Stopping && !m_Failed) {
                const int error = libusb_submit_transfer(transfer);
                if (error == LIBUSB_SUCCESS)
                    return;
                result = usbResultFromLibusb(error);
            }
            if (result != UsbResult::Ok && result != UsbResult::Cancelled && !m_Failed && !m_Stopping) {
                m_Failed = true;
                report = true;
            }
        }
        if (report)
            m_Sink(nullptr, 0, result);
        std::lock_guard<std::mutex> lock(m_InMutex);
        --m_InFlight;
        m_InIdle.notify_all();
    }

    libusb_device_handle *m_Handle;
    std::vector<libusb_transfer *> m_Transfers;
    std::vector<std::vector<uint8_t>> m_Buffers;
    std::mutex m_InMutex;
    std::condition_variable m_InIdle;
    int m_InFlight = 0;
    bool m_Stopping = false;
    bool m_Failed = false;
    BulkInSink m_Sink;
};

int LIBUSB_CALL hotplugLeft(libusb_context *, libusb_device *device, libusb_hotplug_event, void *user)
{
    static_cast<LibusbTransport *>(user)->deviceLeft(deviceKey(recordOf(device)));
    return 0;  // stay registered
}

} // namespace

LibusbTransport::LibusbTransport()
{
    const int error = libusb_init(&m_Context);
    if (error != LIBUSB_SUCCESS) {
        m_Context = nullptr;
        logStatus("LibusbTransport", "libusb could not start (%s): no real bridges",
                  libusb_error_name(error));
        return;
    }
    m_Running.store(true, std::memory_order_release);
    m_EventThread = std::thread([this] { runEvents(); });
}

LibusbTransport::~LibusbTransport()
{
    if (!m_Context)
        return;
    if (m_HotplugRegistered)
        libusb_hotplug_deregister_callback(m_Context, m_HotplugHandle);
    m_Running.store(false, std::memory_order_release);
    libusb_interrupt_event_handler(m_Context);
    if (m_EventThread.joinable())
        m_EventThread.join();
    libusb_exit(m_Context);
}

void LibusbTransport::runEvents()
{
    while (m_Running.load(std::memory_order_acquire)) {
        // Woken early by libusb_interrupt_event_handler at shutdown; the time-out only bounds
        // how long a missed wake-up could delay it.
        timeval timeout{0, 200000};
        libusb_handle_events_timeout_completed(m_Context, &timeout, nullptr);
    }
}

UsbResult LibusbTransport::forEachDevice(const std::function<bool(libusb_device *)> &visit)
{
    if (!m_Context)
        return UsbResult::NotSupported;
    libusb_device **list = nullptr;
    const ssize_t count = libusb_get_device_list(m_Context, &list);
    if (count < 0)
        return usbResultFromLibusb(int(count));
    for (ssize_t i = 0; i < count && visit(list[i]); ++i) {
    }
    libusb_free_device_list(list, 1);
    return UsbResult::Ok;
}

UsbResult LibusbTransport::enumerate(std::vector<UsbDeviceRecord> *out)
{
    out->clear();
    return forEachDevice([out](libusb_device *device) {
        out->push_back(recordOf(device));
        return true;
    });
}

UsbResult LibusbTransport::open(const UsbDeviceRecord &record, std::unique_ptr<UsbLink> *link)
{
    const std::string key = deviceKey(record);
    UsbResult result = UsbResult::NoDevice;
    const UsbResult listed = forEachDevice([&](libusb_device *device) {
        if (deviceKey(recordOf(device)) != key)
            return true;
        libusb_device_handle *handle = nullptr;
        const int error = libusb_open(device, &handle);
        result = usbResultFromLibusb(error);
        if (error == LIBUSB_SUCCESS)
            *link = std::make_unique<LibusbLink>(handle);
        return false;
    });
    return listed == UsbResult::Ok ? result : listed;
}

bool LibusbTransport::watchDepartures(std::function<void(const std::string &key)> departed)
{
    if (!m_Context || !libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG))
        return false;
    {
        std::lock_guard<std::mutex> lock(m_DepartedMutex);
        m_Departed = std::move(departed);
    }
    if (!m_HotplugRegistered) {
        libusb_hotplug_callback_handle handle = 0;
        const int error = libusb_hotplug_register_callback(
            m_Context, LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT, libusb_hotplug_flag(0), LIBUSB_HOTPLUG_MATCH_ANY,
            LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, &hotplugLeft, this, &handle);
        if (error != LIBUSB_SUCCESS)
            return false;
        m_HotplugHandle = handle;
        m_HotplugRegistered = true;
    }
    return true;
}

void LibusbTransport::deviceLeft(const std::string &key)
{
    std::lock_guard<std::mutex> lock(m_DepartedMutex);
    if (m_Departed)
        m_Departed(key);
}

} // namespace pelusb
