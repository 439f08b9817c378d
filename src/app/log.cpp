#include "log.h"

#include <QMessageLogger>

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

constexpr const char *kTag = "Zorvane";
constexpr const char *kReset = "\x1b[0m";
constexpr int kResetLen = 4;

// Length at which a text cut at `limit` bytes ends on a whole UTF-8 character.
int utf8Boundary(const char *buf, int limit)
{
    int lead = limit - 1;
    while (lead > 0 && (static_cast<unsigned char>(buf[lead]) & 0xC0) == 0x80)
        --lead;
    if (lead < 0)
        return limit;
    const unsigned char c = static_cast<unsigned char>(buf[lead]);
    const int length = c < 0x80 ? 1 : (c >> 5) == 0x06 ? 2 : (c >> 4) == 0x0E ? 3 : (c >> 3) == 0x1E ? 4 : 1;
    return lead + length > limit ? lead : limit;
}

// Formats prefix and message into buf (kLogLineMax + 1 bytes); reserve keeps room at the end
// for a suffix. Returns the length written.
int formatLine(char *buf, int reserve, const char *prefixFormat, const char *function,
               const char *format, va_list args)
{
    const int limit = kLogLineMax - reserve;  // usable characters before the suffix
    int len = std::snprintf(buf, size_t(limit) + 1, prefixFormat, kTag, function ? function : "");
    if (len < 0)
        len = 0;
    if (len > limit)
        len = utf8Boundary(buf, limit);
    buf[len] = '\0';
    if (len < limit) {
        int msg = std::vsnprintf(buf + len, size_t(limit - len) + 1, format ? format : "", args);
        if (msg > 0)
            len = (len + msg > limit) ? utf8Boundary(buf, limit) : len + msg;
        buf[len] = '\0';
    }
    return len;
}

} // namespace

QString logStatus(const char *function, const char *format, ...)
{
    char line[kLogLineMax + 1];
    va_list args;
    va_start(args, format);
    const int len = formatLine(line, 0, "STATUS[\x1b[32m%s\x1b[0m]->%s: ", function, format, args);
    va_end(args);
    QMessageLogger().debug("%s", line);
    return QString::fromUtf8(line, len);
}

void logError(const char *function, const char *format, ...)
{
    char line[kLogLineMax + 1];
    va_list args;
    va_start(args, format);
    // The colour reset always fits: a cut error line must not leave the terminal red.
    int len = formatLine(line, kResetLen, "\x1b[31mERROR[\x1b[32m%s\x1b[31m]->%s: ", function,
                         format, args);
    va_end(args);
    std::memcpy(line + len, kReset, kResetLen + 1);
    QMessageLogger().debug("%s", line);
}
