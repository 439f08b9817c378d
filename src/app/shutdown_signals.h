#pragma once
// Ctrl-C in a terminal and a service manager's SIGTERM end the program the way the close
// button does, so the settings are written and the shared block's status byte is cleared.

class QWidget;

// Closes window when SIGINT or SIGTERM arrives (checked by a timer in the GUI thread; the
// handler itself only sets a flag).
void closeOnTerminationSignals(QWidget *window);
