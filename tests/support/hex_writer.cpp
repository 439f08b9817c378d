#include "hex_writer.h"

QByteArray hexRecord(quint8 type, quint16 address, const QByteArray &data)
{
    QByteArray body = QByteArray(1, char(data.size())) + char(address >> 8) + char(address) + char(type) + data;
    quint8 sum = 0;
    for (char c : body)
        sum = quint8(sum + quint8(c));
    return ':' + body.append(char(-sum)).toHex().toUpper();
}

QByteArray toIntelHex(const QByteArray &image, quint32 base, int recordSize, const char *lineEnd)
{
    QByteArray out;
    quint32 upper = 0xFFFFFFFF;
    for (int offset = 0; offset < image.size(); offset += recordSize) {
        const quint32 address = base + quint32(offset);
        if ((address >> 16) != upper) {
            upper = address >> 16;
            out += hexRecord(4, 0, QByteArray(1, char(upper >> 8)) + char(upper)) + lineEnd;
        }
        out += hexRecord(0, quint16(address), image.mid(offset, recordSize)) + lineEnd;
    }
    return out + hexRecord(1, 0, QByteArray()) + lineEnd;
}
