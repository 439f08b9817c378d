#pragma once
// The simulated Orbalo board: an STM32F103 (medium density) with its ROM bootloader as the
// USART protocol of ST's AN3155 describes it, the RESET/BOOT0 pins on the bridge's latch, and
// an application that announces which firmware runs. Replies are available as soon as the
// request is complete.

#include "serial_peer.h"

#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace pelsim {

constexpr uint32_t kFlashBase = 0x08000000;
constexpr uint32_t kFlashSize = 128 * 1024;
constexpr uint32_t kPageSize = 1024;
constexpr uint32_t kRamBase = 0x20000000;
constexpr uint32_t kRamSize = 20 * 1024;
constexpr uint32_t kRamWritableFrom = 0x20000200;  // below: the bootloader's own RAM

struct BoardOptions {
    uint16_t productId = 0x0410;
    // A strict board does not recognise bytes framed without even parity in bootloader mode.
    bool strictParity = true;
    // Raw 131,072-byte flash file; empty keeps the flash in memory.
    std::string flashPath;
};

class SimBoard : public SerialPeer {
public:
    enum class Mode { Held, Bootloader, Application, Silent };

    explicit SimBoard(BoardOptions options = {});

    // PELMORA_SIM_FLASH (path), PELMORA_SIM_FAULTS ("product-id=0x041a", "lenient-parity").
    static BoardOptions optionsFromEnvironment();

    void hostWrite(const uint8_t *data, size_t length, uint16_t lineControl) override;
    size_t hostAvailable() override { return m_Out.size(); }
    size_t hostRead(uint8_t *out, size_t maxLength) override;
    void hostPurge() override { m_Out.clear(); }
    void setLatch(uint8_t latch) override;

    std::vector<uint8_t> flash() const { return m_Flash; }
    void loadFlash(const std::vector<uint8_t> &bytes, uint32_t offset = 0);
    Mode mode() const { return m_Mode; }
    std::string lastBanner() const { return m_Banner; }
    // The banner of the firmware in flash: its name, the programmed length and its CRC-32.
    std::string banner() const;
    int blocksWritten() const { return m_BlocksWritten; }

private:
    enum class Step { Sync, Command, Complement, Address, Count, Data, ErasePages, ReadCount, Done };

    void boot();
    void byteIn(uint8_t byte);
    void startCommand(uint8_t command);
    void finishAddress();
    void finishWrite();
    void finishErase();
    void reply(std::initializer_list<uint8_t> bytes);
    void ack();
    void nack();
    bool plausibleImage() const;
    bool readable(uint32_t address, uint32_t length) const;
    bool writable(uint32_t address, uint32_t length) const;
    void persist(uint32_t offset, uint32_t length);

    BoardOptions m_Options;
    std::vector<uint8_t> m_Flash;
    std::array<uint8_t, kRamSize> m_Ram{};
    std::deque<uint8_t> m_Out;
    Mode m_Mode = Mode::Application;
    uint8_t m_Latch = 0xFF;
    std::string m_Banner;
    int m_BlocksWritten = 0;

    // Bootloader conversation.
    Step m_Step = Step::Sync;
    uint8_t m_Command = 0;
    std::vector<uint8_t> m_Frame;  // bytes of the current stage
    size_t m_Need = 0;
    uint32_t m_Address = 0;
};

} // namespace pelsim
