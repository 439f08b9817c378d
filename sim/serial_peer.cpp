#include "serial_peer.h"

namespace pelsim {

SerialPeer::~SerialPeer() = default;

void EchoPeer::hostWrite(const uint8_t *data, size_t length, uint16_t lineControl)
{
    m_LineControl = lineControl;
    m_Queue.insert(m_Queue.end(), data, data + length);
}

size_t EchoPeer::hostRead(uint8_t *out, size_t maxLength)
{
    size_t n = 0;
    while (n < maxLength && !m_Queue.empty()) {
        out[n++] = m_Queue.front();
        m_Queue.pop_front();
    }
    return n;
}

void EchoPeer::inject(const uint8_t *data, size_t length)
{
    m_Queue.insert(m_Queue.end(), data, data + length);
}

} // namespace pelsim
