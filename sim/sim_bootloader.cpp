// The STM32F10x ROM bootloader's side of the USART protocol (ST's AN3155, version 2.2). The
// fault knobs that make it answer late, wrong or not at all are in sim_faults.cpp.
#include "sim_board.h"

#include "board_application.h"
#include "stm32_usart_protocol.h"

#include <algorithm>
#include <cstring>

namespace pelsim {

namespace {
using namespace stm32;
// What Get lists on the STM32F10x: the eleven commands of protocol 2.2.
constexpr uint8_t kCommands[] = {0x00, 0x01, 0x02, 0x11, 0x21, 0x31, 0x43, 0x63, 0x73, 0x82, 0x92};
} // namespace

bool SimBoard::lineAccepted(uint16_t line) const
{
    if (!m_Options.strictParity)
        return true;
    // Another framing gives the bootloader's USART parity or framing errors, not bytes.
    return (line >> 8) == 8 && ((line >> 4) & 0x0F) == m_Options.bootloaderParity;
}

void SimBoard::ack(FrameKind kind, uint64_t busyNs)
{
    reply(kind, std::string(1, char(kAck)), busyNs);
}

void SimBoard::nack(FrameKind kind)
{
    reply(kind, std::string(1, char(kNack)));
}

bool SimBoard::readable(uint32_t address, uint32_t length) const
{
    const uint64_t end = uint64_t(address) + length;
    return (address >= kFlashBase && end <= uint64_t(kFlashBase) + kFlashSize)
           || (address >= kRamBase && end <= uint64_t(kRamBase) + kRamSize);
}

bool SimBoard::writable(uint32_t address, uint32_t length) const
{
    const uint64_t end = uint64_t(address) + length;
    return (address >= kFlashBase && end <= uint64_t(kFlashBase) + kFlashSize)
           || (address >= kRamWritableFrom && end <= uint64_t(kRamBase) + kRamSize);
}

void SimBoard::byteIn(uint8_t byte, uint16_t line)
{
    if (!lineAccepted(line)) {
        ++m_Stats.lostBytes;
        return;
    }
    FrameKind opening = FrameKind::Sync;
    if (!m_Options.strays.empty() && opensFrame(byte, opening))
        frameStarting(opening);
    switch (m_Step) {
    case Step::Sync:
        if (byte != kSync || !frameArrived(FrameKind::Sync))
            return;
        if (m_Options.chatterBytes > 0 && !m_ChatterDone) {
            // The firmware's last lines are still on their way when the bootloader answers.
            m_ChatterDone = true;
            std::string text;
            for (uint32_t n = 0; text.size() < size_t(m_Options.chatterBytes); ++n)
                text += DebugOutput::line(n, uint64_t(n) * 100000);
            text.resize(size_t(m_Options.chatterBytes));
            transmit(text, m_EventAt);
        }
        ack(FrameKind::Sync);
        m_Step = Step::Command;
        if (m_Options.stream && !m_Options.streamFromFrame && !m_StreamDone)
            startStream();
        return;
    case Step::Command:
        m_Command = byte;
        m_Step = Step::Complement;
        return;
    case Step::Complement:
        m_Step = Step::Command;
        if (uint8_t(m_Command ^ byte) != 0xFF) {
            nack(FrameKind::Command);
            return;
        }
        startCommand(m_Command);
        return;
    default:
        break;
    }
    m_Frame.push_back(byte);
    // The first byte of a count or an erase decides how long its frame is.
    if (m_Step == Step::ErasePages && m_Frame.size() == 1)
        m_Need = byte == kMassEraseCode ? 2 : size_t(byte) + 3;
    if (m_Step == Step::Count && m_Frame.size() == 1)
        m_Need = size_t(byte) + 3;
    if (m_Frame.size() < m_Need)
        return;
    switch (m_Step) {
    case Step::Address: finishAddress(); break;
    case Step::Count: finishWrite(); break;
    case Step::ErasePages: finishErase(); break;
    case Step::ReadCount: finishRead(); break;
    default: break;
    }
    m_Frame.clear();
}

void SimBoard::startCommand(uint8_t command)
{
    m_Frame.clear();
    m_Step = Step::Command;
    switch (command) {
    case kCmdGet: {
        if (!frameArrived(FrameKind::Command))
            return;
        std::string r(1, char(kAck));
        r += char(sizeof kCommands);
        r += char(kProtocolVersion);
        r.append(reinterpret_cast<const char *>(kCommands), sizeof kCommands);
        r += char(kAck);
        reply(FrameKind::Command, r);
        return;
    }
    case kCmdGetVersion:
        if (frameArrived(FrameKind::Command))
            reply(FrameKind::Command, std::string{char(kAck), char(kProtocolVersion), 0, 0, char(kAck)});
        return;
    case kCmdGetId:
        if (frameArrived(FrameKind::GetId))
            reply(FrameKind::GetId, std::string{char(kAck), 0x01, char(m_Options.productId >> 8),
                                                char(m_Options.productId & 0xFF), char(kAck)});
        return;
    case kCmdReadMemory:
        if (!frameArrived(FrameKind::Read))
            return;
        ack(FrameKind::Read);
        m_Step = Step::Address;
        m_Need = 5;
        return;
    case kCmdWriteMemory:
        if (m_Options.unplugAfterBlocks == 0 && m_BlocksWritten == 0) {
            detach();
            return;
        }
        [[fallthrough]];
    case kCmdGo:
        if (!frameArrived(FrameKind::Command))
            return;
        ack(FrameKind::Command);
        m_Step = Step::Address;
        m_Need = 5;
        return;
    case kCmdErase:
        if (!frameArrived(FrameKind::Erase))
            return;
        ack(FrameKind::Erase);
        m_Step = Step::ErasePages;
        m_Need = 1;
        return;
    default:
        nack(FrameKind::Command);
        return;
    }
}

void SimBoard::finishAddress()
{
    m_Step = Step::Command;
    const FrameKind kind = m_Command == kCmdReadMemory ? FrameKind::ReadAddress : FrameKind::Address;
    if (!frameArrived(kind))
        return;
    const uint32_t address = uint32_t(m_Frame[0]) << 24 | uint32_t(m_Frame[1]) << 16
                             | uint32_t(m_Frame[2]) << 8 | m_Frame[3];
    const uint8_t check = m_Frame[0] ^ m_Frame[1] ^ m_Frame[2] ^ m_Frame[3];
    const bool valid = m_Command == kCmdWriteMemory ? writable(address, 1) : readable(address, 1);
    if (check != m_Frame[4] || !valid) {
        nack(kind);
        return;
    }
    ack(kind);
    m_Address = address;
    if (m_Command == kCmdGo) {
        // Jumps to the reset vector of the image at the address; only the flash holds one.
        if (address >= kFlashBase && plausibleImage())
            startApplication(m_ChipLineFree);
        else
            m_Mode = Mode::Silent;
        return;
    }
    m_Step = m_Command == kCmdReadMemory ? Step::ReadCount : Step::Count;
    m_Need = m_Command == kCmdReadMemory ? 2 : 1;
}

void SimBoard::finishRead()
{
    m_Step = Step::Command;
    if (!frameArrived(FrameKind::ReadCount))
        return;
    const uint8_t n = m_Frame[0];
    if (uint8_t(n ^ m_Frame[1]) != 0xFF || !readable(m_Address, uint32_t(n) + 1)) {
        nack(FrameKind::ReadCount);
        return;
    }
    std::string r(1, char(kAck));
    for (uint32_t i = 0; i <= n; ++i) {
        const uint32_t a = m_Address + i;
        r += char(a >= kRamBase ? m_Ram[a - kRamBase] : m_Flash[a - kFlashBase]);
    }
    reply(FrameKind::ReadCount, r);
}

void SimBoard::finishWrite()
{
    m_Step = Step::Command;
    if (!frameArrived(FrameKind::Data))
        return;
    const uint32_t n = uint32_t(m_Frame[0]) + 1;
    uint8_t check = 0;
    for (size_t i = 0; i + 1 < m_Frame.size(); ++i)
        check ^= m_Frame[i];
    const uint8_t *data = m_Frame.data() + 1;
    if (check != m_Frame.back() || !writable(m_Address, n)) {
        nack(FrameKind::Data);
        return;
    }
    if (m_Address >= kRamBase) {
        std::memcpy(m_Ram.data() + (m_Address - kRamBase), data, n);
        ack(FrameKind::Data);
        return;
    }
    // Flash is programmed by whole words and can only clear bits of erased half-words.
    if (m_Address % 4 != 0 || n % 4 != 0) {
        nack(FrameKind::Data);
        return;
    }
    const uint32_t offset = m_Address - kFlashBase;
    for (uint32_t i = 0; i < n; i += 2) {
        const uint16_t now = uint16_t(m_Flash[offset + i] | m_Flash[offset + i + 1] << 8);
        const uint16_t want = uint16_t(data[i] | data[i + 1] << 8);
        if (want != 0xFFFF && now != 0xFFFF) {
            nack(FrameKind::Data);  // programming error: nothing of this block is written
            return;
        }
    }
    for (uint32_t i = 0; i < n; i += 2)
        if ((data[i] != 0xFF || data[i + 1] != 0xFF) && !unprogrammed(m_Address + i)) {
            m_Flash[offset + i] = data[i];
            m_Flash[offset + i + 1] = data[i + 1];
        }
    persist(offset, n);
    ++m_BlocksWritten;
    ack(FrameKind::Data, uint64_t(n / 2) * kHalfWordProgramNs);
    if (m_BlocksWritten == m_Options.unplugAfterBlocks)
        detach();  // the block is in flash; its ACK goes with the cable
}

void SimBoard::finishErase()
{
    m_Step = Step::Command;
    if (!frameArrived(FrameKind::EraseCode))
        return;
    if (m_Frame[0] == kMassEraseCode) {
        if (m_Frame.size() != 2 || m_Frame[1] != 0x00) {
            nack(FrameKind::EraseCode);
            return;
        }
        std::fill(m_Flash.begin(), m_Flash.end(), 0xFF);
        persist(0, kFlashSize);
        ack(FrameKind::EraseCode, kMassEraseNs);
        return;
    }
    uint8_t check = 0;
    for (size_t i = 0; i + 1 < m_Frame.size(); ++i)
        check ^= m_Frame[i];
    bool valid = check == m_Frame.back();
    for (size_t i = 1; i + 1 < m_Frame.size() && valid; ++i)
        valid = m_Frame[i] < kFlashSize / kPageSize;
    if (!valid) {
        nack(FrameKind::EraseCode);
        return;
    }
    const size_t pages = m_Frame.size() - 2;
    for (size_t i = 1; i + 1 < m_Frame.size(); ++i) {
        const uint32_t page = m_Frame[i] * kPageSize;
        std::fill_n(m_Flash.begin() + page, kPageSize, 0xFF);
        persist(page, kPageSize);
    }
    ack(FrameKind::EraseCode, uint64_t(pages) * kPageEraseNs);
}

} // namespace pelsim
