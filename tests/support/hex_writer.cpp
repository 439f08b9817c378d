#include "hex_writer.h"

QByteArray hexRecord(quint8 type, quint16 address, const QByteArray &data)
{
    QByteArray body;
    body.append(char(data.size()));
    body.append(char(address >> 8));
    body.append(char(address & 0xFF));
    body.append(char(type));
    body.append(data);
    quint8 sum = 0;
    for (char c : body)
        sum = quint8(sum + quint8(c));
    body.append(char(quint8(-sum)));
    return ':' + body.toHex().toUpper();
}

QByteArray toIntelHex(const QByteArray &image, quint32 base, int recordSize, const char *lineEnd)
{
    QByteArray out;
    quint32 upper = 0xFFFFFFFF;
    for (int offset = 0; offset < image.size(); offset += recordSize) {
        const quint32 address = base + quint32(offset);
        if ((address >> 16) != upper) {
            upper = address >> 16;
            QByteArray ela;
            ela.append(char(upper >> 8));
            ela.append(char(upper & 0xFF));
            out += hexRecord(4, 0, ela) + lineEnd;
        }
        out += hexRecord(0, quint16(address & 0xFFFF), image.mid(offset, recordSize)) + lineEnd;
    }
    out += hexRecord(1, 0, QByteArray()) + lineEnd;
    return out;
}
