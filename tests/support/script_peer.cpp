#include "script_peer.h"


void ScriptPeer::hostWrite(const uint8_t *data, size_t length, uint16_t lineControl)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(length));
    m_Writes.append({bytes, lineControl});
    if (!m_Auto || m_Writes.size() < m_AnswerFrom)
        return;
    if (m_Writes.size() == m_NackWrite) {
        m_Queue.push_back(0x1F);
        return;
    }
    const int n = m_Writes.size();
    const bool readCount = n >= 3 && length == 2 && uint8_t(data[0] ^ data[1]) == 0xFF
                           && m_Writes.at(n - 2).bytes.size() == 5
                           && m_Writes.at(n - 3).bytes == QByteArray("\x11\xEE", 2);
    if (readCount) {
        m_Queue.push_back(0x79);
        const uint32_t from = flashOffset(m_Writes.at(n - 2).bytes);
        for (uint32_t i = 0; i <= data[0]; ++i)
            m_Queue.push_back(from + i < uint32_t(m_Flash.size()) ? uint8_t(m_Flash.at(int(from + i))) : 0);
        return;
    }
    if (bytes == QByteArray("\x02\xFD", 2)) {
        const uint8_t reply[] = {0x79, 0x01, uint8_t(m_ProductId >> 8), uint8_t(m_ProductId), 0x79};
        m_Queue.insert(m_Queue.end(), reply, reply + sizeof reply);
        return;
    }
    // A data frame follows an address frame; it is the one whose ACK completes a block.
    const bool isData = m_ExpectData;
    m_ExpectData = (length == 5 && m_Writes.size() >= 2
                    && m_Writes.at(m_Writes.size() - 2).bytes == QByteArray("\x31\xCE", 2));
    m_Queue.push_back(0x79);
    if (isData)
        program(flashOffset(m_Writes.at(n - 2).bytes), bytes.mid(1, int(length) - 2));
    if (isData && ++m_DataBlocks == m_UnplugAfter)
        m_Detached = true;
}

uint32_t ScriptPeer::flashOffset(const QByteArray &addressFrame)
{
    uint32_t address = 0;
    for (int i = 0; i < 4; ++i)
        address = address << 8 | uint8_t(addressFrame.at(i));
    return address - 0x08000000u;
}

void ScriptPeer::program(uint32_t offset, const QByteArray &bytes)
{
    for (int i = 0; i < bytes.size(); ++i) {
        const uint32_t at = offset + uint32_t(i);
        if (at < uint32_t(m_Flash.size()))
            m_Flash[int(at)] = bytes.at(i);
    }
}

size_t ScriptPeer::hostAvailable()
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Queue.size();
}

size_t ScriptPeer::hostRead(uint8_t *out, size_t maxLength)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    size_t n = 0;
    while (n < maxLength && !m_Queue.empty()) {
        out[n++] = m_Queue.front();
        m_Queue.pop_front();
    }
    return n;
}

void ScriptPeer::hostPurge()
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Queue.clear();
    ++m_Purges;
}

void ScriptPeer::setLatch(uint8_t latch)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Latches.append(latch);
}

void ScriptPeer::inject(const QByteArray &bytes)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Queue.insert(m_Queue.end(), bytes.begin(), bytes.end());
}

QList<ScriptPeer::Write> ScriptPeer::writes() const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Writes;
}

QList<uint8_t> ScriptPeer::latchHistory() const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Latches;
}

int ScriptPeer::purges() const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Purges;
}

int ScriptPeer::countFrames(const QByteArray &prefix) const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    int n = 0;
    for (const Write &w : m_Writes)
        n += w.bytes.startsWith(prefix) ? 1 : 0;
    return n;
}
