#pragma once
// Ctrl-C in a terminal, closing that terminal (SIGHUP) and a service manager's SIGTERM end the
// program the way the close button does, so the settings are written, a waiting client is
// answered and the shared block's status byte is cleared.

class QWidget;

// Installs the handlers, which only note the signal; called first thing, so a signal during
// start-up is not fatal either.
void catchTerminationSignals();

// Closes window once a noted signal is seen (checked by a timer in the GUI thread).
void closeOnTerminationSignals(QWidget *window);
