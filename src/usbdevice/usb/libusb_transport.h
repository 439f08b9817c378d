#pragma once
// The USB transport over libusb-1.0: synchronous control and bulk OUT transfers, queued
// asynchronous bulk IN transfers, and a background thread that runs libusb's event loop for
// them and for hot-plug notices.

#include "usb_transport.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

struct libusb_context;
struct libusb_device;

namespace pelusb {

class LibusbTransport : public UsbTransport {
public:
    LibusbTransport();
    ~LibusbTransport() override;

    bool available() const override { return m_Context != nullptr; }
    UsbResult enumerate(std::vector<UsbDeviceRecord> *out) override;
    UsbResult open(const UsbDeviceRecord &record, std::unique_ptr<UsbLink> *link) override;
    bool watchDepartures(std::function<void(const std::string &key)> departed) override;

    // Called by libusb on the event thread.
    void deviceLeft(const std::string &key);

private:
    // Visits the devices libusb lists now until visit returns false; the list's own result.
    UsbResult forEachDevice(const std::function<bool(libusb_device *)> &visit);
    void runEvents();

    libusb_context *m_Context = nullptr;
    std::atomic<bool> m_Running{false};
    std::thread m_EventThread;
    bool m_HotplugRegistered = false;
    int m_HotplugHandle = 0;
    std::mutex m_DepartedMutex;  // held while the notice runs, so clearing it waits for that
    std::function<void(const std::string &key)> m_Departed;
};

// libusb's error and transfer status codes as transport results.
UsbResult usbResultFromLibusb(int error);
UsbResult usbResultFromTransferStatus(int status);

} // namespace pelusb
