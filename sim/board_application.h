#pragma once
// What the board's firmware prints once it runs: its banner, then debug lines with terminal
// colour sequences, as plain text on the 8N1 line or packed in TLV frames (head 0xAA, byte
// stuffing with 0x55, little-endian length and checksum, records tagged 0xF0-0xF2). Pure: the
// board decides when the bytes go out.

#include <cstdint>
#include <string>

namespace pelsim {

constexpr uint8_t kTlvHead = 0xAA;
constexpr uint8_t kTlvEscape = 0x55;
constexpr uint8_t kTlvTagInfo = 0xF0;
constexpr uint8_t kTlvTagWarning = 0xF1;
constexpr uint8_t kTlvTagError = 0xF2;

// One TLV frame on the wire carrying value as one record of tag: stuffed, with its checksum.
std::string tlvFrame(uint8_t tag, const std::string &value);

class DebugOutput {
public:
    // The line that follows the banner when the firmware starts; colour green.
    static std::string bannerLine(const std::string &banner);
    // The n-th debug line after the start (n from 0), with the board's uptime in it; colours
    // cycle through green, blue, orange and red. tag receives the TLV tag matching the colour.
    static std::string line(uint32_t n, uint64_t uptimeUs, uint8_t *tag = nullptr);
};

} // namespace pelsim
