#pragma once
// Emulated CP210x bridges on an emulated Linux USB bus: a umockdev testbed whose sysfs lists
// each bridge (VID:PID, strings, bus and port, descriptors) and whose /dev/bus/usb nodes are
// answered by UsbdevfsNode, so an unmodified libusb enumerates, opens and drives them. Bridges
// can be pulled and plugged again (with "remove" and "add" uevents for libusb's hot-plug).
//
// The process that uses the bridges must run under umockdev's preload library (linked in, or
// LD_PRELOAD for a child started with this object's environment), and the bus must exist
// before libusb is started. Tear down in this order: the libusb context, then the bus.

#include "cp210x_device.h"
#include "usbdevfs_faults.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace pelsim {

class UsbdevfsBus {
public:
    struct BridgeSetup {
        Cp210xDevice::Identity identity;
        std::shared_ptr<SerialPeer> peer;
        uint8_t bus = 1;
        uint8_t port = 0;  // 0: the next free port of the bus
        // The kernel's cp210x serial driver holds the interface until the host detaches it.
        bool kernelDriverBound = true;
    };

    UsbdevfsBus();
    ~UsbdevfsBus();
    UsbdevfsBus(const UsbdevfsBus &) = delete;
    UsbdevfsBus &operator=(const UsbdevfsBus &) = delete;

    // False when the testbed could not be made; the reason is in error().
    bool ready() const;
    const std::string &error() const;
    // Where the testbed lives; the preloaded process finds it through UMOCKDEV_DIR.
    std::string rootDir() const;

    // Plugs a bridge in; returns its id (stable for the bridge's life), -1 on failure.
    int plugIn(BridgeSetup setup);
    // Pulls the bridge: its transfers end, its node answers ENODEV, libusb hears "remove".
    void unplug(int id);
    // Plugs it in again at the same socket under a new address: a new device to the host.
    void replug(int id);
    bool plugged(int id) const;
    // Pulls every bridge whose peer let go of its cable (a board fault); returns how many.
    int unplugDetached();

    // The bridge's device model (null for an unknown id); it lives as long as the bus.
    Cp210xDevice *device(int id) const;
    // The host's side of the bridge's current node (of its last one when unplugged).
    NodeView view(int id) const;
    // Makes the bridge's current node fail one operation (see usbdevfs_faults.h).
    void plan(int id, const PlannedFault &fault);

private:
    struct Impl;
    std::unique_ptr<Impl> m_Impl;
};

} // namespace pelsim
