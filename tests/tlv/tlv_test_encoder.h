#pragma once
// The tests' own TLV frame writer: records, length, checksum, stuffing.
#include <QByteArray>

inline QByteArray tlvLe16(int value)
{
    return QByteArray(1, char(value & 0xFF)) + char((value >> 8) & 0xFF);
}

inline QByteArray tlvRecord(quint8 tag, const QByteArray &value)
{
    return char(tag) + tlvLe16(value.size()) + value;
}

// Unstuffed frame: head, length, data, checksum (the negated 16-bit sum of length and data).
inline QByteArray tlvFrame(const QByteArray &data, int checksumDelta = 0)
{
    const QByteArray body = tlvLe16(data.size()) + data;
    quint16 sum = 0;
    for (char c : body)
        sum = quint16(sum + quint8(c));
    return char(0xAA) + body + tlvLe16(quint16(quint16(-sum) + checksumDelta));
}

// Wire form: every byte after the head with 0xAA or 0x55 escaped as 0x55, byte ^ 0x20.
inline QByteArray tlvStuff(const QByteArray &frame)
{
    QByteArray out = frame.left(1);
    for (char c : frame.mid(1))
        out += (quint8(c) == 0xAA || quint8(c) == 0x55) ? QByteArray(1, 0x55) + char(c ^ 0x20) : QByteArray(1, c);
    return out;
}
