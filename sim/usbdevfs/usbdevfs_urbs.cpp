// The URBs of an emulated node: submitted, carried out by the device, reaped or discarded,
// with the kernel's status codes.
#include "usbdevfs_node.h"

#include "usbdevfs_client_memory.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace pelsim {

namespace {

constexpr int kSetupSize = 8;
constexpr int kMaxUrbBuffer = 1 << 20;
// libusb's event loop finds the emulated node always ready (it is a socket), so it asks for a
// finished URB again at once: an empty answer is held back, or it spins on a core. While held,
// the device is looked at every millisecond, so data still goes out within one. The hold is
// 1 ms while the host is busy; after this many empty answers in a row it grows, because the
// host's own next request on that file waits for the held answer.
constexpr unsigned kReapTickMs = 1;
constexpr int kBusyHoldTicks = 1;
constexpr int kIdleHoldTicks = 20;
constexpr int kIdleAfterEmptyReaps = 50;
// Recipient field of bmRequestType: the interface.
constexpr uint8_t kRecipientMask = 0x1F;
constexpr uint8_t kRecipientInterface = 0x01;

} // namespace

long UsbdevfsNode::submit(Client &c, UMockdevIoctlData *arg, int *error)
{
    Urb u;
    u.urb = resolve(arg, 0, sizeof(usbdevfs_urb));
    if (!u.urb) {
        *error = EFAULT;
        return -1;
    }
    const usbdevfs_urb *urb = urbOf(u.urb);
    u.type = urb->type;
    u.endpoint = urb->endpoint;
    if (urb->buffer_length < 0 || urb->buffer_length > kMaxUrbBuffer)
        *error = EINVAL;
    else if (urb->buffer_length > 0 &&
             !(u.buffer = resolve(u.urb, offsetof(usbdevfs_urb, buffer), size_t(urb->buffer_length))))
        *error = EFAULT;
    if (!*error)
        carryOut(c, u, error);
    if (*error) {
        release(u);
        return -1;
    }
    return 0;
}

void UsbdevfsNode::carryOut(Client &c, Urb u, int *error)
{
    const Cp210xDevice::Identity &id = m_Device->identity();
    const int length = urbOf(u.urb)->buffer_length;
    PlannedFault fault;
    if (u.type == USBDEVFS_URB_TYPE_CONTROL) {
        if (length < kSetupSize || u.endpoint != 0) {
            *error = EINVAL;
            return;
        }
        uint8_t *bytes = u.buffer->data;
        UsbSetup setup{bytes[0], bytes[1], uint16_t(bytes[2] | bytes[3] << 8), uint16_t(bytes[4] | bytes[5] << 8),
                       uint16_t(bytes[6] | bytes[7] << 8)};
        setup.length = uint16_t(std::min<int>(setup.length, length - kSetupSize));
        // A request to an interface the file has not claimed claims it on the way, as usbfs does.
        if ((setup.requestType & kRecipientMask) == kRecipientInterface &&
            (*error = claim(c, setup.index & 0xFF)) != 0)
            return;
        if (takeFault(PlannedFault::Target::Control, setup.request, &fault)) {
            if (fault.kind == FaultKind::NoAnswer) {
                c.unanswered.push_back(u);
                return;
            }
            u.status = -EPIPE;
        } else {
            size_t moved = 0;
            u.status = m_Device->control(setup, bytes + kSetupSize, &moved) ? 0 : -EPIPE;
            u.actual = int(moved);
        }
        c.completed.push_back(u);
        return;
    }
    const bool in = u.endpoint == id.inEndpoint;
    if (u.type != USBDEVFS_URB_TYPE_BULK || (!in && u.endpoint != id.outEndpoint)) {
        *error = u.type == USBDEVFS_URB_TYPE_BULK ? ENOENT : EINVAL;
        return;
    }
    if ((*error = claim(c, kInterface)) != 0)
        return;
    if (in) {
        // A halted endpoint refuses every transfer until the host clears it.
        if (m_InHalted) {
            u.status = -EPIPE;
            c.completed.push_back(u);
        } else {
            c.pendingIn.push_back(u);
        }
        return;
    }
    if (!m_OutHalted && takeFault(PlannedFault::Target::Bulk, u.endpoint, &fault)) {
        if (fault.kind == FaultKind::NoAnswer) {
            c.unanswered.push_back(u);
            return;
        }
        m_OutHalted = true;
    }
    if (m_OutHalted) {
        u.status = -EPIPE;
    } else {
        if (length > 0)
            m_Device->bulkOut(u.buffer->data, size_t(length));
        u.actual = length;
    }
    c.completed.push_back(u);
}

void UsbdevfsNode::serviceIn(Client &c)
{
    const uint8_t endpoint = m_Device->identity().inEndpoint;
    PlannedFault fault;
    while (!c.pendingIn.empty()) {
        Urb u = c.pendingIn.front();
        if (!m_InHalted && takeFault(PlannedFault::Target::Bulk, endpoint, &fault)) {
            if (fault.kind == FaultKind::NoAnswer) {
                c.unanswered.push_back(u);
                c.pendingIn.pop_front();
                continue;
            }
            m_InHalted = true;
        }
        if (m_InHalted) {
            u.status = -EPIPE;
        } else {
            // One transfer takes what has arrived: the part ends it with a short packet.
            const int length = urbOf(u.urb)->buffer_length;
            const size_t n = u.buffer ? m_Device->bulkIn(u.buffer->data, size_t(length)) : 0;
            if (n == 0)
                return;
            u.actual = int(n);
        }
        c.pendingIn.pop_front();
        c.completed.push_back(u);
    }
}

long UsbdevfsNode::discard(Client &c, UMockdevIoctlData *arg, int *error)
{
    // The argument is the URB's address in the client itself.
    gulong address = 0;
    std::memcpy(&address, arg->data, std::min(sizeof address, size_t(arg->data_len)));
    for (auto *queue : {&c.pendingIn, &c.unanswered}) {
        for (auto it = queue->begin(); it != queue->end(); ++it) {
            if (it->urb->client_addr != address)
                continue;
            Urb u = *it;
            queue->erase(it);
            u.status = -ENOENT;
            u.actual = 0;
            c.completed.push_back(u);
            return 0;
        }
    }
    // Completed already (or never submitted): the kernel says EINVAL, the host reaps it.
    *error = EINVAL;
    return -1;
}

void UsbdevfsNode::reap(UMockdevIoctlClient *client, Client &c, UMockdevIoctlData *arg)
{
    serviceIn(c);
    if (!c.completed.empty()) {
        c.emptyReaps = 0;
        handOut(client, c, arg);
        return;
    }
    if (m_Gone || c.parkedReap) {
        umockdev_ioctl_client_complete(client, -1, m_Gone ? ENODEV : EAGAIN);
        return;
    }
    // umockdev keeps the client only while it handles the request: an answer given later
    // needs a reference of its own. Letting go of it only notes the client (onClientGone).
    c.parkedReap = client;
    g_object_ref(client);
    c.heldTicks = 0;
    c.parkTimer = g_timeout_source_new(kReapTickMs);
    auto *context = new std::pair<UsbdevfsNode *, UMockdevIoctlClient *>(this, client);
    g_source_set_callback(c.parkTimer, &UsbdevfsNode::onReapTick, context,
                          [](gpointer p) { delete static_cast<std::pair<UsbdevfsNode *, UMockdevIoctlClient *> *>(p); });
    // umockdev runs this handler with its own context as the thread's default.
    g_source_attach(c.parkTimer, g_main_context_get_thread_default());
}

gboolean UsbdevfsNode::onReapTick(gpointer context)
{
    const auto *target = static_cast<std::pair<UsbdevfsNode *, UMockdevIoctlClient *> *>(context);
    UsbdevfsNode *node = target->first;
    std::lock_guard<std::mutex> lock(node->m_Mutex);
    // A client whose file was closed meanwhile is gone, and its timer with it.
    node->pruneClosed();
    const auto it = node->m_Clients.find(target->second);
    if (it == node->m_Clients.end() || !it->second.parkedReap)
        return G_SOURCE_REMOVE;
    Client &c = it->second;
    node->serviceIn(c);
    const int hold = c.emptyReaps >= kIdleAfterEmptyReaps ? kIdleHoldTicks : kBusyHoldTicks;
    if (c.completed.empty() && !node->m_Gone && ++c.heldTicks < hold)
        return G_SOURCE_CONTINUE;
    c.emptyReaps = c.completed.empty() ? c.emptyReaps + 1 : 0;
    g_source_unref(c.parkTimer);  // it ends by returning G_SOURCE_REMOVE
    c.parkTimer = nullptr;
    c.parkedReap = nullptr;
    if (!c.completed.empty())
        node->handOut(it->first, c, umockdev_ioctl_client_get_arg(it->first));
    else
        umockdev_ioctl_client_complete(it->first, -1, node->m_Gone ? ENODEV : EAGAIN);
    g_object_unref(it->first);
    return G_SOURCE_REMOVE;
}

void UsbdevfsNode::handOut(UMockdevIoctlClient *client, Client &c, UMockdevIoctlData *arg)
{
    Urb u = c.completed.front();
    c.completed.pop_front();
    usbdevfs_urb *urb = urbOf(u.urb);
    urb->status = u.status;
    urb->actual_length = u.actual;
    // The reap writes the URB's own address where the client asked for it; umockdev copies the
    // URB and its buffer back into the client on the way.
    UMockdevIoctlData *slot = resolve(arg, 0, sizeof(void *));
    if (slot) {
        umockdev_ioctl_data_set_ptr(slot, 0, u.urb);
        umockdev_ioctl_client_complete(client, 0, 0);
        g_object_unref(slot);
    } else {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
    }
    release(u);
}

} // namespace pelsim
