#pragma once
// The tests' own TLV frame writer: records, length, checksum, stuffing.

#include <QByteArray>
#include <QList>
#include <QPair>

inline QByteArray tlvRecord(quint8 tag, const QByteArray &value)
{
    QByteArray r;
    r.append(char(tag));
    r.append(char(value.size() & 0xFF));
    r.append(char(value.size() >> 8));
    return r + value;
}

// Unstuffed frame: head, length, data, checksum.
inline QByteArray tlvFrame(const QByteArray &data, int checksumDelta = 0)
{
    QByteArray body;
    body.append(char(data.size() & 0xFF));
    body.append(char(data.size() >> 8));
    body += data;
    quint16 sum = 0;
    for (char c : body)
        sum = quint16(sum + quint8(c));
    const quint16 check = quint16(quint16(-sum) + checksumDelta);
    QByteArray frame;
    frame.append(char(0xAA));
    frame += body;
    frame.append(char(check & 0xFF));
    frame.append(char(check >> 8));
    return frame;
}

// Wire form: every byte after the head with 0xAA or 0x55 escaped as 0x55, byte ^ 0x20.
inline QByteArray tlvStuff(const QByteArray &frame)
{
    QByteArray out;
    out.append(frame.at(0));
    for (int i = 1; i < frame.size(); ++i) {
        const quint8 b = quint8(frame.at(i));
        if (b == 0xAA || b == 0x55) {
            out.append(char(0x55));
            out.append(char(b ^ 0x20));
        } else {
            out.append(char(b));
        }
    }
    return out;
}
