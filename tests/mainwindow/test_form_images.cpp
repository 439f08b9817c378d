// The drawn images: what is committed (and compiled into the resources) is what the generator
// draws; every path the form and the window use exists; the icon file is a real multi-size ICO.

#include "drawn_images.h"
#include "resources/images/image_resources.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QIcon>
#include <QImageReader>
#include <QSet>
#include <QtEndian>
#include <QtTest>

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

QString committed(const QString &name)
{
    return QDir(QStringLiteral(PELMORA_COMMITTED_IMAGES)).filePath(name);
}

struct Expected {
    const char *name;
    QSize size;
};

// Every image under ":/img/" that the form or the window refers to, with its pixel size.
const Expected kImages[] = {
    {"Tarvo2.png", {85, 15}},           {"Close_8.png", {8, 8}},
    {"Close_8_blue.png", {8, 8}},       {"Close_8_bluedark.png", {8, 8}},
    {"Scan_1_32x32.png", {32, 32}},     {"Scan_2_32x32.png", {32, 32}},
    {"Connect_32.png", {32, 32}},       {"Disconnect_32.png", {32, 32}},
    {"Delete_1_32x32.png", {32, 32}},   {"Delete_2_32x32.png", {32, 32}},
    {"Reset_32.png", {32, 32}},         {"Werkstueck_32.png", {32, 32}},
    {"Document_32x32.png", {32, 32}},   {"Update_32x32.png", {32, 32}},
    {"DocClose_32.png", {32, 32}},      {"Import_32x32.png", {32, 32}},
    {"tremlin32.png", {32, 32}},        {"Connect_16.png", {16, 16}},
    {"File_16.png", {16, 16}},          {"Dot.png", {12, 12}},
};

// Largest difference of one premultiplied channel between two images (-1: sizes differ). PNG
// and ICO encoding unpremultiplies, and Qt rounds that differently on different CPUs, so a
// redrawn image may come out a step off the committed one where it is translucent.
int maxChannelDelta(const QImage &a, const QImage &b)
{
    if (a.isNull() || a.size() != b.size())
        return -1;
    const QImage pa = a.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const QImage pb = b.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    int most = 0;
    for (int y = 0; y < pa.height(); ++y)
        for (int x = 0; x < pa.width(); ++x) {
            const QRgb ca = pa.pixel(x, y), cb = pb.pixel(x, y);
            for (int shift : {0, 8, 16, 24})
                most = qMax(most, qAbs(int((ca >> shift) & 0xFF) - int((cb >> shift) & 0xFF)));
        }
    return most;
}

// All images an encoded file holds (one for PNG, every entry for ICO).
QVector<QImage> decodeAll(const QByteArray &bytes)
{
    QBuffer buffer;
    buffer.setData(bytes);
    QImageReader reader(&buffer);
    QVector<QImage> images;
    for (int i = 0; i < qMax(1, reader.imageCount()); ++i) {
        if (i > 0 && !reader.jumpToImage(i))
            break;
        images << reader.read();
    }
    return images;
}

bool sameDrawing(const QByteArray &encoded, const QByteArray &drawn)
{
    const QVector<QImage> a = decodeAll(encoded), b = decodeAll(drawn);
    if (a.size() != b.size())
        return false;
    for (int i = 0; i < a.size(); ++i) {
        const int delta = maxChannelDelta(a[i], b[i]);
        if (delta < 0 || delta > 2)
            return false;
    }
    return true;
}

// Most frequent opaque colour of an image.
QRgb dominantInk(const QImage &img)
{
    QHash<QRgb, int> count;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) {
            const QRgb c = img.pixel(x, y);
            if (qAlpha(c) == 255)
                ++count[c & 0xFFFFFF];
        }
    QRgb best = 0;
    int most = 0;
    for (auto it = count.cbegin(); it != count.cend(); ++it)
        if (it.value() > most) {
            most = it.value();
            best = it.key();
        }
    return best;
}

}  // namespace

class TestFormImages : public QObject {
    Q_OBJECT

private:
    QVector<pelmora_images::DrawnImageFile> m_drawn;

private slots:
    void initTestCase()
    {
        pelmoraInitImageResources();
        m_drawn = pelmora_images::drawPelmoraImages();
        QVERIFY(!m_drawn.isEmpty());
    }

    void committedFilesAndResources_areWhatTheGeneratorDraws()
    {
        for (const auto &file : m_drawn) {
            QVERIFY2(!file.bytes.isEmpty(), qPrintable(file.name));
            QVERIFY2(sameDrawing(readAll(committed(file.name)), file.bytes),
                     qPrintable(file.name + " differs from the generator's; run the gen-icons target"));
            QVERIFY2(sameDrawing(readAll(":/img/" + file.name), file.bytes),
                     qPrintable(":/img/" + file.name + " is not the generator's image"));
        }
        QVERIFY2(readAll(committed("images.qrc")) == pelmora_images::imagesQrc(m_drawn),
                 "images.qrc is not the generator's list");
        // Nothing committed beside them that the resource list would not carry.
        QSet<QString> drawnNames;
        for (const auto &file : m_drawn)
            drawnNames << file.name;
        const QStringList onDisk = QDir(QStringLiteral(PELMORA_COMMITTED_IMAGES))
                                       .entryList({"*.png", "*.ico"}, QDir::Files);
        QCOMPARE(QSet<QString>(onDisk.cbegin(), onDisk.cend()), drawnNames);
    }

    void everyUsedPath_existsWithItsSize_andIsNotBlank()
    {
        for (const Expected &e : kImages) {
            const QString path = QStringLiteral(":/img/") + e.name;
            QImage img(path);
            QVERIFY2(!img.isNull(), qPrintable(path));
            QVERIFY2(img.size() == e.size, qPrintable(path));
            img = img.convertToFormat(QImage::Format_ARGB32);
            int opaque = 0;
            for (int y = 0; y < img.height(); ++y)
                for (int x = 0; x < img.width(); ++x)
                    opaque += qAlpha(img.pixel(x, y)) > 200;
            QVERIFY2(opaque >= img.width() * img.height() / 12, qPrintable(path + " is nearly empty"));
        }
        QVERIFY(QFile::exists(":/img/OBPelmora.ico"));
    }

    void closeImages_comeInThreeShades()
    {
        const QRgb grey = dominantInk(QImage(":/img/Close_8.png").convertToFormat(QImage::Format_ARGB32));
        const QRgb blue = dominantInk(QImage(":/img/Close_8_blue.png").convertToFormat(QImage::Format_ARGB32));
        const QRgb dark = dominantInk(QImage(":/img/Close_8_bluedark.png").convertToFormat(QImage::Format_ARGB32));
        QCOMPARE(QColor(blue), QColor(0, 145, 220));
        QCOMPARE(QColor(dark), QColor(0, 121, 168));
        QVERIFY(grey != blue && grey != dark);
    }

    void icoFile_holdsEverySizeQtCanRead()
    {
        QImageReader reader(QStringLiteral(":/img/OBPelmora.ico"));
        QCOMPARE(reader.format(), QByteArray("ico"));
        const QVector<int> sizes = pelmora_images::appIconSizes();
        QCOMPARE(reader.imageCount(), sizes.size());
        for (int i = 0; i < sizes.size(); ++i) {
            QVERIFY(reader.jumpToImage(i));
            const QImage img = reader.read();
            QVERIFY2(!img.isNull(), qPrintable(reader.errorString()));
            QCOMPARE(img.size(), QSize(sizes[i], sizes[i]));
            // Straight colour and alpha come back unchanged, from DIB and PNG entries alike.
            QVERIFY2(maxChannelDelta(img, pelmora_images::drawAppIconImage(sizes[i])) <= 2,
                     qPrintable(QString::number(sizes[i])));
        }
        const QList<QSize> available = QIcon(QStringLiteral(":/img/OBPelmora.ico")).availableSizes();
        for (int side : {16, 32, 48})
            QVERIFY2(available.contains(QSize(side, side)), qPrintable(QString::number(side)));
    }

    void icoDirectory_entriesPointInsideTheFileWithoutOverlap()
    {
        const QByteArray ico = readAll(":/img/OBPelmora.ico");
        const auto u8 = [&](int at) { return quint8(ico.at(at)); };
        const auto u16 = [&](int at) { return qFromLittleEndian<quint16>(ico.constData() + at); };
        const auto u32 = [&](int at) { return qFromLittleEndian<quint32>(ico.constData() + at); };
        QVERIFY(ico.size() > 6);
        QCOMPARE(u16(0), quint16(0));
        QCOMPARE(u16(2), quint16(1));  // icon, not cursor
        const int count = u16(4);
        QVERIFY(count >= 3);
        quint32 expectedOffset = quint32(6 + 16 * count);
        QSet<int> sides;
        for (int i = 0; i < count; ++i) {
            const int e = 6 + 16 * i;
            const int side = u8(e) == 0 ? 256 : u8(e);
            QCOMPARE(u8(e + 1), u8(e));
            QCOMPARE(u16(e + 4), quint16(1));   // planes
            QCOMPARE(u16(e + 6), quint16(32));  // bits per pixel
            const quint32 bytes = u32(e + 8), offset = u32(e + 12);
            QCOMPARE(offset, expectedOffset);  // packed, in directory order
            QVERIFY(offset + bytes <= quint32(ico.size()));
            const QByteArray payload = ico.mid(int(offset), int(bytes));
            if (side <= 128) {
                // DIB: header with the doubled height, colour and 1-bit mask rows.
                QCOMPARE(qFromLittleEndian<quint32>(payload.constData()), quint32(40));
                QCOMPARE(qFromLittleEndian<qint32>(payload.constData() + 4), side);
                QCOMPARE(qFromLittleEndian<qint32>(payload.constData() + 8), 2 * side);
                const int maskStride = ((side + 31) / 32) * 4;
                QCOMPARE(int(bytes), 40 + side * side * 4 + maskStride * side);
            } else {
                QVERIFY(payload.startsWith("\x89PNG\r\n\x1a\n"));
            }
            sides << side;
            expectedOffset += bytes;
        }
        QCOMPARE(expectedOffset, quint32(ico.size()));
        QVERIFY(sides.contains(16) && sides.contains(32) && sides.contains(48));
    }
};

QTEST_MAIN(TestFormImages)
#include "test_form_images.moc"
