// pelmora-sim: the simulated Orbalo board behind a pseudo-terminal, so serial programs that
// know nothing of Pelmora (terminal programs, serial bootloader flashers) can talk to it.
// Linux only: the pty is this tool's business, the board itself stays portable.
#include "sim_board.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

volatile std::sig_atomic_t g_Stop = 0;
volatile std::sig_atomic_t g_ResetToBootloader = 0;
volatile std::sig_atomic_t g_ResetToApplication = 0;

void onSignal(int signal)
{
    if (signal == SIGUSR1)
        g_ResetToBootloader = 1;
    else if (signal == SIGUSR2)
        g_ResetToApplication = 1;
    else
        g_Stop = 1;
}

void usage(FILE *out)
{
    std::fprintf(out,
        "usage: pelmora-sim [options]\n"
        "Runs the simulated Orbalo Mini board (STM32F103, ROM bootloader, firmware output)\n"
        "behind a pseudo-terminal and prints the terminal's path on the first line of stdout.\n"
        "\n"
        "  --bootloader        start in the ROM bootloader (reset released with BOOT0 high)\n"
        "  --application       start the firmware in flash (default; silent if none)\n"
        "  --flash FILE        keep the flash in this raw 131,072-byte file (made erased if\n"
        "                      missing; written through, so it survives any end of this tool)\n"
        "  --timing MODE       realtime (default: 115200 baud, flash timings) or instant\n"
        "  --output MODE       text (default), tlv or silent: what the firmware prints\n"
        "  --line-ms N         one debug line every N ms (default 100; 0: back to back)\n"
        "  --faults LIST       board faults, as PELMORA_SIM_FAULTS (see the README), e.g.\n"
        "                      \"nack=data:3\", \"noise=5\", \"chatter=200\", \"mute\"\n"
        "  --link PATH         also make PATH a symbolic link to the terminal\n"
        "  --print-banner      print the banner the firmware in --flash FILE would show, exit\n"
        "  --help              this text\n"
        "\n"
        "A pseudo-terminal carries bytes only. It has no pins, and no parity: Linux clears\n"
        "PARENB on a pty, so a program cannot open it as 8E1. Behind the pty the bootloader\n"
        "therefore takes 8N1 framing as its line; point serial programs at it with their\n"
        "8N1 setting (for example stm32flash -m 8n1). The baud rate set on the pty is ignored;\n"
        "real-time timing runs the board at 115200.\n"
        "\n"
        "The pins map to signals of this process:\n"
        "  SIGUSR1   pulse RESET with BOOT0 high: restart into the ROM bootloader\n"
        "  SIGUSR2   pulse RESET with BOOT0 low: restart the firmware in flash\n"
        "  SIGINT, SIGTERM   end the tool (the flash file is already up to date)\n"
        "e.g.  kill -USR1 $(pidof pelmora-sim)\n"
        "\n"
        "Environment: PELMORA_SIM_TIMING, PELMORA_SIM_OUTPUT, PELMORA_SIM_FLASH and\n"
        "PELMORA_SIM_FAULTS are read first; the options above override them.\n");
}

// Latch bit 0 drives RESET and bit 1 BOOT0, both active at level 0.
void pulseReset(pelsim::SimBoard &board, bool bootloader)
{
    board.setLatch(bootloader ? 0x00 : 0x02);
    board.setLatch(bootloader ? 0x01 : 0x03);
}

bool setRaw(int fd)
{
    termios t{};
    if (tcgetattr(fd, &t) != 0)
        return false;
    cfmakeraw(&t);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

} // namespace

int main(int argc, char *argv[])
{
    pelsim::BoardOptions options = pelsim::SimBoard::optionsFromEnvironment();
    bool bootloader = false;
    bool printBanner = false;
    std::string link;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](const char *name) -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "pelmora-sim: %s needs a value\n", name);
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return 0;
        } else if (arg == "--bootloader") {
            bootloader = true;
        } else if (arg == "--application") {
            bootloader = false;
        } else if (arg == "--flash") {
            options.flashPath = value("--flash");
        } else if (arg == "--timing") {
            if (!pelsim::parseTiming(value("--timing"), options.timing)) {
                std::fprintf(stderr, "pelmora-sim: --timing takes realtime or instant\n");
                return 2;
            }
        } else if (arg == "--output") {
            if (!pelsim::parseOutput(value("--output"), options.output)) {
                std::fprintf(stderr, "pelmora-sim: --output takes text, tlv or silent\n");
                return 2;
            }
        } else if (arg == "--line-ms") {
            options.linePeriodUs = uint32_t(std::strtoul(value("--line-ms").c_str(), nullptr, 10) * 1000);
        } else if (arg == "--faults") {
            std::string bad;
            if (!pelsim::parseFaults(value("--faults"), options, &bad)) {
                std::fprintf(stderr, "pelmora-sim: fault \"%s\" not understood\n", bad.c_str());
                return 2;
            }
        } else if (arg == "--link") {
            link = value("--link");
        } else if (arg == "--print-banner") {
            printBanner = true;
        } else {
            std::fprintf(stderr, "pelmora-sim: unknown option %s\n", arg.c_str());
            usage(stderr);
            return 2;
        }
    }

    if (printBanner) {
        if (options.flashPath.empty()) {
            std::fprintf(stderr, "pelmora-sim: --print-banner needs --flash FILE\n");
            return 2;
        }
        options.timing = pelsim::Timing::Instant;
        pelsim::SimBoard board(options);
        std::printf("%s\n", board.banner().c_str());
        return 0;
    }

    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::fprintf(stderr, "pelmora-sim: no pseudo-terminal: %s\n", std::strerror(errno));
        return 1;
    }
    const char *slaveName = ptsname(master);
    // Held open here so the pty survives its clients coming and going, and raw so that no
    // line discipline echoes or translates bytes between the board and a client that does
    // not set the terminal up itself (cat).
    const int slave = slaveName ? open(slaveName, O_RDWR | O_NOCTTY) : -1;
    if (slave < 0 || !setRaw(slave)) {
        std::fprintf(stderr, "pelmora-sim: cannot set up %s: %s\n", slaveName ? slaveName : "pty",
                     std::strerror(errno));
        return 1;
    }
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    if (!link.empty()) {
        unlink(link.c_str());
        if (symlink(slaveName, link.c_str()) != 0)
            std::fprintf(stderr, "pelmora-sim: cannot link %s: %s\n", link.c_str(), std::strerror(errno));
    }

    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2})
        sigaction(s, &action, nullptr);

    pelsim::SimBoard board(options);
    pulseReset(board, bootloader);
    std::printf("%s\n", slaveName);
    std::fflush(stdout);

    std::vector<uint8_t> pending;
    size_t pendingAt = 0;
    uint8_t buffer[4096];
    while (!g_Stop) {
        if (g_ResetToBootloader) {
            g_ResetToBootloader = 0;
            pulseReset(board, true);
        }
        if (g_ResetToApplication) {
            g_ResetToApplication = 0;
            pulseReset(board, false);
        }
        pollfd p{master, POLLIN, 0};
        if (pendingAt < pending.size())
            p.events |= POLLOUT;
        // A millisecond is finer than any reply of the board needs.
        if (poll(&p, 1, 1) < 0 && errno != EINTR)
            break;
        if (p.revents & POLLIN) {
            const ssize_t n = read(master, buffer, sizeof buffer);
            if (n > 0)
                board.hostWrite(buffer, size_t(n), pelsim::kLine8E1);
        }
        if (pendingAt >= pending.size()) {
            pending.clear();
            pendingAt = 0;
            const size_t n = board.hostAvailable();
            if (n > 0) {
                pending.resize(n);
                pending.resize(board.hostRead(pending.data(), n));
            }
        }
        if (pendingAt < pending.size()) {
            const ssize_t n = write(master, pending.data() + pendingAt, pending.size() - pendingAt);
            if (n > 0)
                pendingAt += size_t(n);
        }
    }
    if (!link.empty())
        unlink(link.c_str());
    close(slave);
    close(master);
    return 0;
}
