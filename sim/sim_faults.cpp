// The fault knobs of the simulated board around its frames and replies: frames answered with
// NACK, silence, a pulled cable, glitch bytes and bytes of chosen values, and an application
// that takes the line over (board_options.h gives their written form).
#include "sim_board.h"

#include "board_application.h"
#include "stm32_usart_protocol.h"

#include <algorithm>

namespace pelsim {

namespace {
using namespace stm32;
// Line glitches read back as bytes like these; none of them is an ACK or a NACK.
constexpr uint8_t kNoise[] = {0x00, 0xFF, 0xF8, 0x80, 0xFE, 0xE0, 0x3F, 0xC0};
// What a millisecond of the line carries at 115200 baud, give or take: the instant board's
// stream per query of the host.
constexpr size_t kStreamBytesPerPoll = 12;
// A host that has not looked for this long has lost what the stream sent meanwhile.
constexpr uint64_t kStreamCatchUpNs = 1000000000;

FrameKind commandKind(uint8_t command)
{
    switch (command) {
    case kCmdGetId: return FrameKind::GetId;
    case kCmdErase: return FrameKind::Erase;
    case kCmdReadMemory: return FrameKind::Read;
    default: return FrameKind::Command;
    }
}
} // namespace

int SimBoard::framesSeen(FrameKind kind) const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return size_t(kind) < m_FrameCounts.size() ? m_FrameCounts[size_t(kind)] : 0;
}

bool SimBoard::frameArrived(FrameKind kind)
{
    const int count = ++m_FrameCounts[size_t(kind)];
    for (const FrameRule &rule : m_Options.unplugAt) {
        if (rule.matches(kind, count)) {
            m_TxDead = true;
            detach();
            return false;
        }
    }
    for (const FrameRule &rule : m_Options.muteFrom)
        if (rule.kind == kind && count >= rule.first)
            m_TxDead = true;
    for (const FrameRule &rule : m_Options.nacks) {
        if (rule.matches(kind, count)) {
            nack(kind);
            m_Step = kind == FrameKind::Sync ? Step::Sync : Step::Command;
            m_Frame.clear();
            return false;
        }
    }
    return true;
}

void SimBoard::reply(FrameKind kind, const std::string &bytes, uint64_t busyNs)
{
    uint64_t from = std::max(m_EventAt, m_BusyUntil);
    if (busyNs && realtime()) {
        from += busyNs;
        m_BusyUntil = from;
        m_Stats.busyUs += busyNs / 1000;
    }
    if (const uint64_t late = lateBy(kind)) {
        // A stalled chip reads nothing: what the host sends meanwhile is lost.
        if (realtime()) {
            from += late * 1000000;
            m_BusyUntil = std::max(m_BusyUntil, from);
        } else {
            m_HeldPolls = uint32_t(late);
        }
    }
    if (m_Options.noiseBytes > 0 && (!m_Options.noiseOnlyKind || kind == m_Options.noiseKind)) {
        std::string noise;
        for (int i = 0; i < m_Options.noiseBytes; ++i)
            noise += char(kNoise[size_t(i) % sizeof kNoise]);
        transmit(noise, from);
    }
    transmit(bytes, from);
    m_LastReplyAt = m_ChipLineFree;
    m_ReplyPending = true;
    afterReply(kind);
}

uint64_t SimBoard::lateBy(FrameKind kind) const
{
    const int count = m_FrameCounts[size_t(kind)];
    for (const LateRule &rule : m_Options.lates)
        if (rule.at.matches(kind, count))
            return rule.delay;
    return 0;
}

void SimBoard::releaseHeld()
{
    if (m_HeldPolls == 0 || --m_HeldPolls > 0)
        return;
    std::string held;
    held.swap(m_Held);
    transmit(held, 0);
}

bool SimBoard::unprogrammed(uint32_t address) const
{
    return std::any_of(m_Options.unprogrammed.begin(), m_Options.unprogrammed.end(),
                       [address](const HalfWords &h) { return h.holds(address); });
}

bool SimBoard::opensFrame(uint8_t byte, FrameKind &kind) const
{
    if (!m_Frame.empty())
        return false;
    switch (m_Step) {
    case Step::Sync: kind = FrameKind::Sync; return byte == kSync;
    case Step::Command: kind = commandKind(byte); return true;
    case Step::Address:
        kind = m_Command == kCmdReadMemory ? FrameKind::ReadAddress : FrameKind::Address;
        return true;
    case Step::Count: kind = FrameKind::Data; return true;
    case Step::ErasePages: kind = FrameKind::EraseCode; return true;
    case Step::ReadCount: kind = FrameKind::ReadCount; return true;
    default: return false;
    }
}

void SimBoard::frameStarting(FrameKind kind)
{
    // The frame is counted when it is complete; this is the one that begins.
    const int count = m_FrameCounts[size_t(kind)] + 1;
    for (const StrayRule &rule : m_Options.strays)
        if (!rule.afterReply && rule.at.matches(kind, count))
            transmit(rule.bytes, m_EventAt);
}

void SimBoard::afterReply(FrameKind kind)
{
    const int count = m_FrameCounts[size_t(kind)];
    for (const StrayRule &rule : m_Options.strays)
        if (rule.afterReply && rule.at.matches(kind, count))
            transmit(rule.bytes, m_ChipLineFree);
    if (m_Options.stream && m_Options.streamFromFrame && m_Options.streamAt.matches(kind, count))
        startStream();
}

void SimBoard::startStream()
{
    m_Streaming = true;
    m_StreamDone = true;
    m_StreamText.clear();
    m_StreamPos = 0;
}

void SimBoard::produceStream(uint64_t now)
{
    if (!m_Streaming || m_TxDead)
        return;
    auto next = [this]() {
        if (m_Options.streamContent == StreamContent::Noise)
            return char(kNoise[m_StreamPos++ % sizeof kNoise]);
        if (m_StreamPos >= m_StreamText.size()) {
            m_StreamText = DebugOutput::line(m_StreamLines, uint64_t(m_StreamLines) * 1000);
            ++m_StreamLines;
            m_StreamPos = 0;
        }
        return m_StreamText[m_StreamPos++];
    };
    if (!realtime()) {
        std::string chunk;
        while (chunk.size() < kStreamBytesPerPoll)
            chunk += next();
        transmit(chunk, 0);
        return;
    }
    if (now > m_ChipLineFree + kStreamCatchUpNs)
        m_ChipLineFree = now - kStreamCatchUpNs;
    // Back to back: every byte that has had time to arrive by now is on its way.
    while (m_ChipLineFree <= now)
        transmit(std::string(1, next()), m_ChipLineFree);
}

} // namespace pelsim
