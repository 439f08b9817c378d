#pragma once
// What stands between the bridge and the board in a test: it records every frame the host
// sends and every latch level, hands them on to the board behind it (none: a board that never
// answers), and lets the test put bytes on the line as if the board had sent them.
#include "serial_peer.h"

#include <QByteArray>
#include <QList>

#include <deque>
#include <memory>
#include <mutex>

class ScriptPeer : public pelsim::SerialPeer {
public:
    explicit ScriptPeer(std::shared_ptr<pelsim::SerialPeer> board = nullptr) : m_Board(std::move(board)) {}

    void hostWrite(const uint8_t *data, size_t length, uint16_t lineControl) override
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Writes.append(QByteArray(reinterpret_cast<const char *>(data), int(length)));
        if (m_Board && m_Deaf > 0)
            --m_Deaf;
        else if (m_Board)
            m_Board->hostWrite(data, length, lineControl);
    }
    size_t hostAvailable() override
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Queue.size() + (m_Board ? m_Board->hostAvailable() : 0);
    }
    size_t hostRead(uint8_t *out, size_t maxLength) override
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        size_t n = 0;
        for (; n < maxLength && !m_Queue.empty(); ++n, m_Queue.pop_front())
            out[n] = m_Queue.front();
        return n + (m_Board ? m_Board->hostRead(out + n, maxLength - n) : 0);
    }
    void hostPurge() override
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Queue.clear();
        ++m_Purges;
        if (m_Board)
            m_Board->hostPurge();
    }
    void setLatch(uint8_t latch) override
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Latches.append(latch);
        if (m_Board)
            m_Board->setLatch(latch);
    }
    bool detached() const override { return m_Board && m_Board->detached(); }
    void reattach() override
    {
        if (m_Board)
            m_Board->reattach();
    }

    void inject(const QByteArray &bytes)
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Queue.insert(m_Queue.end(), bytes.begin(), bytes.end());
    }
    // The board does not hear the next n frames (a line that comes up late).
    void deafFor(int n)
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Deaf = n;
    }
    QList<QByteArray> writes() const { return locked(m_Writes); }
    QList<uint8_t> latchHistory() const { return locked(m_Latches); }
    int purges() const { return locked(m_Purges); }
    int countFrames(const QByteArray &frame) const { return int(writes().count(frame)); }

private:
    template <class T> T locked(const T &member) const
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return member;
    }

    mutable std::mutex m_Mutex;
    std::shared_ptr<pelsim::SerialPeer> m_Board;
    std::deque<uint8_t> m_Queue;
    QList<QByteArray> m_Writes;
    QList<uint8_t> m_Latches;
    int m_Purges = 0;
    int m_Deaf = 0;
};
