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

private:
    ByteRing ReceiveBuffer;
    ByteRing OutBuffer;
    quint16 HeadBuffer[128];
    quint16 HeadReadIdx = 0;
    quint16 HeadWriteIdx = 0;
    quint8 m_LastRawByte = 0;
};
