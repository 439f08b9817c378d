#pragma once
// A third handle on the segment that touches bytes at their offsets, as a foreign program
// would, without the block's struct.
#include <QByteArray>
#include <QSharedMemory>
#include <QString>

#include <cstring>

class RawBlock {
public:
    explicit RawBlock(const QString &key) { m_Memory.setKey(key); }
    bool attach() { return m_Memory.attach(); }
    bool create(int size) { return m_Memory.create(size); }
    int size() const { return m_Memory.size(); }
    void write(int offset, const QByteArray &bytes)
    {
        m_Memory.lock();
        std::memcpy(static_cast<char *>(m_Memory.data()) + offset, bytes.constData(), size_t(bytes.size()));
        m_Memory.unlock();
    }
    void fill(char value) { write(0, QByteArray(m_Memory.size(), value)); }
    QByteArray read(int offset, int length)
    {
        m_Memory.lock();
        const QByteArray out(static_cast<const char *>(m_Memory.constData()) + offset, length);
        m_Memory.unlock();
        return out;
    }
    quint8 byteAt(int offset) { return quint8(read(offset, 1).at(0)); }
    qint32 int32At(int offset)  // little-endian
    {
        const QByteArray b = read(offset, 4);
        return qint32(quint8(b[0]) | quint32(quint8(b[1])) << 8 | quint32(quint8(b[2])) << 16 | quint32(quint8(b[3])) << 24);
    }
    // Holds the segment's lock as a careless client would, until release().
    bool holdLock() { return m_Held = m_Memory.lock(); }
    void release()
    {
        if (m_Held)
            m_Memory.unlock();
        m_Held = false;
    }

private:
    QSharedMemory m_Memory;
    bool m_Held = false;
};
