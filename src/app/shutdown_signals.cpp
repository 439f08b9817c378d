#include "app/shutdown_signals.h"

#include "app/log.h"

#include <QTimer>
#include <QWidget>

#include <csignal>

namespace {

volatile std::sig_atomic_t g_Signal = 0;

extern "C" void onTerminationSignal(int signal)
{
    g_Signal = signal;
}

} // namespace

void catchTerminationSignals()
{
    std::signal(SIGINT, onTerminationSignal);
    std::signal(SIGTERM, onTerminationSignal);
#if defined(SIGHUP)
    // The terminal the program was started from was closed.
    std::signal(SIGHUP, onTerminationSignal);
#endif
#if defined(SIGXFSZ)
    // A write over the file-size limit then fails with EFBIG, which the writers handle,
    // instead of ending the program in the middle of it.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
}

void closeOnTerminationSignals(QWidget *window)
{
    auto *timer = new QTimer(window);
    QObject::connect(timer, &QTimer::timeout, window, [window, timer] {
        const int signal = g_Signal;
        if (signal == 0)
            return;
        g_Signal = 0;
        timer->stop();
        logStatus("closeOnTerminationSignals", "Signal %d, closing", signal);
        window->close();
    });
    // A tenth of a second is quick enough for a user and costs nothing at idle.
    timer->start(100);
}
