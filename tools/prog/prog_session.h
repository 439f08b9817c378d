#pragma once
// One programming request from the command line, start to end.

#include <QString>

#include <csignal>

enum ProgExit {
    kExitWritten = 0,
    kExitFailed = 1,
    kExitUsage = 2,
    kExitTimeout = 3,
    kExitNoSharedMemory = 4,
    kExitInterrupted = 130,
};

// Set by the SIGINT/SIGTERM handler; the session polls it.
extern volatile std::sig_atomic_t g_StopRequested;

int runProgramming(const QString &key, const QString &hexPath, double timeoutSeconds);
int runStatus(const QString &key);
