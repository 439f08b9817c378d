#include "board_options.h"

#include <algorithm>
#include <climits>
#include <cstdlib>

namespace pelsim {

namespace {

constexpr const char *kKindNames[] = {"sync",    "getid", "erase",        "erase-code", "command",
                                      "address", "data",  "read", "read-address", "read-count"};
static_assert(sizeof kKindNames / sizeof *kKindNames == size_t(FrameKind::Count), "a name for every kind");

bool parseNumber(const std::string &text, long &value)
{
    if (text.empty())
        return false;
    char *end = nullptr;
    value = std::strtol(text.c_str(), &end, 0);
    return end && *end == '\0' && value >= 0;
}

bool parseKind(const std::string &text, FrameKind &kind)
{
    for (int i = 0; i < int(FrameKind::Count); ++i) {
        if (text == kKindNames[i]) {
            kind = FrameKind(i);
            return true;
        }
    }
    return false;
}

// "KIND:K" or "KIND:K+".
bool parseRule(const std::string &text, FrameRule &rule)
{
    const size_t colon = text.find(':');
    if (colon == std::string::npos || !parseKind(text.substr(0, colon), rule.kind))
        return false;
    std::string count = text.substr(colon + 1);
    const bool onwards = !count.empty() && count.back() == '+';
    if (onwards)
        count.pop_back();
    long k = 0;
    if (!parseNumber(count, k) || k < 1 || k > INT_MAX / 2)
        return false;
    rule.first = int(k);
    rule.last = onwards ? INT_MAX : int(k);
    return true;
}

// "V/V/...": byte values, decimal or 0x hexadecimal.
bool parseBytes(const std::string &text, std::string &bytes)
{
    bytes.clear();
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t slash = text.find('/', pos);
        if (slash == std::string::npos)
            slash = text.size();
        long v = 0;
        if (!parseNumber(text.substr(pos, slash - pos), v) || v > 0xFF)
            return false;
        bytes += char(v);
        pos = slash + 1;
    }
    return !bytes.empty();
}

// "V[/V...]:KIND:K[+]".
bool parseStray(const std::string &text, bool afterReply, BoardOptions &o)
{
    const size_t colon = text.find(':');
    StrayRule rule;
    rule.afterReply = afterReply;
    if (colon == std::string::npos || !parseBytes(text.substr(0, colon), rule.bytes)
        || !parseRule(text.substr(colon + 1), rule.at))
        return false;
    o.strays.push_back(rule);
    return true;
}

// "text|noise[:KIND:K]".
bool parseStream(const std::string &text, BoardOptions &o)
{
    const size_t colon = text.find(':');
    const std::string content = text.substr(0, colon);
    if (content == "text")
        o.streamContent = StreamContent::Text;
    else if (content == "noise")
        o.streamContent = StreamContent::Noise;
    else
        return false;
    o.streamFromFrame = colon != std::string::npos;
    if (o.streamFromFrame && !parseRule(text.substr(colon + 1), o.streamAt))
        return false;
    o.stream = true;
    return true;
}

// "KIND:K[+]:N".
bool parseLate(const std::string &text, BoardOptions &o)
{
    const size_t colon = text.rfind(':');
    LateRule rule;
    long n = 0;
    if (colon == std::string::npos || !parseRule(text.substr(0, colon), rule.at)
        || !parseNumber(text.substr(colon + 1), n) || n > 3600000)
        return false;
    rule.delay = uint32_t(n);
    o.lates.push_back(rule);
    return true;
}

// "A[:N]".
bool parseHalfWords(const std::string &text, BoardOptions &o)
{
    const size_t colon = text.find(':');
    long address = 0;
    long count = 1;
    if (!parseNumber(text.substr(0, colon), address) || address > 0xFFFFFFFFL
        || (colon != std::string::npos && (!parseNumber(text.substr(colon + 1), count) || count < 1)))
        return false;
    o.unprogrammed.push_back({uint32_t(address), uint32_t(count)});
    return true;
}

// "CALL:KIND:K[+][:STATUS]".
bool parseBridgeFault(const std::string &text, BoardOptions &o)
{
    static const char *const kCalls[] = {"write", "flush", "latch", "queue", "read", "line"};
    static_assert(sizeof kCalls / sizeof *kCalls == size_t(BridgeCall::Count), "a name for every call");
    const size_t first = text.find(':');
    if (first == std::string::npos)
        return false;
    BridgeFault fault;
    const std::string call = text.substr(0, first);
    const auto named = std::find_if(std::begin(kCalls), std::end(kCalls), [&](const char *c) { return call == c; });
    if (named == std::end(kCalls))
        return false;
    fault.call = BridgeCall(named - std::begin(kCalls));
    std::string rule = text.substr(first + 1);
    const size_t second = rule.find(':');
    const size_t third = second == std::string::npos ? second : rule.find(':', second + 1);
    if (third != std::string::npos) {
        long status = 0;
        if (!parseNumber(rule.substr(third + 1), status) || status > 0xFF)
            return false;
        fault.status = int(status);
        rule.erase(third);
    }
    if (!parseRule(rule, fault.after))
        return false;
    fault.every = fault.after.last != fault.after.first;
    o.bridgeFaults.push_back(fault);
    return true;
}

bool parseItem(const std::string &item, BoardOptions &o)
{
    const size_t eq = item.find('=');
    const std::string key = item.substr(0, eq);
    const std::string value = eq == std::string::npos ? std::string() : item.substr(eq + 1);
    const bool hasValue = eq != std::string::npos;
    long n = 0;
    if (key == "product-id" && parseNumber(value, n) && n <= 0xFFFF) {
        o.productId = uint16_t(n);
    } else if (key == "lenient-parity" && !hasValue) {
        o.strictParity = false;
    } else if (key == "parity" && (value == "none" || value == "odd" || value == "even")) {
        o.bootloaderParity = value == "none" ? 0 : value == "odd" ? 1 : 2;
    } else if (key == "unplug" && value.find(':') != std::string::npos) {
        FrameRule rule;
        if (!parseRule(value, rule))
            return false;
        o.unplugAt.push_back(rule);
    } else if (key == "unplug" && parseNumber(value, n) && n <= 0xFFFF) {
        o.unplugAfterBlocks = int(n);
    } else if (key == "nack") {
        FrameRule rule;
        if (!parseRule(value, rule))
            return false;
        o.nacks.push_back(rule);
    } else if (key == "mute" && !hasValue) {
        o.mute = true;
    } else if (key == "mute") {
        FrameRule rule;
        if (!parseRule(value, rule))
            return false;
        o.muteFrom.push_back(rule);
    } else if (key == "noise") {
        const size_t colon = value.find(':');
        if (!parseNumber(value.substr(0, colon), n) || n > 100000)
            return false;
        o.noiseBytes = int(n);
        o.noiseOnlyKind = colon != std::string::npos;
        if (o.noiseOnlyKind && !parseKind(value.substr(colon + 1), o.noiseKind))
            return false;
    } else if (key == "stray" || key == "stray-after") {
        return parseStray(value, key == "stray-after", o);
    } else if (key == "late") {
        return parseLate(value, o);
    } else if (key == "unprogrammed") {
        return parseHalfWords(value, o);
    } else if (key == "bridge") {
        return parseBridgeFault(value, o);
    } else if (key == "stream") {
        return parseStream(value, o);
    } else if (key == "chatter") {
        if (!hasValue)
            n = 300;
        else if (!parseNumber(value, n) || n > 1000000)
            return false;
        o.chatterBytes = int(n);
    } else if (key == "boot0-stuck" && !hasValue) {
        o.boot0Stuck = true;
    } else {
        return false;
    }
    return true;
}

} // namespace

const char *frameKindName(FrameKind kind)
{
    return int(kind) < int(FrameKind::Count) ? kKindNames[int(kind)] : "?";
}

bool parseFaults(const std::string &list, BoardOptions &options, std::string *error)
{
    size_t pos = 0;
    while (pos < list.size()) {
        size_t comma = list.find(',', pos);
        if (comma == std::string::npos)
            comma = list.size();
        const std::string item = list.substr(pos, comma - pos);
        if (!item.empty() && !parseItem(item, options)) {
            if (error)
                *error = item;
            return false;
        }
        pos = comma + 1;
    }
    return true;
}

bool parseTiming(const std::string &text, Timing &timing)
{
    if (text == "instant")
        timing = Timing::Instant;
    else if (text == "realtime")
        timing = Timing::Realtime;
    else
        return false;
    return true;
}

bool parseOutput(const std::string &text, Output &output)
{
    if (text == "text")
        output = Output::Text;
    else if (text == "tlv")
        output = Output::Tlv;
    else if (text == "silent")
        output = Output::Silent;
    else
        return false;
    return true;
}

} // namespace pelsim
