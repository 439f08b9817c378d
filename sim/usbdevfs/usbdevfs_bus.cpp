#include "usbdevfs_bus.h"

#include "usbdevfs_node.h"

#include <cstdio>
#include <mutex>

namespace pelsim {

namespace {

std::string hex(const std::vector<uint8_t> &bytes)
{
    std::string text;
    char digits[3];
    for (uint8_t b : bytes) {
        std::snprintf(digits, sizeof digits, "%02X", b);
        text += digits;
    }
    return text;
}

// A sysfs attribute value: backslashes and line breaks escaped as umockdev's format wants.
std::string escaped(const std::string &text)
{
    std::string out;
    for (char c : text) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

struct Bridge {
    int id = 0;
    UsbdevfsBus::BridgeSetup setup;
    std::shared_ptr<Cp210xDevice> device;
    std::shared_ptr<UsbdevfsNode> node;  // of the current (or last) plug-in
    std::string sysfsPath;
    uint8_t address = 0;
    bool plugged = false;
};

} // namespace

struct UsbdevfsBus::Impl {
    UMockdevTestbed *testbed = nullptr;
    std::string error;
    mutable std::mutex mutex;
    std::vector<Bridge> bridges;
    // Every node ever attached: a process may hold an unplugged one open until it closes it,
    // and detaching a node under an open file would leave that file hanging.
    std::vector<std::pair<std::string, std::shared_ptr<UsbdevfsNode>>> attached;
    uint8_t nextAddress[256] = {};
    int nextId = 1;

    Bridge *find(int id)
    {
        for (Bridge &bridge : bridges)
            if (bridge.id == id)
                return &bridge;
        return nullptr;
    }
    std::shared_ptr<UsbdevfsNode> nodeOf(int id)
    {
        std::lock_guard<std::mutex> lock(mutex);
        const Bridge *bridge = find(id);
        return bridge ? bridge->node : nullptr;
    }
    bool attach(Bridge &bridge);
    void pull(Bridge &bridge);
};

bool UsbdevfsBus::Impl::attach(Bridge &bridge)
{
    const BridgeSetup &setup = bridge.setup;
    const Cp210xDevice::Identity &id = setup.identity;
    uint8_t &next = nextAddress[setup.bus];
    // Address 1 is the root hub's; the kernel hands out the following ones in turn.
    next = next < 2 || next >= 127 ? 2 : next;
    bridge.address = next++;
    char node[64];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", setup.bus, bridge.address);
    bridge.sysfsPath = "/sys/devices/pci0000:00/0000:00:14.0/usb" + std::to_string(setup.bus) + "/" +
                       std::to_string(setup.bus) + "-" + std::to_string(setup.port);
    bridge.node = std::make_shared<UsbdevfsNode>(bridge.device, setup.kernelDriverBound);
    bridge.device->powerUp();

    GError *gerror = nullptr;
    // The handler must be there before the node appears, or the node is a plain file.
    if (!umockdev_testbed_attach_ioctl(testbed, node, bridge.node->handler(), &gerror)) {
        error = std::string("attaching ") + node + ": " + (gerror ? gerror->message : "failed");
        g_clear_error(&gerror);
        return false;
    }
    attached.emplace_back(node, bridge.node);
    char text[2048];
    std::snprintf(text, sizeof text,
                  "P: %s\nN: %s\n"
                  "E: DEVNAME=%s\nE: DEVTYPE=usb_device\nE: DRIVER=usb\nE: SUBSYSTEM=usb\n"
                  "E: PRODUCT=%x/%x/100\nE: TYPE=0/0/0\nE: BUSNUM=%03u\nE: DEVNUM=%03u\n"
                  "E: MAJOR=189\nE: MINOR=%u\n"
                  "A: busnum=%u\nA: devnum=%u\nA: devpath=%u\nA: idVendor=%04x\nA: idProduct=%04x\n"
                  "A: bConfigurationValue=1\nA: bNumInterfaces= 1\nA: speed=12\n",
                  bridge.sysfsPath.c_str() + 4, node + 5, node, id.vendorId, id.productId, setup.bus,
                  bridge.address, (setup.bus - 1u) * 128u + bridge.address - 1u, setup.bus, bridge.address, setup.port,
                  id.vendorId, id.productId);
    std::string description = text;
    description += "A: manufacturer=" + escaped(id.manufacturer) + "\nA: product=" + escaped(id.product) + "\n";
    if (!id.serialNumber.empty())
        description += "A: serial=" + escaped(id.serialNumber) + "\n";
    description += "H: descriptors=" + hex(bridge.device->descriptors()) + "\n";
    // Adding announces the device with an "add" uevent.
    if (!umockdev_testbed_add_from_string(testbed, description.c_str(), &gerror)) {
        error = std::string("adding ") + node + ": " + (gerror ? gerror->message : "failed");
        g_clear_error(&gerror);
        return false;
    }
    bridge.plugged = true;
    return true;
}

void UsbdevfsBus::Impl::pull(Bridge &bridge)
{
    if (!bridge.plugged)
        return;
    bridge.plugged = false;
    bridge.node->unplug();
    // The uevent reads the device's properties, so it goes out before the device is removed.
    umockdev_testbed_uevent(testbed, bridge.sysfsPath.c_str(), "remove");
    umockdev_testbed_remove_device(testbed, bridge.sysfsPath.c_str());
}

UsbdevfsBus::UsbdevfsBus() : m_Impl(std::make_unique<Impl>())
{
    m_Impl->testbed = umockdev_testbed_new();
    if (!m_Impl->testbed)
        m_Impl->error = "umockdev could not make a testbed";
}

UsbdevfsBus::~UsbdevfsBus()
{
    if (!m_Impl->testbed)
        return;
    for (auto &entry : m_Impl->attached)
        umockdev_testbed_detach_ioctl(m_Impl->testbed, entry.first.c_str(), nullptr);
    g_object_unref(m_Impl->testbed);
}

bool UsbdevfsBus::ready() const
{
    return m_Impl->testbed && m_Impl->error.empty();
}

const std::string &UsbdevfsBus::error() const
{
    return m_Impl->error;
}

std::string UsbdevfsBus::rootDir() const
{
    if (!m_Impl->testbed)
        return {};
    gchar *dir = umockdev_testbed_get_root_dir(m_Impl->testbed);
    std::string root = dir ? dir : "";
    g_free(dir);
    return root;
}

int UsbdevfsBus::plugIn(BridgeSetup setup)
{
    std::lock_guard<std::mutex> lock(m_Impl->mutex);
    if (!m_Impl->testbed)
        return -1;
    if (setup.port == 0) {
        uint8_t highest = 0;
        for (const Bridge &other : m_Impl->bridges)
            if (other.setup.bus == setup.bus && other.setup.port > highest)
                highest = other.setup.port;
        setup.port = uint8_t(highest + 1);
    }
    Bridge bridge;
    bridge.id = m_Impl->nextId++;
    bridge.device = std::make_shared<Cp210xDevice>(setup.identity, setup.peer);
    bridge.setup = std::move(setup);
    if (!m_Impl->attach(bridge))
        return -1;
    m_Impl->bridges.push_back(bridge);
    return bridge.id;
}

void UsbdevfsBus::unplug(int id)
{
    std::lock_guard<std::mutex> lock(m_Impl->mutex);
    if (Bridge *bridge = m_Impl->find(id))
        m_Impl->pull(*bridge);
}

void UsbdevfsBus::replug(int id)
{
    std::lock_guard<std::mutex> lock(m_Impl->mutex);
    Bridge *bridge = m_Impl->find(id);
    if (!bridge || bridge->plugged)
        return;
    if (bridge->setup.peer)
        bridge->setup.peer->reattach();
    m_Impl->attach(*bridge);
}

bool UsbdevfsBus::plugged(int id) const
{
    std::lock_guard<std::mutex> lock(m_Impl->mutex);
    const Bridge *bridge = m_Impl->find(id);
    return bridge && bridge->plugged;
}

int UsbdevfsBus::unplugDetached()
{
    std::lock_guard<std::mutex> lock(m_Impl->mutex);
    int pulled = 0;
    for (Bridge &bridge : m_Impl->bridges) {
        if (bridge.plugged && bridge.setup.peer && bridge.setup.peer->detached()) {
            m_Impl->pull(bridge);
            ++pulled;
        }
    }
    return pulled;
}

Cp210xDevice *UsbdevfsBus::device(int id) const
{
    std::lock_guard<std::mutex> lock(m_Impl->mutex);
    const Bridge *bridge = m_Impl->find(id);
    return bridge ? bridge->device.get() : nullptr;
}

NodeView UsbdevfsBus::view(int id) const
{
    const std::shared_ptr<UsbdevfsNode> node = m_Impl->nodeOf(id);
    return node ? node->view() : NodeView{};
}

void UsbdevfsBus::plan(int id, const PlannedFault &fault)
{
    if (const std::shared_ptr<UsbdevfsNode> node = m_Impl->nodeOf(id))
        node->plan(fault);
}

} // namespace pelsim
