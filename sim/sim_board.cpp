// The board itself: pins and modes, the two directions of the wire in time, the application's
// output and the flash file. The ROM bootloader's conversation is in sim_bootloader.cpp.
#include "sim_board.h"

#include "board_application.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace pelsim {

namespace {
constexpr uint8_t kLatchReset = 0x01;  // latch level 0 holds the chip in reset
constexpr uint8_t kLatchBoot0 = 0x02;  // latch level 0 raises BOOT0
} // namespace

uint64_t byteTimeNs(uint16_t lineControl)
{
    const unsigned data = lineControl >> 8;
    const unsigned parity = (lineControl >> 4) & 0x0F;
    const unsigned stop = lineControl & 0x0F;  // 0: 1, 1: 1.5, 2: 2 stop bits
    // In half bits, so 1.5 stop bits stay exact.
    const uint64_t halfBits = 2 * (1 + data + (parity ? 1 : 0)) + (stop == 0 ? 2 : stop == 1 ? 3 : 4);
    return halfBits * 1000000000ull / (2ull * kBaudRate);
}

SimBoard::SimBoard(BoardOptions options, std::shared_ptr<Clock> clock)
    : m_Options(std::move(options)), m_Clock(std::move(clock)), m_Flash(kFlashSize, 0xFF)
{
    if (!m_Clock)
        m_Clock = steadyClock();
    if (!m_Options.flashPath.empty()) {
        std::ifstream in(m_Options.flashPath, std::ios::binary);
        if (in)
            in.read(reinterpret_cast<char *>(m_Flash.data()), kFlashSize);
        else
            persist(0, kFlashSize);  // a new flash file starts erased
    }
    // A board that has been powered for a while runs its firmware, or nothing. Its banner
    // has long gone by; only its debug output goes on.
    m_Mode = plausibleImage() ? Mode::Application : Mode::Silent;
    if (m_Mode == Mode::Application) {
        m_Banner = bannerUnlocked();
        m_AppStartedAt = nowNs();
        m_NextLineAt = m_AppStartedAt + uint64_t(m_Options.linePeriodUs) * 1000;
    }
}

BoardOptions SimBoard::optionsFromEnvironment()
{
    BoardOptions options;
    options.timing = Timing::Realtime;
    if (const char *timing = std::getenv("PELMORA_SIM_TIMING")) {
        if (*timing && !parseTiming(timing, options.timing))
            std::fprintf(stderr, "PELMORA_SIM_TIMING: unknown mode \"%s\" (instant, realtime)\n", timing);
    }
    if (const char *output = std::getenv("PELMORA_SIM_OUTPUT")) {
        if (*output && !parseOutput(output, options.output))
            std::fprintf(stderr, "PELMORA_SIM_OUTPUT: unknown output \"%s\" (text, tlv, silent)\n", output);
    }
    if (const char *path = std::getenv("PELMORA_SIM_FLASH"))
        options.flashPath = path;
    if (const char *faults = std::getenv("PELMORA_SIM_FAULTS")) {
        std::string list = faults;
        std::string bad;
        // Report each item not understood and go on with the rest.
        while (!parseFaults(list, options, &bad)) {
            std::fprintf(stderr, "PELMORA_SIM_FAULTS: item \"%s\" not understood, skipped\n", bad.c_str());
            const size_t at = list.find(bad);
            list.erase(0, at + bad.size());
        }
    }
    return options;
}

uint64_t SimBoard::nowNs() const
{
    // An instant board lives at time 0: every byte has always arrived.
    return realtime() ? m_Clock->now() * 1000 : 0;
}

void SimBoard::loadFlash(const std::vector<uint8_t> &bytes, uint32_t offset)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    offset = std::min(offset, kFlashSize);
    const size_t n = std::min<size_t>(bytes.size(), kFlashSize - offset);
    std::copy_n(bytes.begin(), n, m_Flash.begin() + offset);
    persist(offset, uint32_t(n));
}

std::vector<uint8_t> SimBoard::flash() const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Flash;
}

SimBoard::Mode SimBoard::mode() const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Mode;
}

std::string SimBoard::lastBanner() const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Banner;
}

std::string SimBoard::banner() const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return bannerUnlocked();
}

int SimBoard::blocksWritten() const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_BlocksWritten;
}

SimBoard::Stats SimBoard::stats() const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Stats;
}

uint64_t SimBoard::nextArrivalUs() const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    const uint64_t now = nowNs();
    const size_t arrived = arrivedCount(now);
    uint64_t next = arrived < m_Out.size() ? m_Out[arrived].at : 0;
    if (!m_In.empty() && (next == 0 || m_In.front().at < next))
        next = m_In.front().at;
    if (realtime() && m_Mode == Mode::Application && m_Options.output != Output::Silent
        && (next == 0 || m_NextLineAt < next))
        next = m_NextLineAt;
    if (realtime() && m_Streaming) {
        const uint64_t streamed = std::max(m_ChipLineFree, now) + byteTimeNs(kLine8N1);
        next = next == 0 ? streamed : std::min(next, streamed);
    }
    return next ? next / 1000 + 1 : 0;
}

void SimBoard::hostWrite(const uint8_t *data, size_t length, uint16_t lineControl)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    const uint64_t now = nowNs();
    advance(now);
    if (m_ReplyPending) {
        const uint64_t waited = (now > m_LastReplyAt ? now - m_LastReplyAt : 0) / 1000;
        m_Stats.hostReactionUs += waited;
        m_Stats.hostReactionMaxUs = std::max(m_Stats.hostReactionMaxUs, waited);
        m_ReplyPending = false;
    }
    ++m_Stats.hostWrites;
    m_Stats.bytesIn += length;
    const uint64_t byteNs = realtime() ? byteTimeNs(lineControl) : 0;
    for (size_t i = 0; i < length; ++i) {
        // The bridge sends back to back: a byte leaves when the one before has.
        const uint64_t at = std::max(now, m_HostLineFree) + byteNs;
        m_HostLineFree = at;
        m_In.push_back({at, data[i], lineControl});
    }
    advance(now);
}

size_t SimBoard::hostAvailable()
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    const uint64_t now = nowNs();
    advance(now);
    // Without time, the application prints a line every so many looks of the host: bounded
    // and the same from run to run.
    if (!realtime() && m_Mode == Mode::Application && m_Options.output != Output::Silent
        && m_Options.instantPollsPerLine > 0 && ++m_Polls % m_Options.instantPollsPerLine == 0)
        transmit(applicationLine(), 0);
    if (!realtime()) {
        releaseHeld();
        produceStream(now);
    }
    return arrivedCount(now);
}

size_t SimBoard::hostRead(uint8_t *out, size_t maxLength)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    const uint64_t now = nowNs();
    advance(now);
    const size_t n = std::min(maxLength, arrivedCount(now));
    for (size_t i = 0; i < n; ++i) {
        out[i] = m_Out.front().byte;
        m_Out.pop_front();
    }
    m_Stats.bytesOut += n;
    return n;
}

void SimBoard::hostPurge()
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    const uint64_t now = nowNs();
    advance(now);
    // Only what has reached the bridge can be purged; bytes still on the wire arrive later.
    m_Out.erase(m_Out.begin(), m_Out.begin() + std::ptrdiff_t(arrivedCount(now)));
}

void SimBoard::setLatch(uint8_t latch)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    const uint64_t now = nowNs();
    advance(now);
    const bool wasHeld = !(m_Latch & kLatchReset);
    m_Latch = latch;
    const bool held = !(latch & kLatchReset);
    if (held) {
        if (!wasHeld) {
            // Reset stops the USART mid-byte: what has not reached the bridge never will.
            while (!m_Out.empty() && m_Out.back().at > now)
                m_Out.pop_back();
            m_ChipLineFree = std::min(m_ChipLineFree, now);
        }
        m_Mode = Mode::Held;
        m_Streaming = false;
        m_Held.clear();
        m_HeldPolls = 0;
    } else if (wasHeld) {
        boot(now);  // the rising edge of RESET
    }
}

size_t SimBoard::arrivedCount(uint64_t now) const
{
    const auto end = std::partition_point(m_Out.begin(), m_Out.end(),
                                          [now](const OutByte &b) { return b.at <= now; });
    return size_t(end - m_Out.begin());
}

void SimBoard::advance(uint64_t now)
{
    while (!m_In.empty() && m_In.front().at <= now) {
        const InByte in = m_In.front();
        m_In.pop_front();
        if (m_Mode == Mode::Held || (m_Mode == Mode::Bootloader && (in.at < m_BusyUntil || m_HeldPolls > 0))) {
            ++m_Stats.lostBytes;
            continue;
        }
        if (m_Mode != Mode::Bootloader || m_Streaming)
            continue;  // the application reads no input
        m_EventAt = in.at;
        byteIn(in.byte, in.line);
    }
    produceApplication(now);
    if (realtime())
        produceStream(now);
}

void SimBoard::transmit(const std::string &bytes, uint64_t from)
{
    if (m_TxDead)
        return;
    if (m_HeldPolls > 0) {
        m_Held += bytes;
        return;
    }
    uint64_t byteNs = 0;
    if (realtime())
        byteNs = byteTimeNs(m_Mode == Mode::Bootloader && m_Options.bootloaderParity ? kLine8E1 : kLine8N1);
    for (char c : bytes) {
        const uint64_t at = std::max(from, m_ChipLineFree) + byteNs;
        m_ChipLineFree = at;
        from = at;
        if (m_Out.size() >= kBridgeQueueBytes) {
            ++m_Stats.lostBytes;  // the bridge's buffer is full: the host does not read
            continue;
        }
        m_Out.push_back({at, uint8_t(c)});
    }
}

void SimBoard::boot(uint64_t now)
{
    m_Step = Step::Sync;
    m_Frame.clear();
    m_ChatterDone = false;
    m_Streaming = false;
    m_StreamDone = false;
    m_TxDead = false;
    const uint64_t ready = now + (realtime() ? kBootNs : 0);
    const bool boot0High = !(m_Latch & kLatchBoot0) && !m_Options.boot0Stuck;
    if (boot0High) {
        m_Mode = Mode::Bootloader;
        m_BusyUntil = ready;  // the ROM code needs its moment before it listens
        m_TxDead = m_Options.mute;
        return;
    }
    if (!plausibleImage()) {
        m_Mode = Mode::Silent;
        return;
    }
    startApplication(ready);
}

void SimBoard::startApplication(uint64_t at)
{
    m_Mode = Mode::Application;
    m_Banner = bannerUnlocked();
    m_AppStartedAt = at;
    m_LinesSent = 0;
    m_Polls = 0;
    const std::string line = DebugOutput::bannerLine(m_Banner);
    transmit(m_Options.output == Output::Tlv ? tlvFrame(kTlvTagInfo, line) : line, at);
    m_NextLineAt = std::max(at, m_ChipLineFree) + uint64_t(m_Options.linePeriodUs) * 1000;
}

std::string SimBoard::applicationLine()
{
    const uint64_t uptimeUs = realtime() ? (m_NextLineAt - m_AppStartedAt) / 1000
                                         : uint64_t(m_LinesSent + 1) * m_Options.linePeriodUs;
    uint8_t tag = kTlvTagInfo;
    const std::string line = DebugOutput::line(m_LinesSent++, uptimeUs, &tag);
    return m_Options.output == Output::Tlv ? tlvFrame(tag, line) : line;
}

void SimBoard::produceApplication(uint64_t now)
{
    if (!realtime() || m_Mode != Mode::Application || m_Options.output == Output::Silent)
        return;
    const uint64_t period = uint64_t(m_Options.linePeriodUs) * 1000;
    while (m_NextLineAt <= now) {
        if (m_Out.size() >= kBridgeQueueBytes) {
            // Nobody reads: the firmware's lines are lost at the bridge, not stored up.
            m_NextLineAt = now + std::max<uint64_t>(period, 1000000);
            break;
        }
        const uint64_t at = m_NextLineAt;
        transmit(applicationLine(), at);
        m_NextLineAt = std::max(period ? at + period : m_ChipLineFree, at + 1);
    }
}

bool SimBoard::plausibleImage() const
{
    auto word = [this](uint32_t at) {
        return uint32_t(m_Flash[at]) | uint32_t(m_Flash[at + 1]) << 8 | uint32_t(m_Flash[at + 2]) << 16
               | uint32_t(m_Flash[at + 3]) << 24;
    };
    const uint32_t sp = word(0);
    const uint32_t reset = word(4);
    return sp > kRamBase && sp <= kRamBase + kRamSize && (reset & 1u)
           && reset >= kFlashBase && reset < kFlashBase + kFlashSize;
}

std::string SimBoard::bannerUnlocked() const
{
    uint32_t length = kFlashSize;
    while (length > 0 && m_Flash[length - 1] == 0xFF)
        --length;
    length = (length + 3) & ~3u;
    std::string name = "unnamed";
    static const char kMarker[] = "FWNAME=";
    const auto found = std::search(m_Flash.begin(), m_Flash.begin() + length, kMarker, kMarker + 7);
    if (found != m_Flash.begin() + length) {
        std::string text;
        for (auto it = found + 7; it != m_Flash.end() && *it >= 0x20 && *it < 0x7F && text.size() < 64; ++it)
            text += char(*it);
        if (!text.empty())
            name = text;
    }
    const uLong crc = crc32(crc32(0L, Z_NULL, 0), m_Flash.data(), uInt(length));
    char buf[160];
    std::snprintf(buf, sizeof buf, "Orbalo Mini booted: %s, %u bytes, CRC-32 0x%08lX", name.c_str(),
                  unsigned(length), crc);
    return buf;
}

void SimBoard::detach()
{
    m_Detached.store(true, std::memory_order_release);
}

void SimBoard::persist(uint32_t offset, uint32_t length)
{
    if (m_Options.flashPath.empty() || length == 0)
        return;
    // Written through at once: the bytes are in the operating system's hands when the call
    // returns, so nothing programmed is lost when the program using the board ends, Ctrl-C,
    // SIGTERM and SIGKILL included.
    std::fstream file(m_Options.flashPath, std::ios::binary | std::ios::in | std::ios::out);
    if (!file) {
        std::ofstream create(m_Options.flashPath, std::ios::binary);
        create.write(reinterpret_cast<const char *>(m_Flash.data()), kFlashSize);
        return;
    }
    file.seekp(offset);
    file.write(reinterpret_cast<const char *>(m_Flash.data()) + offset, length);
}

} // namespace pelsim
