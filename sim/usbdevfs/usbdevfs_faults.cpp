#include "usbdevfs_faults.h"

#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>

#include <cerrno>
#include <cstdlib>

namespace pelsim {

namespace {

// The default bridge's bulk endpoints (a CP2102N's).
constexpr unsigned kInEndpoint = 0x82;
constexpr unsigned kOutEndpoint = 0x02;

bool number(const std::string &text, unsigned long *value)
{
    if (text.empty())
        return false;
    char *end = nullptr;
    *value = std::strtoul(text.c_str(), &end, 0);
    return end && *end == '\0';
}

} // namespace

bool parseUsbFaults(const std::string &list, std::vector<PlannedFault> *faults, std::string *error)
{
    size_t start = 0;
    while (start <= list.size()) {
        const size_t comma = list.find(',', start);
        const std::string item = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        start = comma == std::string::npos ? list.size() + 1 : comma + 1;
        if (item.empty())
            continue;
        // An optional ":SKIP" lets that many matching operations pass first.
        unsigned long skip = 0;
        const size_t colon = item.rfind(':');
        bool ok = colon == std::string::npos || number(item.substr(colon + 1), &skip);
        const std::string body = item.substr(0, colon);
        const size_t equals = body.find('=');
        const std::string name = body.substr(0, equals);
        const std::string value = equals == std::string::npos ? std::string() : body.substr(equals + 1);
        PlannedFault fault;
        fault.skip = int(skip);
        if (name == "stall") {
            ok = ok && number(value, &fault.code) && fault.code <= 0xFF;
        } else if (name == "stall-in" || name == "stall-out" || name == "mute-out") {
            ok = ok && value.empty();
            fault.target = PlannedFault::Target::Bulk;
            fault.code = name == "stall-in" ? kInEndpoint : kOutEndpoint;
            fault.kind = name == "mute-out" ? FaultKind::NoAnswer : FaultKind::Stall;
        } else if (name == "claim-busy" || name == "detach-busy") {
            ok = ok && value.empty();
            fault.target = PlannedFault::Target::Ioctl;
            fault.code = name == "claim-busy" ? USBDEVFS_CLAIMINTERFACE : USBDEVFS_IOCTL;
            fault.kind = FaultKind::IoctlError;
            fault.error = EBUSY;
        } else {
            ok = false;
        }
        if (!ok) {
            if (error)
                *error = item;
            return false;
        }
        faults->push_back(fault);
    }
    return true;
}

} // namespace pelsim
