#include "board_application.h"

#include <cstdio>

namespace pelsim {

namespace {

void putStuffed(std::string &out, uint8_t byte)
{
    if (byte == kTlvHead || byte == kTlvEscape) {
        out += char(kTlvEscape);
        out += char(byte ^ 0x20);
    } else {
        out += char(byte);
    }
}

} // namespace

std::string tlvFrame(uint8_t tag, const std::string &value)
{
    // A frame is at most 4095 bytes on the host's ring; long texts are cut rather than split.
    const size_t valueLength = value.size() < 2000 ? value.size() : 2000;
    const uint16_t n = uint16_t(valueLength + 3);
    std::string body;
    body += char(n & 0xFF);
    body += char(n >> 8);
    body += char(tag);
    body += char(valueLength & 0xFF);
    body += char(valueLength >> 8);
    body.append(value, 0, valueLength);
    uint16_t sum = 0;
    for (char c : body)
        sum = uint16_t(sum + uint8_t(c));
    const uint16_t check = uint16_t(-sum);
    body += char(check & 0xFF);
    body += char(check >> 8);
    std::string out(1, char(kTlvHead));
    for (char c : body)
        putStuffed(out, uint8_t(c));
    return out;
}

std::string DebugOutput::bannerLine(const std::string &banner)
{
    return "\x1b[32m" + banner + "\x1b[0m\r\n";
}

std::string DebugOutput::line(uint32_t n, uint64_t uptimeUs, uint8_t *tag)
{
    const unsigned seconds = unsigned(uptimeUs / 1000000);
    const unsigned millis = unsigned(uptimeUs / 1000 % 1000);
    char text[160];
    switch (n % 4) {
    case 0:
        std::snprintf(text, sizeof text, "\x1b[32m[%5u.%03u] heartbeat %u: all systems nominal\x1b[0m\r\n",
                      seconds, millis, n / 4);
        break;
    case 1:
        std::snprintf(text, sizeof text,
                      "\x1b[34m[%5u.%03u] sensor: temperature 21.%u C, humidity %u %%\x1b[0m\r\n",
                      seconds, millis, n % 10, 40 + n % 7);
        break;
    case 2:
        std::snprintf(text, sizeof text, "\x1b[33m[%5u.%03u] warning: supply at 3.%02u V\x1b[0m\r\n",
                      seconds, millis, 20 + n % 13);
        break;
    default:
        std::snprintf(text, sizeof text, "\x1b[31m[%5u.%03u] error: bus frame %u lost\x1b[0m\r\n",
                      seconds, millis, n);
        break;
    }
    if (tag)
        *tag = n % 4 == 3 ? kTlvTagError : n % 4 == 2 ? kTlvTagWarning : kTlvTagInfo;
    return text;
}

} // namespace pelsim
