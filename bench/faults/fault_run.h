#pragma once
// One case of the fault matrix, run in this process: the whole update against the simulated
// board with the case's faults, the host's interference at its moment, and the verdict.

#include "fault_cases.h"

// Outcomes, as the exit status of the process that ran the case.
enum Outcome { TrueSuccess = 0, FalseSuccess = 1, ReportedFailure = 2, Hang = 3, DoubleReport = 4 };

// Prints one line "verdict outcome=N cause=ok|wrong named=... passes=N ms=N reports=..." and
// returns the outcome. log: the loader's log lines go to stderr.
int runFaultCase(const FaultCase &c, bool log);

// The red lines of console text (the failure ending's own line left out), each as a Cause.
unsigned namedCauses(const QByteArray &console, QStringList *lines = nullptr);
