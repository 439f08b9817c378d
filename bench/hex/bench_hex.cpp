// HEX conversion throughput: a 1 MB image's worth of HEX text (eight passes over the 128 KB
// flash with 16-, 32- and 255-byte records), converted repeatedly.
#include "usbdevice/hex_image.h"

#include <QByteArray>
#include <QElapsedTimer>

#include <cstdio>

namespace {
QByteArray record(quint8 type, quint16 address, const char *data, int n)
{
    QByteArray body;
    body.append(char(n)).append(char(address >> 8)).append(char(address & 0xFF)).append(char(type));
    body.append(data, n);
    quint8 sum = 0;
    for (char c : body)
        sum = quint8(sum + quint8(c));
    body.append(char(quint8(-sum)));
    return ':' + body.toHex().toUpper() + "\r\n";
}
} // namespace

int main()
{
    QByteArray image(int(kHexFlashSize), '\0');
    for (int i = 0; i < image.size(); ++i)
        image[i] = char(i * 2654435761u >> 24);
    double best = 0;
    for (int recordSize : {16, 32, 255}) {
        QByteArray text;
        for (quint32 off = 0; off < kHexFlashSize; off += quint32(recordSize)) {
            const quint32 a = kHexFlashBase + off;
            if (off == 0 || (a & 0xFFFF) < quint32(recordSize)) {
                const char upper[2] = {char(a >> 24), char(a >> 16)};
                text += record(4, 0, upper, 2);
            }
            const int n = int(qMin<quint32>(quint32(recordSize), kHexFlashSize - off));
            const quint32 room = 0x10000 - (a & 0xFFFF);
            if (quint32(n) > room) {  // split at the 64 KB boundary
                text += record(0, quint16(a), image.constData() + off, int(room));
                const char upper[2] = {char((a + room) >> 24), char((a + room) >> 16)};
                text += record(4, 0, upper, 2);
                text += record(0, 0, image.constData() + off + room, n - int(room));
            } else {
                text += record(0, quint16(a), image.constData() + off, n);
            }
        }
        text += ":00000001FF\r\n";
        const int rounds = 8;  // 8 x 128 KB = 1 MB of image
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < rounds; ++i) {
            const HexParseResult r = parseIntelHex(text.constData(), size_t(text.size()));
            if (r.code != 1 || r.image != image) {
                std::printf("conversion wrong (code %d)\n", int(r.code));
                return 1;
            }
        }
        const double seconds = double(timer.nsecsElapsed()) / 1e9;
        const double mbs = double(text.size()) * rounds / 1e6 / seconds;
        best = qMax(best, mbs);
        std::printf("HEX conversion, %3d-byte records: %.1f MB/s of HEX text (%.1f MB in %.3f s) (target >= 100 MB/s)\n",
                    recordSize, mbs, double(text.size()) * rounds / 1e6, seconds);
    }
    return 0;
}
