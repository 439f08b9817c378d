#include "terminal.h"

#include <csignal>

#if defined(Q_OS_UNIX) || defined(__unix__)
#include <sys/ioctl.h>
#include <unistd.h>
#define PELMORA_FLASH_UNIX 1
#endif

namespace {

volatile std::sig_atomic_t g_Signal = 0;

extern "C" void onInterrupt(int signal)
{
    g_Signal = signal;
}

} // namespace

bool isTerminal(std::FILE *stream)
{
#if defined(PELMORA_FLASH_UNIX)
    return isatty(fileno(stream)) == 1;
#else
    (void)stream;
    return false;
#endif
}

int terminalColumns()
{
#if defined(PELMORA_FLASH_UNIX)
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col >= 20)
        return size.ws_col;
#endif
    return 80;
}

int terminalRows()
{
#if defined(PELMORA_FLASH_UNIX)
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row >= 2)
        return size.ws_row;
#endif
    return 24;
}

void catchInterrupts()
{
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
#if defined(PELMORA_FLASH_UNIX)
    // A closed terminal ends the jobs as Ctrl-C does, with the boards released.
    std::signal(SIGHUP, onInterrupt);
    // A reader that goes away (| head) must not kill a write half-way through: output to it
    // just fails from then on.
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

int takeInterrupt()
{
    const int signal = g_Signal;
    g_Signal = 0;
    return signal;
}
