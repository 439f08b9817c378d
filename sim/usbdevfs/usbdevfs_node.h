#pragma once
// One emulated /dev/bus/usb/BBB/DDD node: answers the usbdevfs ioctls that libusb issues on
// it the way the kernel does, with a Cp210xDevice as the device. umockdev calls handleIoctl on
// its own thread for every ioctl of every process that opened the node; each opened file is a
// client with its own URBs and interface claims, as in the kernel; closing the file drops them.

#include "cp210x_device.h"
#include "usbdevfs_faults.h"

#include <umockdev.h>

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace pelsim {

class UsbdevfsNode {
public:
    UsbdevfsNode(std::shared_ptr<Cp210xDevice> device, bool kernelDriverBound);
    ~UsbdevfsNode();
    UsbdevfsNode(const UsbdevfsNode &) = delete;
    UsbdevfsNode &operator=(const UsbdevfsNode &) = delete;

    // The handler object umockdev attaches to the node; its signals lead here.
    UMockdevIoctlBase *handler() const { return m_Handler; }

    // The device was pulled out: queued URBs end with -ESHUTDOWN and can still be reaped,
    // every other ioctl answers ENODEV from now on.
    void unplug();

    void plan(const PlannedFault &fault);
    NodeView view() const;

private:
    // The UART of a single-port part.
    static constexpr unsigned kInterface = 0;

    struct Urb {
        UMockdevIoctlData *urb = nullptr;     // the client's struct usbdevfs_urb
        UMockdevIoctlData *buffer = nullptr;  // its data buffer (null when empty)
        uint8_t type = 0;
        uint8_t endpoint = 0;
        int status = 0;
        int actual = 0;
    };
    struct Client {
        std::deque<Urb> pendingIn;   // bulk IN waiting for the UART's bytes
        std::deque<Urb> unanswered;  // never completed by the device (a fault): the host gives up
        std::deque<Urb> completed;   // ready to be reaped, in completion order
        UMockdevIoctlClient *parkedReap = nullptr;  // a reap held back while nothing is done
        GSource *parkTimer = nullptr;
        int heldTicks = 0;
        int emptyReaps = 0;  // in a row: the host is idle
        bool claimed = false;
    };

    static gboolean onIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer self);
    static void onClientGone(gpointer self, GObject *client);
    static gboolean onReapTick(gpointer context);

    void handle(UMockdevIoctlClient *client);
    // The ioctls other than the reap; the result, or -1 with *error set.
    long dispatch(Client &c, unsigned long request, UMockdevIoctlData *arg, int *error);
    long submit(Client &c, UMockdevIoctlData *arg, int *error);
    void carryOut(Client &c, Urb urb, int *error);
    long discard(Client &c, UMockdevIoctlData *arg, int *error);
    long kernelDriverRequest(UMockdevIoctlData *arg, int *error);
    int claim(Client &c, unsigned interfaceNumber);
    void reap(UMockdevIoctlClient *client, Client &c, UMockdevIoctlData *arg);
    void handOut(UMockdevIoctlClient *client, Client &c, UMockdevIoctlData *arg);
    long driverQuery(UMockdevIoctlData *arg, int *error);
    void serviceIn(Client &c);
    // The planned fault for this operation, if one is due now.
    bool takeFault(PlannedFault::Target target, unsigned long code, PlannedFault *fault);
    void markGone();
    bool claimedByAny() const;
    void pruneClosed();
    static void release(Urb &urb);
    static void drop(Client &c);

    const std::shared_ptr<Cp210xDevice> m_Device;
    UMockdevIoctlBase *m_Handler = nullptr;

    mutable std::mutex m_Mutex;  // a plain pthread mutex: ThreadSanitizer sees it
    std::map<UMockdevIoctlClient *, Client> m_Clients;
    bool m_KernelDriverBound;
    bool m_Gone = false;
    bool m_InHalted = false;
    bool m_OutHalted = false;
    std::vector<PlannedFault> m_Faults;
    // Clients umockdev has let go of, pruned by the next ioctl.
    mutable std::mutex m_ClosedMutex;
    std::vector<UMockdevIoctlClient *> m_Closed;
};

} // namespace pelsim
