#include "ico_file.h"

#include <QBuffer>

namespace pelmora_images {

namespace {

constexpr int kDirSize = 6;
constexpr int kEntrySize = 16;
constexpr int kInfoHeaderSize = 40;
constexpr int kLargestDib = 128;

void put16(QByteArray &out, quint32 v)
{
    out.append(char(v & 0xFF));
    out.append(char((v >> 8) & 0xFF));
}

void put32(QByteArray &out, quint32 v)
{
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

// BITMAPINFOHEADER with the doubled height of icon DIBs (colour rows, then mask rows), the
// colour rows bottom-up in straight BGRA, then the 1-bit AND mask marking fully clear pixels.
QByteArray dibPayload(const QImage &source)
{
    const QImage img = source.convertToFormat(QImage::Format_ARGB32);
    const int w = img.width(), h = img.height();
    const int maskStride = ((w + 31) / 32) * 4;
    const quint32 colourBytes = quint32(w) * quint32(h) * 4;
    const quint32 maskBytes = quint32(maskStride) * quint32(h);

    QByteArray out;
    put32(out, kInfoHeaderSize);
    put32(out, quint32(w));
    put32(out, quint32(2 * h));
    put16(out, 1);   // planes
    put16(out, 32);  // bits per pixel
    put32(out, 0);   // BI_RGB
    put32(out, colourBytes + maskBytes);
    put32(out, 0);
    put32(out, 0);
    put32(out, 0);
    put32(out, 0);
    for (int y = h - 1; y >= 0; --y) {
        const QRgb *row = reinterpret_cast<const QRgb *>(img.constScanLine(y));
        for (int x = 0; x < w; ++x) {
            out.append(char(qBlue(row[x])));
            out.append(char(qGreen(row[x])));
            out.append(char(qRed(row[x])));
            out.append(char(qAlpha(row[x])));
        }
    }
    for (int y = h - 1; y >= 0; --y) {
        const QRgb *row = reinterpret_cast<const QRgb *>(img.constScanLine(y));
        QByteArray mask(maskStride, '\0');
        for (int x = 0; x < w; ++x) {
            if (qAlpha(row[x]) == 0)
                mask[x / 8] = char(quint8(mask[x / 8]) | (0x80 >> (x % 8)));
        }
        out.append(mask);
    }
    return out;
}

QByteArray pngPayload(const QImage &img)
{
    QByteArray out;
    QBuffer buffer(&out);
    buffer.open(QIODevice::WriteOnly);
    img.save(&buffer, "PNG");
    return out;
}

}  // namespace

QByteArray encodeIcoFile(const QVector<QImage> &images)
{
    if (images.isEmpty())
        return QByteArray();
    QVector<QByteArray> payloads;
    for (const QImage &img : images) {
        if (img.isNull() || img.width() != img.height() || img.width() > 256)
            return QByteArray();
        payloads.append(img.width() <= kLargestDib ? dibPayload(img) : pngPayload(img));
    }

    QByteArray out;
    put16(out, 0);  // reserved
    put16(out, 1);  // type: icon
    put16(out, quint32(images.size()));
    quint32 offset = quint32(kDirSize + kEntrySize * images.size());
    for (int i = 0; i < images.size(); ++i) {
        const int side = images[i].width();
        out.append(char(side == 256 ? 0 : side));  // 0 stands for 256
        out.append(char(side == 256 ? 0 : side));
        out.append('\0');  // no palette
        out.append('\0');
        put16(out, 1);
        put16(out, 32);
        put32(out, quint32(payloads[i].size()));
        put32(out, offset);
        offset += quint32(payloads[i].size());
    }
    for (const QByteArray &payload : payloads)
        out.append(payload);
    return out;
}

}  // namespace pelmora_images
