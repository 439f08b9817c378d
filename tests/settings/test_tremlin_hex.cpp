// The built-in Tremlin image: the committed stand-in is what its generator makes, it has the
// record layout of the real file, and it decodes to a plausible Cortex-M3 flash image.
#include "resources/firmware/firmware_resources.h"
#include "support/test_files.h"
#include "tremlin_stand_in.h"

#include <QFile>
#include <QtTest>

namespace {
constexpr quint32 kFlashBase = 0x08000000;
constexpr quint32 kFlashEnd = 0x08017E20;
constexpr int kImageBytes = 97824;
constexpr quint32 kRamBase = 0x20000000;
constexpr quint32 kRamEnd = 0x20005000;  // 20 KB on the F103 of the board

quint32 word(const QByteArray &bytes, int at, bool bigEndian = false)
{
    quint32 value = 0;
    for (int i = 0; i < 4; ++i)
        value = (value << 8) | quint8(bytes[at + (bigEndian ? i : 3 - i)]);
    return value;
}
} // namespace

class TestTremlinHex : public QObject {
    Q_OBJECT

private slots:
    void committedFile_isTheGeneratorOutput_withTheRealLayout_andAPlausibleImage()
    {
        // A deliberately plain Intel HEX reader, independent of the generator and the converter.
        const QByteArray hex = readFile(QStringLiteral(PELMORA_COMMITTED_TREMLIN_HEX));
        QVERIFY2(tremlinStandInHex() == hex, PELMORA_COMMITTED_TREMLIN_HEX);  // the generator's output
        pelmoraInitFirmwareResources();
        pelmoraInitFirmwareResources();  // a second call must be harmless
        const QByteArray resource = readFile(QStringLiteral(":/hex/TremlinFix_1_0_37.hex"));
        QVERIFY(!resource.isEmpty() && resource == readFile(QStringLiteral(PELMORA_RESOURCE_TREMLIN_HEX)));
        QCOMPARE(hex.size(), 275198);  // the size, record count and line ends of the real file
        QCOMPARE(hex.count("\r\n"), 6118);
        QCOMPARE(hex.count('\n'), 6118);
        QCOMPARE(hex.count('\r'), 6118);
        QVERIFY(hex.startsWith(":020000040800F2\r\n") && hex.endsWith(":00000001FF\r\n"));
        const QList<QByteArray> lines = hex.trimmed().split('\n');  // every line ends in CRLF, counted above
        QByteArray image;
        quint32 upper = 0, start = 0;
        int extended = 0;
        for (int i = 0; i < lines.size(); ++i) {
            const QByteArray &line = lines[i];
            const QByteArray text = line.mid(1).trimmed();
            const QByteArray bytes = QByteArray::fromHex(text);
            QVERIFY2(line.startsWith(':') && bytes.toHex().toUpper() == text.toUpper(), line.constData());
            QCOMPARE(bytes.size(), quint8(bytes[0]) + 5);
            quint8 sum = 0;
            for (char c : bytes)
                sum = quint8(sum + quint8(c));
            QVERIFY2(sum == 0, line.constData());
            const int type = quint8(bytes[3]);
            const QByteArray data = bytes.mid(4, quint8(bytes[0]));
            if (type == 4) {
                QCOMPARE(data.size(), 2);
                upper = word(QByteArray(2, '\0') + data, 0, true) << 16;
                // An extended address record stands exactly where the addresses cross 64 KB.
                QCOMPARE(upper, (kFlashBase + quint32(image.size())) & 0xFFFF0000u);
                QCOMPARE(i, extended++ ? 4097 : 0);  // where the real file has them
            } else if (type == 0) {
                QCOMPARE(data.size(), 16);
                QCOMPARE(upper | quint16(quint8(bytes[1]) << 8 | quint8(bytes[2])), kFlashBase + quint32(image.size()));
                image += data;
            } else {
                QVERIFY2(i >= lines.size() - 2, qPrintable(QString::number(i)));
                QCOMPARE(type, i == lines.size() - 1 ? 1 : 5);
                QCOMPARE(data.size(), type == 5 ? 4 : 0);
                if (type == 5)
                    start = word(data, 0, true);
            }
        }
        QCOMPARE(extended, 2);
        QCOMPARE(kFlashBase + quint32(image.size()), kFlashEnd);
        QCOMPARE(image.size(), kImageBytes);
        QVERIFY(image == tremlinStandInImage());

        const auto inFlashThumb = [](quint32 v) { return (v & 1u) == 1u && v >= kFlashBase && (v & ~1u) < kFlashEnd; };
        const quint32 sp = word(image, 0);
        QVERIFY(sp > kRamBase && sp <= kRamEnd && sp % 8 == 0);
        QVERIFY(inFlashThumb(word(image, 4)));
        QCOMPARE(start, word(image, 4));
        for (int n = 2; n < 16 + 43; ++n) {
            const quint32 v = word(image, n * 4);
            if (n == 7 || n == 8 || n == 9 || n == 10 || n == 13) {  // reserved
                QCOMPARE(v, 0u);
                continue;
            }
            QVERIFY2(inFlashThumb(v), qPrintable(QStringLiteral("vector %1 = 0x%2").arg(n).arg(v, 8, 16)));
            // A handler starts with an instruction, not with erased flash.
            const int at = int((v & ~1u) - kFlashBase);
            QVERIFY(quint8(image[at]) != 0xFF || quint8(image[at + 1]) != 0xFF);
        }
        const QByteArray tag("FWNAME=Tremlin 1.0.37");
        const int tagAt = image.indexOf(tag);
        QVERIFY(tagAt >= 0 && tagAt < 1024 && image.count(tag) == 1);
        QCOMPARE(image[tagAt + tag.size()], '\0');
        // The board takes the programmed range to end at the last word that is not erased.
        QVERIFY(word(image, kImageBytes - 4) != 0xFFFFFFFFu);
    }
};

QTEST_GUILESS_MAIN(TestTremlinHex)
#include "test_tremlin_hex.moc"
