// The built-in Tremlin image: the committed stand-in is what its generator makes, it has the
// record layout of the real file, and it decodes to a plausible Cortex-M3 flash image.

#include "resources/firmware/firmware_resources.h"
#include "tremlin_stand_in.h"

#include <QFile>
#include <QtTest>

namespace {

constexpr quint32 kFlashBase = 0x08000000;
constexpr quint32 kFlashEnd = 0x08017E20;
constexpr int kImageBytes = 97824;
constexpr quint32 kRamBase = 0x20000000;
constexpr quint32 kRamEnd = 0x20005000;  // 20 KB on the F103 of the board

struct Record {
    int length = 0;
    quint16 address = 0;
    int type = -1;
    QByteArray data;
    bool checksumOk = false;
};

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

// A deliberately plain Intel HEX reader, independent of the generator and of the converter.
bool parseRecord(const QByteArray &line, Record &out)
{
    if (line.size() < 11 || line[0] != ':' || (line.size() - 1) % 2 != 0)
        return false;
    QByteArray bytes;
    for (int i = 1; i < line.size(); i += 2) {
        bool ok = false;
        const uint value = line.mid(i, 2).toUInt(&ok, 16);
        if (!ok)
            return false;
        bytes.append(char(value));
    }
    out.length = quint8(bytes[0]);
    if (bytes.size() != out.length + 5)
        return false;
    out.address = quint16((quint8(bytes[1]) << 8) | quint8(bytes[2]));
    out.type = quint8(bytes[3]);
    out.data = bytes.mid(4, out.length);
    quint8 sum = 0;
    for (char c : bytes)
        sum = quint8(sum + quint8(c));
    out.checksumOk = sum == 0;
    return true;
}

quint32 word(const QByteArray &image, quint32 offset)
{
    quint32 value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | quint8(image[int(offset) + i]);
    return value;
}

quint32 bigEndianWord(const QByteArray &data)
{
    quint32 value = 0;
    for (int i = 0; i < 4; ++i)
        value = (value << 8) | quint8(data[i]);
    return value;
}

} // namespace

class TestTremlinHex : public QObject {
    Q_OBJECT

    QByteArray m_Hex;
    QList<Record> m_Records;

private slots:
    void initTestCase()
    {
        m_Hex = readFile(QStringLiteral(PELMORA_COMMITTED_TREMLIN_HEX));
        QVERIFY2(!m_Hex.isEmpty(), PELMORA_COMMITTED_TREMLIN_HEX);
        const QList<QByteArray> lines = m_Hex.split('\n');
        QVERIFY(lines.last().isEmpty());  // the file ends with a line end
        for (int i = 0; i + 1 < lines.size(); ++i) {
            QByteArray line = lines[i];
            QVERIFY2(line.endsWith('\r'), qPrintable(QStringLiteral("line %1 without CR").arg(i + 1)));
            line.chop(1);
            Record record;
            QVERIFY2(parseRecord(line, record), line.constData());
            m_Records.append(record);
        }
    }

    void committedFile_isByteIdenticalToGeneratorOutput()
    {
        const QByteArray generated = tremlinStandInHex();
        QCOMPARE(generated.size(), m_Hex.size());
        QVERIFY(generated == m_Hex);
    }

    void resource_holdsTheFileChosenAtBuildTime()
    {
        pelmoraInitFirmwareResources();
        pelmoraInitFirmwareResources();  // a second call must be harmless
        const QByteArray resource = readFile(QStringLiteral(":/hex/TremlinFix_1_0_37.hex"));
        const QByteArray chosen = readFile(QStringLiteral(PELMORA_RESOURCE_TREMLIN_HEX));
        QVERIFY(!resource.isEmpty());
        QVERIFY(resource == chosen);
    }

    void file_hasTheSizeRecordCountAndLineEndsOfTheRealImage()
    {
        QCOMPARE(m_Hex.size(), 275198);
        QCOMPARE(m_Records.size(), 6118);
        QCOMPARE(m_Hex.count('\n'), 6118);
        QCOMPARE(m_Hex.count('\r'), 6118);
        QCOMPARE(m_Hex.count("\r\n"), 6118);
    }

    void records_followTheLayoutWithValidChecksums()
    {
        for (int i = 0; i < m_Records.size(); ++i)
            QVERIFY2(m_Records[i].checksumOk, qPrintable(QStringLiteral("record %1").arg(i + 1)));

        QVERIFY(m_Hex.startsWith(":020000040800F2\r\n"));
        QVERIFY(m_Hex.endsWith(":00000001FF\r\n"));

        quint32 upper = 0;
        quint32 expected = kFlashBase;
        int extended = 0;
        for (int i = 0; i < m_Records.size() - 2; ++i) {
            const Record &r = m_Records[i];
            if (r.type == 4) {
                QCOMPARE(r.length, 2);
                upper = bigEndianWord(QByteArray(2, '\0') + r.data) << 16;
                ++extended;
                // An extended address record stands exactly where the addresses cross 64 KB.
                QCOMPARE(upper, expected & 0xFFFF0000u);
                continue;
            }
            QCOMPARE(r.type, 0);
            QCOMPARE(r.length, 16);
            QCOMPARE(upper | r.address, expected);
            expected += 16;
        }
        QCOMPARE(extended, 2);
        QCOMPARE(expected, kFlashEnd);
        QCOMPARE(m_Records[4097].type, 4);
        QCOMPARE(m_Records[4097].data, QByteArray::fromHex("0801"));
        QCOMPARE(m_Records[6116].type, 5);
        QCOMPARE(m_Records[6116].length, 4);
        QCOMPARE(m_Records[6117].type, 1);
        QCOMPARE(m_Records[6117].length, 0);
    }

    void decodedImage_isAPlausibleCortexM3Image()
    {
        QByteArray image;
        quint32 upper = 0;
        quint32 start = 0;
        for (const Record &r : m_Records) {
            if (r.type == 4)
                upper = bigEndianWord(QByteArray(2, '\0') + r.data) << 16;
            else if (r.type == 5)
                start = bigEndianWord(r.data);
            else if (r.type == 0) {
                QCOMPARE(quint32(image.size()), (upper | r.address) - kFlashBase);
                image.append(r.data);
            }
        }
        QCOMPARE(image.size(), kImageBytes);
        QVERIFY(image == tremlinStandInImage());

        const auto inFlashThumb = [](quint32 v) {
            return (v & 1u) == 1u && v >= kFlashBase && (v & ~1u) < kFlashEnd;
        };
        const quint32 sp = word(image, 0);
        QVERIFY(sp > kRamBase && sp <= kRamEnd);
        QCOMPARE(sp % 8, 0u);
        const quint32 reset = word(image, 4);
        QVERIFY(inFlashThumb(reset));
        QCOMPARE(start, reset);

        const int reserved[] = {7, 8, 9, 10, 13};
        for (int n = 2; n < 16 + 43; ++n) {
            const quint32 v = word(image, quint32(n) * 4);
            if (std::find(std::begin(reserved), std::end(reserved), n) != std::end(reserved)) {
                QCOMPARE(v, 0u);
                continue;
            }
            QVERIFY2(inFlashThumb(v), qPrintable(QStringLiteral("vector %1 = 0x%2").arg(n).arg(v, 8, 16)));
            // A handler starts with an instruction, not with erased flash.
            const quint32 at = (v & ~1u) - kFlashBase;
            QVERIFY(quint8(image[int(at)]) != 0xFF || quint8(image[int(at) + 1]) != 0xFF);
        }

        const QByteArray tag("FWNAME=Tremlin 1.0.37");
        const int tagAt = image.indexOf(tag);
        QVERIFY(tagAt >= 0 && tagAt < 1024);
        QCOMPARE(image[tagAt + tag.size()], '\0');
        QCOMPARE(image.count(tag), 1);

        // The board takes the programmed range to end at the last word that is not erased.
        QVERIFY(word(image, quint32(kImageBytes) - 4) != 0xFFFFFFFFu);
    }
};

QTEST_GUILESS_MAIN(TestTremlinHex)
#include "test_tremlin_hex.moc"
