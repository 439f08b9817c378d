#include "usb_transport.h"

#include <algorithm>
#include <tuple>

namespace pelusb {

UsbLink::~UsbLink() = default;
UsbTransport::~UsbTransport() = default;

const char *usbResultName(UsbResult result)
{
    switch (result) {
    case UsbResult::Ok: return "ok";
    case UsbResult::Timeout: return "timeout";
    case UsbResult::Stall: return "stall";
    case UsbResult::NoDevice: return "no device";
    case UsbResult::PipeError: return "pipe error";
    case UsbResult::Access: return "access denied";
    case UsbResult::Busy: return "busy";
    case UsbResult::NotSupported: return "not supported";
    case UsbResult::NotFound: return "not found";
    case UsbResult::Cancelled: return "cancelled";
    case UsbResult::Other: break;
    }
    return "USB error";
}

static std::string portPath(const std::vector<uint8_t> &ports)
{
    std::string path;
    for (size_t i = 0; i < ports.size(); ++i) {
        if (i)
            path += '.';
        path += std::to_string(ports[i]);
    }
    return path.empty() ? std::string("root") : path;
}

std::string deviceKey(const UsbDeviceRecord &record)
{
    return std::to_string(record.bus) + '-' + portPath(record.ports) + '@' + std::to_string(record.address);
}

std::string deviceLocation(const UsbDeviceRecord &record)
{
    return "bus " + std::to_string(record.bus) + " port " + portPath(record.ports);
}

bool locationLess(const UsbDeviceRecord &a, const UsbDeviceRecord &b)
{
    return std::tie(a.bus, a.ports, a.address) < std::tie(b.bus, b.ports, b.address);
}

} // namespace pelusb
