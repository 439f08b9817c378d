#pragma once
// How a simulated Orbalo board is set up: its timing, what its application prints, and the
// faults it is asked to show. All of it can come from the environment:
//
//   PELMORA_SIM_TIMING  instant | realtime       (default realtime; the test suite sets instant)
//   PELMORA_SIM_OUTPUT  text | tlv | silent      (default text)
//   PELMORA_SIM_FLASH   raw 131,072-byte flash file (default: flash in memory)
//   PELMORA_SIM_FAULTS  comma list of the faults below (default none)
//
// Fault syntax (KIND is one of sync, getid, erase, erase-code, command, address, data, read,
// read-address, read-count: "command" is the Write Memory command and "address" its address
// frame, "erase-code" the page list or mass-erase code that follows Erase, "read" the Read
// Memory command, "read-address" its address frame and "read-count" its byte count, which the
// data answers; K counts frames of that kind from the board's creation, 1-based, and "KIND:K+"
// means that frame and every later one):
//   product-id=0x041a   Get ID reports this product ID
//   lenient-parity      the bootloader takes bytes whatever their framing
//   parity=none|odd|even  the framing the bootloader's line takes (default even)
//   unplug=K            the USB cable comes out once K data blocks are programmed
//                       (K=0: at the first Write Memory command); the K-th block's ACK is lost
//   unplug=KIND:K       the cable comes out as the K-th frame of KIND arrives, before any reply
//   nack=KIND:K         the K-th frame of KIND is answered with NACK; "KIND:K+" from it on
//   mute                the bootloader hears everything and never answers
//   mute=KIND:K         the board falls silent from the K-th frame of KIND on
//   noise=N[:KIND]      N glitch bytes (never ACK or NACK) before every reply [to KIND]
//   stray=V[/V...]:KIND:K   the bytes V (any values, 0x79 and 0x1f included) reach the host as
//                       the K-th frame of KIND begins to arrive, ahead of its reply and, in real
//                       time, while the host is still sending the frame
//   stray-after=V[/V...]:KIND:K   the bytes V follow the reply to the K-th frame of KIND
//   stream=text|noise[:KIND:K]  the application takes over the line: from the ACK of every
//                       first sync after a reset (or from the reply to the K-th frame of KIND,
//                       once) the chip hears nothing and sends without a pause until the next
//                       reset: debug text (which holds 0x79 bytes: "systems", "bytes") or glitch
//                       bytes that are never ACK or NACK; in instant timing 12 bytes per query
//                       of the host, about what a millisecond of the line carries
//   late=KIND:K:N       the chip stalls N ms (N queries of the host in instant timing) before it
//                       answers the K-th frame of KIND; what it is sent meanwhile is lost
//   unprogrammed=A[:N]  N half-words (default 1) from flash address A stay erased although the
//                       block holding them is acknowledged (repeatable)
//   bridge=CALL:KIND:K[:STATUS]  once the K-th frame of KIND has reached the board, the next
//                       call of the bridge's CALL (write, flush, latch, queue, read, line)
//                       returns STATUS (default 0x08, SI_DEVICE_IO_FAILED) and does nothing
//                       else; with "KIND:K+" every call from then on fails
//   chatter[=N]         N bytes (default 300) of application debug text arrive ahead of the
//                       ACK of every first sync after a reset
//   boot0-stuck         BOOT0 never reaches the chip: every reset starts the application

#include <cstdint>
#include <string>
#include <vector>

namespace pelsim {

enum class Timing { Instant, Realtime };
enum class Output { Text, Tlv, Silent };
enum class FrameKind { Sync, GetId, Erase, EraseCode, Command, Address, Data, Read, ReadAddress, ReadCount, Count };

const char *frameKindName(FrameKind kind);

// Frames first..last (1-based, inclusive) of one kind.
struct FrameRule {
    FrameKind kind = FrameKind::Sync;
    int first = 1;
    int last = 1;
    bool matches(FrameKind k, int count) const { return k == kind && count >= first && count <= last; }
};

// Bytes of chosen values at a chosen frame.
struct StrayRule {
    FrameRule at;
    std::string bytes;
    bool afterReply = false;
};

enum class StreamContent { Text, Noise };

struct LateRule {
    FrameRule at;
    uint32_t delay = 0;  // ms in real time, queries of the host when instant
};

struct HalfWords {
    uint32_t address = 0;
    uint32_t count = 1;
    bool holds(uint32_t a) const { return a >= address && (a - address) / 2 < count; }
};

// The bridge's calls that a fault can make fail (the simulated bridge maps them).
enum class BridgeCall { Write, Flush, Latch, Queue, Read, LineControl, Count };

struct BridgeFault {
    BridgeCall call = BridgeCall::Write;
    FrameRule after;      // armed once after.first frames of after.kind have arrived
    bool every = false;   // every call from then on, else one
    int status = 0x08;
};

struct BoardOptions {
    // The struct's default is instant so a board built in code answers at once; boards built
    // from the environment run in real time unless told otherwise.
    Timing timing = Timing::Instant;
    Output output = Output::Text;
    // Real-time: one debug line per period (0: back to back, the line saturated).
    uint32_t linePeriodUs = 100000;
    // Instant: one debug line per this many queries of the host, so tests never drown.
    uint32_t instantPollsPerLine = 50;
    // Raw 131,072-byte flash file; empty keeps the flash in memory.
    std::string flashPath;

    uint16_t productId = 0x0410;
    // A strict board does not recognise bytes framed otherwise than its bootloader's line.
    bool strictParity = true;
    uint8_t bootloaderParity = 2;  // line-control parity field: 0 none, 1 odd, 2 even
    int unplugAfterBlocks = -1;
    std::vector<FrameRule> nacks;
    bool mute = false;
    std::vector<FrameRule> muteFrom;
    int noiseBytes = 0;
    bool noiseOnlyKind = false;
    FrameKind noiseKind = FrameKind::Sync;
    std::vector<StrayRule> strays;
    bool stream = false;
    StreamContent streamContent = StreamContent::Text;
    bool streamFromFrame = false;  // from streamAt, else after every first sync after a reset
    FrameRule streamAt;
    std::vector<FrameRule> unplugAt;
    std::vector<LateRule> lates;
    std::vector<HalfWords> unprogrammed;
    std::vector<BridgeFault> bridgeFaults;
    int chatterBytes = 0;
    bool boot0Stuck = false;
};

// Adds the faults of a PELMORA_SIM_FAULTS list to options. Returns false and names the first
// item it does not understand in error (the items before it are applied).
bool parseFaults(const std::string &list, BoardOptions &options, std::string *error = nullptr);
bool parseTiming(const std::string &text, Timing &timing);
bool parseOutput(const std::string &text, Output &output);

} // namespace pelsim
