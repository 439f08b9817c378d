#pragma once
// Failures an emulated USB bridge can be told to show, one at a time, at the USB level (the
// board behind it has faults of its own, board_options.h), and what the host has done to it.

#include <string>
#include <vector>

namespace pelsim {

enum class FaultKind {
    Stall,       // the transfer ends with STALL; a bulk endpoint stays halted until cleared
    NoAnswer,    // the device never completes the transfer: the host's time-out ends it
    IoctlError,  // the ioctl fails with an errno (a claim refused, a driver that will not let go)
};

struct PlannedFault {
    enum class Target { Control, Bulk, Ioctl };
    Target target = Target::Control;
    // bRequest of a control transfer, endpoint address of a bulk one, or the ioctl's request.
    unsigned long code = 0;
    FaultKind kind = FaultKind::Stall;
    int error = 0;  // errno of an IoctlError
    int skip = 0;   // matching operations that pass before the one that fails
};

// The host's side of a node: the interface claim and the kernel driver.
struct NodeView {
    bool claimed = false;
    bool kernelDriverBound = false;
    int clients = 0;  // open files
    bool gone = false;
};

// Parses a comma list for pelmora-usbsim (see its --help): "stall=0x1e", "stall=0x1e:1",
// "stall-in", "stall-out", "mute-out", "claim-busy", "detach-busy", each with an optional
// ":SKIP" (that many matching operations pass first). Returns false and names
// the first item it does not understand in error.
bool parseUsbFaults(const std::string &list, std::vector<PlannedFault> *faults, std::string *error);

} // namespace pelsim
