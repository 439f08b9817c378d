#include "vx_debug_tlv_server.h"

#include "app/log.h"

namespace {
constexpr const char *kHandler = "VX_Debug_TLV_Server::TLV_Handler";
constexpr const char *kChecksum = "VX_Debug_TLV_Server::CheckReceiveChecksum";
constexpr quint8 kEscape = 0x55;
constexpr quint8 kEscapeXor = 0x20;
constexpr quint8 kConsumedHead = 0x0D;
constexpr quint8 kTagFirst = 0xF0;
constexpr quint8 kTagLast = 0xF2;
constexpr quint16 kFrameOverhead = 5;  // head, two length bytes, two checksum bytes
} // namespace

VX_Debug_TLV_Server::VX_Debug_TLV_Server()
{
    for (quint16 &h : HeadBuffer)
        h = kUnusedHead;
}

quint16 VX_Debug_TLV_Server::BufferLength() const
{
    return quint16((ReceiveBuffer.WriteIdx.load(std::memory_order_relaxed) - dataPointer()) & ByteRing::kMask);
}

quint16 VX_Debug_TLV_Server::OutBufferLength() const
{
    return OutBuffer.count();
}

quint16 VX_Debug_TLV_Server::HeadBufferLength() const
{
    return quint16((HeadWriteIdx - HeadReadIdx) & kHeadMask);
}

qint8 VX_Debug_TLV_Server::ReadOutBuffer(quint8 &byte)
{
    return OutBuffer.take(byte) ? 1 : -1;
}

void VX_Debug_TLV_Server::reset()
{
    setDataPointer(ReceiveBuffer.WriteIdx.load(std::memory_order_relaxed));
    for (quint16 &h : HeadBuffer)
        h = kUnusedHead;
    HeadReadIdx = HeadWriteIdx = 0;
    m_LastRawByte = 0;
    m_WalkOffset = m_ValueCopied = 0;
}

void VX_Debug_TLV_Server::dropOldest()
{
    const quint16 before = BufferLength();
    if (HeadBufferLength() > 0 && HeadBuffer[HeadReadIdx] != dataPointer()) {
        setDataPointer(HeadBuffer[HeadReadIdx]);  // bytes before the oldest head first
    } else {
        dropFrame();
    }
    logError(kHandler, "Receive buffer full -> %d Bytes dropped", int(before - BufferLength()));
}

void VX_Debug_TLV_Server::dropFrame()
{
    if (HeadBufferLength() > 0 && HeadBuffer[HeadReadIdx] == dataPointer()) {
        HeadBuffer[HeadReadIdx] = kUnusedHead;
        HeadReadIdx = quint16((HeadReadIdx + 1) & kHeadMask);
    }
    setDataPointer(HeadBufferLength() > 0 ? HeadBuffer[HeadReadIdx]
                                          : ReceiveBuffer.WriteIdx.load(std::memory_order_relaxed));
    m_WalkOffset = m_ValueCopied = 0;
}

void VX_Debug_TLV_Server::store(quint8 byte)
{
    // Never overwrite what DataPointer or a recorded head still points at.
    while (ReceiveBuffer.freeSpace() == 0)
        dropOldest();
    ReceiveBuffer.put(byte);
}

quint16 VX_Debug_TLV_Server::WriteReceiveBuffer(const quint8 *source, quint16 start, quint16 count,
                                                quint16 sourceSize)
{
    for (quint16 k = 0; k < count; ++k) {
        const quint8 c = source[(quint32(start) + k) % sourceSize];
        if (c == TLV_DATA_HEAD) {
            while (HeadBufferLength() == kHeadSlots - 1)
                dropOldest();
            while (ReceiveBuffer.freeSpace() == 0)
                dropOldest();
            HeadBuffer[HeadWriteIdx] = ReceiveBuffer.WriteIdx.load(std::memory_order_relaxed);
            HeadWriteIdx = quint16((HeadWriteIdx + 1) & kHeadMask);
            ReceiveBuffer.put(c);
        } else if (c != kEscape) {
            store(m_LastRawByte == kEscape ? quint8(c ^ kEscapeXor) : c);
        }
        m_LastRawByte = c;
    }
    TLV_Handler();
    return count;
}

bool VX_Debug_TLV_Server::CheckReceiveChecksum(quint16 length)
{
    if (length > BufferSizeUART) {
        logError(kChecksum, "CHECKSUM (BufferSizeUART < u16DataLength)");
        return false;
    }
    const quint16 dp = dataPointer();
    quint16 sum = 0;
    for (quint16 i = 1; i < length; ++i)
        sum = quint16(sum + at(quint16(dp + i)));
    const quint16 stored = quint16(at(quint16(dp + length)) | (at(quint16(dp + length + 1)) << 8));
    return stored == quint16(-sum);
}

void VX_Debug_TLV_Server::consumeFrame(quint16 length)
{
    const quint16 dp = dataPointer();
    ReceiveBuffer.Data[dp].store(kConsumedHead, std::memory_order_relaxed);
    setDataPointer(quint16(dp + length));
    HeadBuffer[HeadReadIdx] = kUnusedHead;
    HeadReadIdx = quint16((HeadReadIdx + 1) & kHeadMask);
    m_WalkOffset = m_ValueCopied = 0;
}

void VX_Debug_TLV_Server::TLV_Handler()
{
    while (HeadBufferLength() >= 1) {
        const quint16 head = HeadBuffer[HeadReadIdx];
        if (dataPointer() != head)
            logError(kHandler, "DataPointer adr:%d != HeadBuffer adr:%d", int(dataPointer()), int(head));
        if (at(dataPointer()) != TLV_DATA_HEAD) {
            logError(kHandler, "Data @ DataPointer[0x%02x] != TLV_DATA_HEAD", at(dataPointer()));
            setDataPointer(head);
        }
        if (BufferLength() < 3) {
            logError(kHandler, "BufferLength() < 0x03");
            return;
        }
        const quint16 dp = dataPointer();
        const quint16 n = quint16(at(quint16(dp + 1)) | (at(quint16(dp + 2)) << 8));
        if (n == 0 && m_WalkOffset == 0)
            logStatus(kHandler, "DataLength == 0 @ %d", int(dp));
        const quint32 frameLength = quint32(n) + kFrameOverhead;
        if (frameLength > ByteRing::kMask) {
            // The ring holds 4095 bytes: this frame can never be complete.
            logError(kHandler, "u16DataLength %d can never fit -> Frame dropped", int(n));
            dropFrame();
            continue;
        }
        if (BufferLength() < frameLength) {
            // A later head inside the frame's span means the frame lost bytes on the way.
            if (HeadBufferLength() >= 2) {
                const quint16 next = HeadBuffer[(HeadReadIdx + 1) & kHeadMask];
                if (quint16((next - dp) & ByteRing::kMask) < frameLength) {
                    logError(kHandler, "Frame @ %d cut by the next head -> Frame dropped", int(dp));
                    dropFrame();
                    continue;
                }
            }
            logError(kHandler, "BufferLength() < (u16DataLength + 0x05) -> Soll:%d Bytes Ist:%d",
                     int(frameLength), int(BufferLength()));
            return;
        }
        if (m_WalkOffset == 0) {
            if (!CheckReceiveChecksum(quint16(n + 3))) {
                logError(kHandler, "CheckSum Wrong!");
                dropFrame();
                continue;
            }
            m_WalkOffset = 3;
        }
        const quint16 end = quint16(n + 3);
        while (m_WalkOffset < end) {
            const quint16 offset = m_WalkOffset;
            if (quint32(offset) + 3 > end) {
                logError(kHandler, "Record @ %d runs past the frame", int(offset));
                break;
            }
            const quint8 tag = at(quint16(dp + offset));
            const quint16 length = quint16(at(quint16(dp + offset + 1)) | (at(quint16(dp + offset + 2)) << 8));
            if (quint32(offset) + 3 + length > end) {
                logError(kHandler, "Record @ %d runs past the frame", int(offset));
                break;
            }
            if (tag >= kTagFirst && tag <= kTagLast) {
                while (m_ValueCopied < length) {
                    if (!OutBuffer.put(at(quint16(dp + offset + 3 + m_ValueCopied))))
                        return;  // resumed on the next call, once the output is drained
                    ++m_ValueCopied;
                }
            } else if (m_ValueCopied == 0) {
                logError(kHandler, "Unkown Tag: %d", int(tag));
            }
            m_ValueCopied = 0;
            m_WalkOffset = quint16(offset + 3 + length);
        }
        consumeFrame(quint16(frameLength));
    }
}
