#pragma once
// A peer that records what the host sends and answers only what the test puts in, or, in
// auto mode, answers like a cooperative bootloader: ACK to every frame, the STM32F10x ID
// reply to Get ID, and Read Memory from the flash its Write Memory frames programmed. For
// tests that need the board's answer on an exact step.

#include "serial_peer.h"

#include <QByteArray>
#include <QList>

#include <cstdint>
#include <deque>
#include <mutex>

class ScriptPeer : public pelsim::SerialPeer {
public:
    struct Write {
        QByteArray bytes;
        uint16_t lineControl;
    };

    void hostWrite(const uint8_t *data, size_t length, uint16_t lineControl) override;
    size_t hostAvailable() override;
    size_t hostRead(uint8_t *out, size_t maxLength) override;
    void hostPurge() override;
    void setLatch(uint8_t latch) override;
    bool detached() const override { return m_Detached; }
    void reattach() override { m_Detached = false; }

    void inject(const QByteArray &bytes);
    void setAutoReply(bool on) { m_Auto = on; }
    void setProductId(uint16_t id) { m_ProductId = id; }
    // Pull the cable after this many data blocks have been acknowledged in auto mode.
    void unplugAfterBlocks(int blocks) { m_UnplugAfter = blocks; }
    // In auto mode the n-th write (1-based) is answered with NACK instead of ACK.
    void nackWrite(int n) { m_NackWrite = n; }
    // In auto mode only every write from the n-th on is answered (earlier ones get nothing).
    void answerFromWrite(int n) { m_AnswerFrom = n; }

    QList<Write> writes() const;
    QList<uint8_t> latchHistory() const;
    int purges() const;
    // Writes whose bytes start with the given frame.
    int countFrames(const QByteArray &prefix) const;

private:
    static uint32_t flashOffset(const QByteArray &addressFrame);
    void program(uint32_t offset, const QByteArray &bytes);

    mutable std::mutex m_Mutex;
    QByteArray m_Flash = QByteArray(128 * 1024, char(0xFF));
    std::deque<uint8_t> m_Queue;
    QList<Write> m_Writes;
    QList<uint8_t> m_Latches;
    int m_Purges = 0;
    bool m_Auto = false;
    bool m_Detached = false;
    int m_UnplugAfter = -1;
    int m_DataBlocks = 0;
    int m_NackWrite = -1;
    int m_AnswerFrom = 1;
    bool m_ExpectData = false;
    uint16_t m_ProductId = 0x0410;
};
