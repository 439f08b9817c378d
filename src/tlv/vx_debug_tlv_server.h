#pragma once
// Decoder of the board's TLV debug stream: head 0xAA, byte stuffing with 0x55, 16-bit
// little-endian length and checksum, records of tag, 16-bit length and value.

#include "usbdevice/byte_ring.h"

#include <QtGlobal>

class VX_Debug_TLV_Server {
public:
    static constexpr quint16 BufferSizeUART = 4096;
    static constexpr quint8 TLV_DATA_HEAD = 0xAA;

    VX_Debug_TLV_Server();

    // Takes count bytes of the caller's ring (from start, wrapping at sourceSize), unstuffs
    // them, decodes every complete frame and returns count: every byte offered is taken.
    quint16 WriteReceiveBuffer(const quint8 *source, quint16 start, quint16 count,
                               quint16 sourceSize);
    void TLV_Handler();
    bool CheckReceiveChecksum(quint16 length);
    quint16 BufferLength() const;
    quint16 OutBufferLength() const;
    quint16 HeadBufferLength() const;
    qint8 ReadOutBuffer(quint8 &byte);
    // Forgets any half-received frame and the escape state (used when TLV mode is switched on).
    void reset();
    // A frame stopped half-copied because the output ring was full; TLV_Handler() resumes it.
    bool hasPendingOutput() const { return m_WalkOffset != 0; }

private:
    static constexpr quint16 kHeadSlots = 128;
    static constexpr quint16 kHeadMask = 0x7F;
    static constexpr quint16 kUnusedHead = 0xFFFF;

    quint8 at(quint16 pos) const { return ReceiveBuffer.Data[pos & ByteRing::kMask].load(std::memory_order_relaxed); }
    quint16 dataPointer() const { return ReceiveBuffer.ReadIdx.load(std::memory_order_relaxed); }
    void setDataPointer(quint16 pos) { ReceiveBuffer.ReadIdx.store(pos & ByteRing::kMask, std::memory_order_relaxed); }
    void store(quint8 byte);
    // Gives up the oldest frame (or the bytes before the oldest head) to make room.
    void dropOldest();
    // Leaves the frame at DataPointer for the next recorded head (or for the write position).
    void dropFrame();
    void consumeFrame(quint16 length);

    ByteRing ReceiveBuffer;  // its ReadIdx is the DataPointer
    ByteRing OutBuffer;
    quint16 HeadBuffer[kHeadSlots];
    quint16 HeadReadIdx = 0;
    quint16 HeadWriteIdx = 0;
    quint8 m_LastRawByte = 0;
    // Where the walk of the frame at DataPointer stopped when the output ring was full.
    quint16 m_WalkOffset = 0;   // offset of the record being copied (0: walk not started)
    quint16 m_ValueCopied = 0;  // bytes of that record's value already copied
};
