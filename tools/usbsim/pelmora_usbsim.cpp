// pelmora-usbsim: runs a command against emulated CP210x bridges, each with the simulated
// Orbalo board behind it. The command sees them through /dev/bus/usb and /sys as a libusb
// program sees real ones (umockdev's preload library redirects both into this tool's testbed,
// whose device nodes this process answers), so the real `pelmora` with PELMORA_BRIDGE=usb
// drives its whole libusb backend without a bridge on the machine. Linux only.
#include "sim_board_factory.h"
#include "usbdevfs_bus.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char **environ;

namespace {

volatile std::sig_atomic_t g_Child = 0;

void forward(int signal)
{
    if (g_Child > 0)
        kill(pid_t(g_Child), signal);
}

void usage(FILE *out)
{
    std::fprintf(out,
        "usage: pelmora-usbsim [options] -- COMMAND [ARGUMENT...]\n"
        "Runs COMMAND with emulated CP210x USB-to-UART bridges (USB 10c4:ea60, product\n"
        "\"Orbalo Mini\", serial numbers 0001, 0002, ... on bus 1, ports 1, 2, ...), each with a\n"
        "simulated Orbalo Mini board behind its UART and GPIO latch. COMMAND runs under\n"
        "umockdev's preload library and finds only these bridges in /dev/bus/usb and /sys, so\n"
        "a libusb program drives them as real ones, e.g.\n"
        "    PELMORA_BRIDGE=usb pelmora-usbsim -- pelmora\n"
        "\n"
        "  --bridges N     how many bridges (default 1)\n"
        "  --faults LIST   USB faults of every bridge, comma separated, each once:\n"
        "                  stall=REQ     the next control request REQ (e.g. 0x1e SET_BAUDRATE)\n"
        "                                answers STALL\n"
        "                  stall-in, stall-out   the next bulk IN / OUT transfer stalls\n"
        "                  mute-out      the next bulk OUT transfer is never answered\n"
        "                  claim-busy    the next claim of the interface fails (EBUSY)\n"
        "                  detach-busy   the kernel driver refuses to let go once (EBUSY)\n"
        "                  ITEM:K lets K matching operations pass first\n"
        "  --help          this text\n"
        "\n"
        "The boards read PELMORA_SIM_TIMING, PELMORA_SIM_OUTPUT, PELMORA_SIM_FLASH (bridge k > 1\n"
        "gets FILE.k) and PELMORA_SIM_FAULTS; the board fault unplug=K pulls the bridge off the\n"
        "bus, as a USB cable coming out. Exit status: COMMAND's (128 + signal if it was killed).\n"
        "SIGINT and SIGTERM are passed on to COMMAND.\n");
}

// The environment of the command: umockdev's preload library in front, and ASan told that it
// does not come first (an instrumented command would refuse to start otherwise).
std::vector<std::string> commandEnvironment(const std::string &root)
{
    std::vector<std::string> env;
    std::string preload = PELMORA_UMOCKDEV_PRELOAD;
    std::string asan = "verify_asan_link_order=0";
    for (char **e = environ; *e; ++e) {
        const std::string entry = *e;
        if (entry.rfind("LD_PRELOAD=", 0) == 0)
            preload += ":" + entry.substr(11);
        else if (entry.rfind("ASAN_OPTIONS=", 0) == 0)
            asan = entry.substr(13) + ":" + asan;
        else if (entry.rfind("UMOCKDEV_DIR=", 0) != 0)
            env.push_back(entry);
    }
    env.push_back("LD_PRELOAD=" + preload);
    env.push_back("ASAN_OPTIONS=" + asan);
    env.push_back("UMOCKDEV_DIR=" + root);
    return env;
}

} // namespace

int main(int argc, char **argv)
{
    int bridges = 1;
    std::vector<pelsim::PlannedFault> faults;
    int first = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") {
            first = i + 1;
            break;
        }
        if (arg == "--help") {
            usage(stdout);
            return 0;
        }
        if (arg == "--bridges" && i + 1 < argc) {
            bridges = std::atoi(argv[++i]);
        } else if (arg == "--faults" && i + 1 < argc) {
            std::string bad;
            if (!pelsim::parseUsbFaults(argv[++i], &faults, &bad)) {
                std::fprintf(stderr, "pelmora-usbsim: fault \"%s\" not understood (see --help)\n", bad.c_str());
                return 2;
            }
        } else {
            usage(stderr);
            return 2;
        }
    }
    if (first < 0 || first >= argc || bridges < 1 || bridges > 16) {
        usage(stderr);
        return 2;
    }

    pelsim::UsbdevfsBus bus;
    std::vector<int> ids;
    for (int i = 0; i < bridges && bus.ready(); ++i) {
        pelsim::UsbdevfsBus::BridgeSetup setup;
        char serial[16];
        std::snprintf(serial, sizeof serial, "%04d", i + 1);
        setup.identity.serialNumber = serial;
        setup.peer = pelsim::createDefaultBoard(i);
        ids.push_back(bus.plugIn(setup));
        for (const pelsim::PlannedFault &fault : faults)
            bus.plan(ids.back(), fault);
    }
    if (!bus.ready()) {
        std::fprintf(stderr, "pelmora-usbsim: cannot emulate USB: %s\n", bus.error().c_str());
        return 2;
    }

    std::vector<std::string> env = commandEnvironment(bus.rootDir());
    std::vector<char *> envp;
    for (std::string &entry : env)
        envp.push_back(&entry[0]);
    envp.push_back(nullptr);
    struct sigaction action {};
    action.sa_handler = forward;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    pid_t child = 0;
    const int spawned = posix_spawnp(&child, argv[first], nullptr, nullptr, argv + first, envp.data());
    if (spawned != 0) {
        std::fprintf(stderr, "pelmora-usbsim: cannot start %s: %s\n", argv[first], std::strerror(spawned));
        return 127;
    }
    g_Child = child;

    int status = 0;
    for (;;) {
        const pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child)
            break;
        if (done < 0 && errno != EINTR)
            return 2;
        // A board that pulled its cable takes its bridge off the bus.
        bus.unplugDetached();
        usleep(10000);
    }
    g_Child = 0;
    // What the command left the bridges in: a program that closes its bridge gives the
    // interface back to the kernel's serial driver and disables the UART.
    for (size_t i = 0; i < ids.size(); ++i) {
        const pelsim::NodeView host = bus.view(ids[i]);
        std::fprintf(stderr, "pelmora-usbsim: bridge %04zu: %s, UART %s, interface %s, kernel driver %s\n", i + 1,
                     bus.plugged(ids[i]) ? "plugged" : "unplugged",
                     bus.device(ids[i])->state().uartEnabled ? "enabled" : "disabled",
                     host.claimed ? "claimed" : "released", host.kernelDriverBound ? "bound" : "detached");
    }
    // The command's libusb is gone with it, so the bus may go now.
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}
