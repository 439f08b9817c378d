#include "usbdevfs_node.h"

#include "usbdevfs_client_memory.h"

#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace pelsim {

namespace {

// What a current kernel offers. With scatter-gather libusb sends every transfer as one URB.
constexpr uint32_t kCapabilities = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                   USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_BULK_SCATTER_GATHER |
                                   USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
constexpr char kKernelDriver[] = "cp210x";
constexpr char kUsbfsDriver[] = "usbfs";

} // namespace

UsbdevfsNode::UsbdevfsNode(std::shared_ptr<Cp210xDevice> device, bool kernelDriverBound)
    : m_Device(std::move(device)), m_Handler(umockdev_ioctl_base_new()), m_KernelDriverBound(kernelDriverBound)
{
    g_signal_connect(m_Handler, "handle-ioctl", G_CALLBACK(&UsbdevfsNode::onIoctl), this);
}

UsbdevfsNode::~UsbdevfsNode()
{
    // Detached from the testbed by now; what a client left behind goes with the node.
    g_signal_handlers_disconnect_by_data(m_Handler, this);
    pruneClosed();
    for (auto &entry : m_Clients) {
        g_object_weak_unref(G_OBJECT(entry.first), &UsbdevfsNode::onClientGone, this);
        drop(entry.second);
    }
    g_object_unref(m_Handler);
}

void UsbdevfsNode::release(Urb &urb)
{
    if (urb.buffer)
        g_object_unref(urb.buffer);
    if (urb.urb)
        g_object_unref(urb.urb);
    urb.buffer = urb.urb = nullptr;
}

void UsbdevfsNode::drop(Client &c)
{
    if (c.parkTimer) {
        g_source_destroy(c.parkTimer);
        g_source_unref(c.parkTimer);
    }
    if (c.parkedReap)
        g_object_unref(c.parkedReap);
    for (auto *queue : {&c.pendingIn, &c.unanswered, &c.completed})
        for (Urb &urb : *queue)
            release(urb);
}

bool UsbdevfsNode::claimedByAny() const
{
    return std::any_of(m_Clients.begin(), m_Clients.end(), [](const auto &entry) { return entry.second.claimed; });
}

void UsbdevfsNode::onClientGone(gpointer self, GObject *client)
{
    // umockdev lets go of a client when its file is closed; it may announce the fact much
    // later or never. Noted here only: the notice can come while the node's lock is held.
    auto *node = static_cast<UsbdevfsNode *>(self);
    std::lock_guard<std::mutex> lock(node->m_ClosedMutex);
    node->m_Closed.push_back(reinterpret_cast<UMockdevIoctlClient *>(client));
}

void UsbdevfsNode::pruneClosed()
{
    std::vector<UMockdevIoctlClient *> closed;
    {
        std::lock_guard<std::mutex> lock(m_ClosedMutex);
        closed.swap(m_Closed);
    }
    // Closing the file gives up its claims and kills its URBs, as the kernel does.
    for (UMockdevIoctlClient *client : closed) {
        const auto it = m_Clients.find(client);
        if (it == m_Clients.end())
            continue;
        drop(it->second);
        m_Clients.erase(it);
    }
}

gboolean UsbdevfsNode::onIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer self)
{
    static_cast<UsbdevfsNode *>(self)->handle(client);
    return TRUE;
}

void UsbdevfsNode::markGone()
{
    if (m_Gone)
        return;
    m_Gone = true;
    for (auto &entry : m_Clients) {
        Client &c = entry.second;
        for (auto *queue : {&c.pendingIn, &c.unanswered}) {
            for (Urb &urb : *queue) {
                urb.status = -ESHUTDOWN;
                urb.actual = 0;
                c.completed.push_back(urb);
            }
            queue->clear();
        }
    }
}

void UsbdevfsNode::unplug()
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    // A parked reap finds the ended URBs when its hold runs out, on umockdev's thread.
    markGone();
}

void UsbdevfsNode::plan(const PlannedFault &fault)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Faults.push_back(fault);
}

NodeView UsbdevfsNode::view() const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    NodeView v;
    v.kernelDriverBound = m_KernelDriverBound;
    std::lock_guard<std::mutex> closed(m_ClosedMutex);
    for (const auto &entry : m_Clients) {
        if (std::find(m_Closed.begin(), m_Closed.end(), entry.first) != m_Closed.end())
            continue;
        ++v.clients;
        v.claimed = v.claimed || entry.second.claimed;
    }
    v.gone = m_Gone;
    return v;
}

bool UsbdevfsNode::takeFault(PlannedFault::Target target, unsigned long code, PlannedFault *fault)
{
    for (auto it = m_Faults.begin(); it != m_Faults.end(); ++it) {
        if (it->target != target || it->code != code)
            continue;
        if (it->skip > 0) {
            --it->skip;
            return false;
        }
        *fault = *it;
        m_Faults.erase(it);
        return true;
    }
    return false;
}

void UsbdevfsNode::handle(UMockdevIoctlClient *client)
{
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    std::lock_guard<std::mutex> lock(m_Mutex);
    pruneClosed();
    if (!m_Clients.count(client))
        g_object_weak_ref(G_OBJECT(client), &UsbdevfsNode::onClientGone, this);
    Client &c = m_Clients[client];
    // A board whose cable a test pulled takes the bridge with it.
    if (!m_Gone && m_Device->peer() && m_Device->peer()->detached())
        markGone();
    if (request == USBDEVFS_REAPURBNDELAY) {
        reap(client, c, arg);
        return;
    }
    c.emptyReaps = 0;
    int error = 0;
    long result = 0;
    PlannedFault fault;
    if (m_Gone)
        error = ENODEV;
    else if (takeFault(PlannedFault::Target::Ioctl, request, &fault))
        error = fault.error;
    else
        result = dispatch(c, request, arg, &error);
    umockdev_ioctl_client_complete(client, error ? -1 : result, error);
}

long UsbdevfsNode::dispatch(Client &c, unsigned long request, UMockdevIoctlData *arg, int *error)
{
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData *caps = resolve(arg, 0, sizeof(uint32_t));
        if (!caps) {
            *error = EFAULT;
            return -1;
        }
        std::memcpy(caps->data, &kCapabilities, sizeof kCapabilities);
        g_object_unref(caps);
        return 0;
    }
    case USBDEVFS_SUBMITURB:
        return submit(c, arg, error);
    case USBDEVFS_DISCARDURB:
        return discard(c, arg, error);
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE: {
        UMockdevIoctlData *number = resolve(arg, 0, sizeof(unsigned));
        unsigned interfaceNumber = 0;
        if (number) {
            std::memcpy(&interfaceNumber, number->data, sizeof interfaceNumber);
            g_object_unref(number);
        }
        if (request == USBDEVFS_CLAIMINTERFACE)
            *error = claim(c, interfaceNumber);
        else if (interfaceNumber != kInterface || !c.claimed)
            *error = EINVAL;
        else
            c.claimed = false;
        return *error ? -1 : 0;
    }
    case USBDEVFS_GETDRIVER:
        return driverQuery(arg, error);
    case USBDEVFS_IOCTL:
        return kernelDriverRequest(arg, error);
    case USBDEVFS_CLEAR_HALT: {
        UMockdevIoctlData *endpoint = resolve(arg, 0, sizeof(unsigned));
        unsigned address = 0;
        if (endpoint) {
            std::memcpy(&address, endpoint->data, sizeof address);
            g_object_unref(endpoint);
        }
        if (address == m_Device->identity().inEndpoint)
            m_InHalted = false;
        else if (address == m_Device->identity().outEndpoint)
            m_OutHalted = false;
        else
            *error = ENOENT;
        return *error ? -1 : 0;
    }
    case USBDEVFS_RESET:
    case USBDEVFS_SETCONFIGURATION:
        return 0;
    default:
        *error = ENOTTY;
        return -1;
    }
}

int UsbdevfsNode::claim(Client &c, unsigned interfaceNumber)
{
    if (interfaceNumber != kInterface)
        return ENOENT;
    if (c.claimed)
        return 0;
    // Held by the kernel's serial driver, or by another open file.
    if (m_KernelDriverBound || claimedByAny())
        return EBUSY;
    c.claimed = true;
    return 0;
}

long UsbdevfsNode::kernelDriverRequest(UMockdevIoctlData *arg, int *error)
{
    UMockdevIoctlData *command = resolve(arg, 0, sizeof(usbdevfs_ioctl));
    if (!command) {
        *error = EFAULT;
        return -1;
    }
    const usbdevfs_ioctl request = *reinterpret_cast<usbdevfs_ioctl *>(command->data);
    g_object_unref(command);
    const bool claimed = claimedByAny();
    if (request.ifno != int(kInterface)) {
        *error = EINVAL;
    } else if (unsigned(request.ioctl_code) == USBDEVFS_DISCONNECT) {
        if (!m_KernelDriverBound)
            *error = ENODATA;
        m_KernelDriverBound = false;
    } else if (unsigned(request.ioctl_code) == USBDEVFS_CONNECT) {
        if (m_KernelDriverBound || claimed)
            *error = EBUSY;
        m_KernelDriverBound = true;
        // The kernel answers 1 when a driver bound to the interface.
        return *error ? -1 : 1;
    } else {
        *error = ENOTTY;
    }
    return *error ? -1 : 0;
}

long UsbdevfsNode::driverQuery(UMockdevIoctlData *arg, int *error)
{
    UMockdevIoctlData *query = resolve(arg, 0, sizeof(usbdevfs_getdriver));
    if (!query) {
        *error = EFAULT;
        return -1;
    }
    auto *getdriver = reinterpret_cast<usbdevfs_getdriver *>(query->data);
    const char *driver = claimedByAny() ? kUsbfsDriver : m_KernelDriverBound ? kKernelDriver : nullptr;
    if (getdriver->interface != kInterface || !driver)
        *error = ENODATA;
    else
        std::snprintf(getdriver->driver, sizeof getdriver->driver, "%s", driver);
    g_object_unref(query);
    return *error ? -1 : 0;
}

} // namespace pelsim
