#pragma once
// What the tool asks of the terminal and the process: is an output a terminal, how wide it is,
// and Ctrl-C (SIGINT), SIGTERM or a closed terminal (SIGHUP) noted for the event loop to act on.

#include <cstdio>

bool isTerminal(std::FILE *stream);
// Columns and rows of the terminal on stdout; 80 by 24 when it cannot be told.
int terminalColumns();
int terminalRows();

// Installs the handlers; they only note the signal.
void catchInterrupts();
// The signal noted since the last call (SIGINT, SIGTERM, SIGHUP), or 0.
int takeInterrupt();
