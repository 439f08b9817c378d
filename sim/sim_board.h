#pragma once
// The simulated Orbalo board: an STM32F103 (medium density) with its ROM bootloader as the
// USART protocol of ST's AN3155 describes it, the RESET/BOOT0 pins on the bridge's latch, and
// an application that announces which firmware runs and then prints debug output.
//
// Timing. Instant: every reply is there as soon as its request is complete. Real time: each
// byte takes its wire time (115200 baud; 11 bits with parity, 10 without) in each direction,
// the chip is busy for 52.5 us per programmed half-word, 20 ms per erased page, 40 ms for a
// mass erase and 2 ms from the release of RESET until it listens; a reply becomes readable
// only once its last bit has arrived. Bytes that arrive while the chip is busy are lost, as
// the ROM code does not read its USART then. The clock is injectable (sim_clock.h).
//
// Calls come from the bridge, one at a time; the board also locks itself, so a test may look
// at its flash while another thread drives it.

#include "board_options.h"
#include "serial_peer.h"
#include "sim_clock.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace pelsim {

constexpr uint32_t kFlashBase = 0x08000000;
constexpr uint32_t kFlashSize = 128 * 1024;
constexpr uint32_t kPageSize = 1024;
constexpr uint32_t kRamBase = 0x20000000;
constexpr uint32_t kRamSize = 20 * 1024;
constexpr uint32_t kRamWritableFrom = 0x20000200;  // below: the bootloader's own RAM

constexpr uint32_t kBaudRate = 115200;
constexpr uint64_t kHalfWordProgramNs = 52500;
constexpr uint64_t kPageEraseNs = 20000000;
constexpr uint64_t kMassEraseNs = 40000000;
constexpr uint64_t kBootNs = 2000000;
// The bridge buffers this much of the board's output for the host; more is lost.
constexpr size_t kBridgeQueueBytes = 64 * 1024;

// Wire time of one byte framed by a line-control word, in nanoseconds.
uint64_t byteTimeNs(uint16_t lineControl);

class SimBoard : public SerialPeer {
public:
    enum class Mode { Held, Bootloader, Application, Silent };

    struct Stats {
        uint64_t hostWrites = 0;
        // From the moment the last reply was complete at the bridge to the host's next write:
        // how long the board waited for the host.
        uint64_t hostReactionUs = 0;
        uint64_t hostReactionMaxUs = 0;
        uint64_t busyUs = 0;       // programming and erasing
        uint64_t bytesIn = 0;
        uint64_t bytesOut = 0;
        uint64_t lostBytes = 0;    // arrived while the chip was busy or held
    };

    // clock: the time of real-time mode (the steady clock when null); unused when instant.
    explicit SimBoard(BoardOptions options = {}, std::shared_ptr<Clock> clock = nullptr);

    // PELMORA_SIM_TIMING, PELMORA_SIM_OUTPUT, PELMORA_SIM_FLASH, PELMORA_SIM_FAULTS (see
    // board_options.h); an item that is not understood is reported on stderr and skipped.
    static BoardOptions optionsFromEnvironment();

    void hostWrite(const uint8_t *data, size_t length, uint16_t lineControl) override;
    size_t hostAvailable() override;
    size_t hostRead(uint8_t *out, size_t maxLength) override;
    void hostPurge() override;
    void setLatch(uint8_t latch) override;
    bool detached() const override { return m_Detached.load(std::memory_order_acquire); }
    void reattach() override { m_Detached.store(false, std::memory_order_release); }

    std::vector<uint8_t> flash() const;
    void loadFlash(const std::vector<uint8_t> &bytes, uint32_t offset = 0);
    Mode mode() const;
    std::string lastBanner() const;
    // The banner of the firmware in flash: its name, the programmed length and its CRC-32.
    std::string banner() const;
    int blocksWritten() const;
    Stats stats() const;
    // Frames of a kind that have arrived complete since the board was made.
    int framesSeen(FrameKind kind) const;
    const BoardOptions &options() const { return m_Options; }
    // When the next byte towards the host will have arrived, in clock microseconds; 0 when
    // nothing is on its way (or the board is instant).
    uint64_t nextArrivalUs() const;

private:
    enum class Step { Sync, Command, Complement, Address, Count, Data, ErasePages, ReadCount };
    struct InByte {
        uint64_t at;
        uint8_t byte;
        uint16_t line;
    };
    struct OutByte {
        uint64_t at;
        uint8_t byte;
    };

    uint64_t nowNs() const;
    bool realtime() const { return m_Options.timing == Timing::Realtime; }
    // Runs the board up to now: the host's bytes that have arrived, the application's output.
    void advance(uint64_t now);
    size_t arrivedCount(uint64_t now) const;
    void transmit(const std::string &bytes, uint64_t from);
    void boot(uint64_t now);
    void startApplication(uint64_t at);
    void produceApplication(uint64_t now);
    std::string applicationLine();
    std::string bannerUnlocked() const;
    bool plausibleImage() const;
    void persist(uint32_t offset, uint32_t length);
    void detach();

    // The ROM bootloader (sim_bootloader.cpp).
    void byteIn(uint8_t byte, uint16_t line);
    bool lineAccepted(uint16_t line) const;
    void startCommand(uint8_t command);
    void finishAddress();
    void finishWrite();
    void finishErase();
    void finishRead();
    // Counts a complete frame of its kind; false when the board then stays silent or NACKs
    // (the reply is already given).
    bool frameArrived(FrameKind kind);
    // The fault knobs around frames and replies (sim_faults.cpp).
    bool opensFrame(uint8_t byte, FrameKind &kind) const;
    void frameStarting(FrameKind kind);
    void afterReply(FrameKind kind);
    uint64_t lateBy(FrameKind kind) const;  // ms (real time) or host queries (instant); 0: on time
    void releaseHeld();
    bool unprogrammed(uint32_t address) const;
    void startStream();
    void produceStream(uint64_t now);
    void reply(FrameKind kind, const std::string &bytes, uint64_t extraBusyNs = 0);
    void ack(FrameKind kind, uint64_t extraBusyNs = 0);
    void nack(FrameKind kind);
    bool readable(uint32_t address, uint32_t length) const;
    bool writable(uint32_t address, uint32_t length) const;

    BoardOptions m_Options;
    std::shared_ptr<Clock> m_Clock;
    mutable std::mutex m_Mutex;
    std::atomic<bool> m_Detached{false};

    std::vector<uint8_t> m_Flash;
    std::array<uint8_t, kRamSize> m_Ram{};
    Mode m_Mode = Mode::Application;
    uint8_t m_Latch = 0xFF;
    std::string m_Banner;
    int m_BlocksWritten = 0;
    Stats m_Stats;

    // Both directions of the wire, in nanoseconds of the clock.
    std::deque<InByte> m_In;
    std::deque<OutByte> m_Out;
    uint64_t m_HostLineFree = 0;
    uint64_t m_ChipLineFree = 0;
    uint64_t m_BusyUntil = 0;
    uint64_t m_EventAt = 0;         // time of the byte being handled
    uint64_t m_LastReplyAt = 0;
    bool m_ReplyPending = false;    // a reply went out and the host has not written since
    bool m_TxDead = false;          // fallen silent (mute fault)

    // Application.
    uint64_t m_AppStartedAt = 0;
    uint64_t m_NextLineAt = 0;
    uint32_t m_LinesSent = 0;
    uint32_t m_Polls = 0;

    // Bootloader conversation.
    Step m_Step = Step::Sync;
    bool m_ChatterDone = false;
    bool m_Streaming = false;       // the application has taken the line over (stream fault)
    bool m_StreamDone = false;      // since the last reset
    // Instant timing's stalled chip: what it sends waits until the host has looked so often.
    std::string m_Held;
    uint32_t m_HeldPolls = 0;
    std::string m_StreamText;
    size_t m_StreamPos = 0;
    uint32_t m_StreamLines = 0;
    uint8_t m_Command = 0;
    std::vector<uint8_t> m_Frame;  // bytes of the current stage
    size_t m_Need = 0;
    uint32_t m_Address = 0;
    std::array<int, size_t(FrameKind::Count)> m_FrameCounts{};
};

} // namespace pelsim
