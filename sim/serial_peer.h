#pragma once
// What a USB-to-UART bridge sees of the thing wired behind it: a UART and two GPIO lines.
// The simulated bridge hands every byte, the line-control word and the latch levels to a peer;
// the simulated Orbalo board is one, a plain echo is another. Calls come from any thread, but
// never two at once: the bridge serialises them.

#include <cstddef>
#include <cstdint>
#include <deque>

namespace pelsim {

// The bridge's line-control word: stop bits in bits 0-3, parity in 4-7, data bits in 8-15.
constexpr uint16_t kLine8N1 = 0x0800;
constexpr uint16_t kLine8E1 = 0x0820;

class SerialPeer {
public:
    virtual ~SerialPeer();

    // Host to peer: bytes as framed by the bridge's current line-control word.
    virtual void hostWrite(const uint8_t *data, size_t length, uint16_t lineControl) = 0;
    // Peer to host: bytes that have arrived at the bridge by now.
    virtual size_t hostAvailable() = 0;
    virtual size_t hostRead(uint8_t *out, size_t maxLength) = 0;
    // Drops whatever the peer has queued towards the host (the bridge's receive purge).
    virtual void hostPurge() = 0;
    // The bridge's GPIO latch: bit 0 drives RESET, bit 1 drives BOOT0, both active low.
    virtual void setLatch(uint8_t latch) = 0;
    // The bridge was opened or closed by the host (a real board keeps running either way).
    virtual void hostOpened(bool /*open*/) {}
    // True once the peer has pulled its USB cable (a fault a test asked for): the bridge then
    // behaves as unplugged.
    virtual bool detached() const { return false; }
    // The cable is back in (the bridge was plugged again).
    virtual void reattach() {}
};

// Sends every byte straight back: a stand-in peer for tests of the bridge layer alone.
class EchoPeer : public SerialPeer {
public:
    void hostWrite(const uint8_t *data, size_t length, uint16_t lineControl) override;
    size_t hostAvailable() override { return m_Queue.size(); }
    size_t hostRead(uint8_t *out, size_t maxLength) override;
    void hostPurge() override { m_Queue.clear(); }
    void setLatch(uint8_t latch) override { m_Latch = latch; }

    // Bytes the test wants the host to receive, as if the peer had sent them.
    void inject(const uint8_t *data, size_t length);
    uint8_t latch() const { return m_Latch; }
    uint16_t lastLineControl() const { return m_LineControl; }

private:
    std::deque<uint8_t> m_Queue;
    uint8_t m_Latch = 0xFF;
    uint16_t m_LineControl = kLine8N1;
};

} // namespace pelsim
