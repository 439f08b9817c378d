#pragma once
// The system's diagnostic log: one coloured line per call on the framework's debug channel.
// Callable from any thread; no state, no lock, no allocation for the line itself.

#include <QString>

#if defined(__GNUC__)
#define PELMORA_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define PELMORA_PRINTF(fmt, args)
#endif

// Longest line written, terminating zero excluded.
constexpr int kLogLineMax = 2047;

// "STATUS[<green>Zorvane<reset>]->Function: message"; returns the whole line.
QString logStatus(const char *function, const char *format, ...) PELMORA_PRINTF(2, 3);

// "<red>ERROR[<green>Zorvane<red>]->Function: message<reset>".
void logError(const char *function, const char *format, ...) PELMORA_PRINTF(2, 3);
