#include "sim_board.h"

#include "stm32_usart_protocol.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace pelsim {

namespace {
using namespace stm32;
// What Get lists on the STM32F10x: the eleven commands of protocol 2.2.
constexpr uint8_t kCommands[] = {0x00, 0x01, 0x02, 0x11, 0x21, 0x31, 0x43, 0x63, 0x73, 0x82, 0x92};
constexpr uint8_t kLatchReset = 0x01;  // latch level 0 holds the chip in reset
constexpr uint8_t kLatchBoot0 = 0x02;  // latch level 0 raises BOOT0
} // namespace

SimBoard::SimBoard(BoardOptions options) : m_Options(std::move(options)), m_Flash(kFlashSize, 0xFF)
{
    if (!m_Options.flashPath.empty()) {
        std::ifstream in(m_Options.flashPath, std::ios::binary);
        if (in)
            in.read(reinterpret_cast<char *>(m_Flash.data()), kFlashSize);
        else
            persist(0, kFlashSize);  // a new flash file starts erased
    }
    // A board that has been powered for a while runs its firmware, or nothing.
    m_Mode = plausibleImage() ? Mode::Application : Mode::Silent;
}

BoardOptions SimBoard::optionsFromEnvironment()
{
    BoardOptions options;
    if (const char *path = std::getenv("PELMORA_SIM_FLASH"))
        options.flashPath = path;
    if (const char *faults = std::getenv("PELMORA_SIM_FAULTS")) {
        const std::string list = faults;
        size_t pos = 0;
        while (pos <= list.size()) {
            const size_t comma = std::min(list.find(',', pos), list.size());
            const std::string item = list.substr(pos, comma - pos);
            if (item.rfind("product-id=", 0) == 0)
                options.productId = uint16_t(std::strtoul(item.c_str() + 11, nullptr, 0));
            else if (item == "lenient-parity")
                options.strictParity = false;
            pos = comma + 1;
        }
    }
    return options;
}

void SimBoard::loadFlash(const std::vector<uint8_t> &bytes, uint32_t offset)
{
    const size_t n = std::min<size_t>(bytes.size(), kFlashSize - std::min(offset, kFlashSize));
    std::copy_n(bytes.begin(), n, m_Flash.begin() + offset);
    persist(offset, uint32_t(n));
}

size_t SimBoard::hostRead(uint8_t *out, size_t maxLength)
{
    size_t n = 0;
    while (n < maxLength && !m_Out.empty()) {
        out[n++] = m_Out.front();
        m_Out.pop_front();
    }
    return n;
}

void SimBoard::setLatch(uint8_t latch)
{
    const bool wasHeld = !(m_Latch & kLatchReset);
    m_Latch = latch;
    const bool held = !(latch & kLatchReset);
    if (held) {
        m_Mode = Mode::Held;
    } else if (wasHeld) {
        boot();  // the rising edge of RESET
    }
}

void SimBoard::boot()
{
    m_Step = Step::Sync;
    m_Frame.clear();
    if (!(m_Latch & kLatchBoot0)) {
        m_Mode = Mode::Bootloader;
        return;
    }
    if (!plausibleImage()) {
        m_Mode = Mode::Silent;
        return;
    }
    m_Mode = Mode::Application;
    m_Banner = banner();
    const std::string line = "\x1b[32m" + m_Banner + "\x1b[0m\r\n";
    m_Out.insert(m_Out.end(), line.begin(), line.end());
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

std::string SimBoard::banner() const
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

void SimBoard::hostWrite(const uint8_t *data, size_t length, uint16_t lineControl)
{
    if (m_Mode != Mode::Bootloader)
        return;  // held in reset, or an application that reads no input
    // Without even parity the bootloader's UART sees framing errors, not bytes.
    if (m_Options.strictParity && lineControl != kLine8E1)
        return;
    for (size_t i = 0; i < length; ++i)
        byteIn(data[i]);
}

void SimBoard::ack()
{
    m_Out.push_back(kAck);
}

void SimBoard::nack()
{
    m_Out.push_back(kNack);
}

void SimBoard::reply(std::initializer_list<uint8_t> bytes)
{
    m_Out.insert(m_Out.end(), bytes.begin(), bytes.end());
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

void SimBoard::byteIn(uint8_t byte)
{
    switch (m_Step) {
    case Step::Sync:
        if (byte == kSync) {
            ack();
            m_Step = Step::Command;
        }
        return;
    case Step::Command:
        m_Command = byte;
        m_Step = Step::Complement;
        return;
    case Step::Complement:
        if (uint8_t(m_Command ^ byte) != 0xFF) {
            nack();
            m_Step = Step::Command;
            return;
        }
        startCommand(m_Command);
        return;
    default:
        break;
    }
    m_Frame.push_back(byte);
    // The erase's first byte decides how long its frame is.
    if (m_Step == Step::ErasePages && m_Frame.size() == 1)
        m_Need = byte == 0xFF ? 2 : size_t(byte) + 3;
    if (m_Step == Step::Count && m_Frame.size() == 1)
        m_Need = size_t(byte) + 3;
    if (m_Frame.size() < m_Need)
        return;
    switch (m_Step) {
    case Step::Address: finishAddress(); break;
    case Step::Count: finishWrite(); break;
    case Step::ErasePages: finishErase(); break;
    case Step::ReadCount: {
        const uint8_t n = m_Frame[0];
        m_Step = Step::Command;
        if (uint8_t(n ^ m_Frame[1]) != 0xFF || !readable(m_Address, uint32_t(n) + 1)) {
            nack();
            break;
        }
        ack();
        for (uint32_t i = 0; i <= n; ++i) {
            const uint32_t a = m_Address + i;
            m_Out.push_back(a >= kRamBase ? m_Ram[a - kRamBase] : m_Flash[a - kFlashBase]);
        }
        break;
    }
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
        ack();
        m_Out.push_back(uint8_t(sizeof kCommands));
        m_Out.push_back(kProtocolVersion);
        m_Out.insert(m_Out.end(), std::begin(kCommands), std::end(kCommands));
        ack();
        return;
    }
    case kCmdGetVersion: reply({kAck, kProtocolVersion, 0x00, 0x00, kAck}); return;
    case kCmdGetId:
        reply({kAck, 0x01, uint8_t(m_Options.productId >> 8), uint8_t(m_Options.productId), kAck});
        return;
    case kCmdReadMemory:
    case kCmdGo:
    case kCmdWriteMemory:
        ack();
        m_Step = Step::Address;
        m_Need = 5;
        return;
    case kCmdErase:
        ack();
        m_Step = Step::ErasePages;
        m_Need = 1;
        return;
    default: nack(); return;
    }
}

void SimBoard::finishAddress()
{
    const uint32_t address = uint32_t(m_Frame[0]) << 24 | uint32_t(m_Frame[1]) << 16
                             | uint32_t(m_Frame[2]) << 8 | m_Frame[3];
    const uint8_t check = m_Frame[0] ^ m_Frame[1] ^ m_Frame[2] ^ m_Frame[3];
    m_Step = Step::Command;
    const bool valid = m_Command == kCmdWriteMemory ? writable(address, 1) : readable(address, 1);
    if (check != m_Frame[4] || !valid) {
        nack();
        return;
    }
    ack();
    m_Address = address;
    if (m_Command == kCmdGo) {
        // Jumps to the reset vector of the image at the address: here, the flash's own.
        m_Latch |= kLatchBoot0;
        m_Mode = Mode::Application;
        if (plausibleImage()) {
            m_Banner = banner();
            const std::string line = "\x1b[32m" + m_Banner + "\x1b[0m\r\n";
            m_Out.insert(m_Out.end(), line.begin(), line.end());
        }
        return;
    }
    m_Step = m_Command == kCmdReadMemory ? Step::ReadCount : Step::Count;
    m_Need = m_Command == kCmdReadMemory ? 2 : 1;
}

void SimBoard::finishWrite()
{
    m_Step = Step::Command;
    const uint32_t n = uint32_t(m_Frame[0]) + 1;
    uint8_t check = 0;
    for (size_t i = 0; i + 1 < m_Frame.size(); ++i)
        check ^= m_Frame[i];
    const uint8_t *data = m_Frame.data() + 1;
    if (check != m_Frame.back() || !writable(m_Address, n)) {
        nack();
        return;
    }
    if (m_Address >= kRamBase) {
        std::memcpy(m_Ram.data() + (m_Address - kRamBase), data, n);
        ack();
        return;
    }
    // Flash is programmed by whole words and can only clear bits of erased half-words.
    if (m_Address % 4 != 0 || n % 4 != 0) {
        nack();
        return;
    }
    const uint32_t offset = m_Address - kFlashBase;
    for (uint32_t i = 0; i < n; i += 2) {
        const uint16_t now = uint16_t(m_Flash[offset + i] | m_Flash[offset + i + 1] << 8);
        const uint16_t want = uint16_t(data[i] | data[i + 1] << 8);
        if (want != 0xFFFF && now != 0xFFFF) {
            nack();  // programming error: nothing of this block is written
            return;
        }
    }
    for (uint32_t i = 0; i < n; i += 2)
        if (data[i] != 0xFF || data[i + 1] != 0xFF) {
            m_Flash[offset + i] = data[i];
            m_Flash[offset + i + 1] = data[i + 1];
        }
    persist(offset, n);
    ++m_BlocksWritten;
    ack();
}

void SimBoard::finishErase()
{
    m_Step = Step::Command;
    if (m_Frame[0] == kMassEraseCode) {
        if (m_Frame.size() != 2 || m_Frame[1] != 0x00) {
            nack();
            return;
        }
        std::fill(m_Flash.begin(), m_Flash.end(), 0xFF);
        persist(0, kFlashSize);
        ack();
        return;
    }
    uint8_t check = 0;
    for (size_t i = 0; i + 1 < m_Frame.size(); ++i)
        check ^= m_Frame[i];
    bool valid = check == m_Frame.back();
    for (size_t i = 1; i + 1 < m_Frame.size() && valid; ++i)
        valid = m_Frame[i] < kFlashSize / kPageSize;
    if (!valid) {
        nack();
        return;
    }
    for (size_t i = 1; i + 1 < m_Frame.size(); ++i) {
        const uint32_t page = m_Frame[i] * kPageSize;
        std::fill_n(m_Flash.begin() + page, kPageSize, 0xFF);
        persist(page, kPageSize);
    }
    ack();
}

void SimBoard::persist(uint32_t offset, uint32_t length)
{
    if (m_Options.flashPath.empty() || length == 0)
        return;
    // Written through at once: nothing programmed is lost when the program using the board
    // ends, however it ends.
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
