// Intel HEX to flash image: record checks, placement by address, the file-state rules of the
// result codes, and random images round-tripped through the tests' own writer.
#include "support/hex_writer.h"
#include "support/log_capture.h"
#include "usbdevice/hex_image.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <map>

namespace {

const QByteArray kEla0800 = ":020000040800F2\r\n";
const QByteArray kEof = ":00000001FF\r\n";

HexParseResult parse(const QByteArray &text)
{
    return parseIntelHex(text.constData(), size_t(text.size()));
}

QByteArray rec(quint8 type, quint16 address, const QByteArray &data)
{
    return hexRecord(type, address, data) + "\r\n";
}

QByteArray erased(int n)
{
    return QByteArray(n, char(0xFF));
}

} // namespace

class TestHexImage : public QObject {
    Q_OBJECT
private slots:
    void knownRecord_passesAndLandsAtItsAddress_wrongChecksumIsMinus6()
    {
        // :0300300002337A1E carries 02 33 7A at offset 0x30 of the 64 KB segment.
        HexParseResult r = parse(kEla0800 + ":0300300002337A1E\r\n" + kEof);
        QCOMPARE(int(r.code), 1);
        QCOMPARE(r.image, erased(0x30) + QByteArray::fromHex("02337AFF"));
        QCOMPARE(r.lowAddress, 0x08000030u);
        QCOMPARE(r.highAddress, 0x08000033u);

        r = parse(kEla0800 + ":0300300002337A1F\r\n" + kEof);
        QCOMPARE(int(r.code), -6);
        QCOMPARE(r.computedChecksum, quint8(0x1E));
        QCOMPARE(r.readChecksum, quint8(0x1F));
    }

    void recordLengths16_20_32_255_areReadWhole()
    {
        for (int size : {16, 20, 32, 255}) {
            QByteArray image(1024, '\0');
            for (int i = 0; i < image.size(); ++i)
                image[i] = char(i * 31 + size);
            const HexParseResult r = parse(toIntelHex(image, kHexFlashBase, size));
            QCOMPARE(int(r.code), 1);
            QCOMPARE(r.image, image);
        }
    }

    void gapBetweenRuns_isErasedFlashAtTheRightOffset_outOfOrderLandsAtItsAddress()
    {
        const QByteArray a(256, 'a'), b(256, 'b');
        const QByteArray text = kEla0800 + rec(0, 0x0200, b.left(128)) + rec(0, 0x0000, a.left(128))
                                + rec(0, 0x0280, b.mid(128)) + rec(0, 0x0080, a.mid(128)) + kEof;
        const HexParseResult r = parse(text);
        QCOMPARE(int(r.code), 1);
        QCOMPARE(r.image, a + erased(256) + b);
    }

    void segmentAndLinearAddressRecords_setTheUpperAddress()
    {
        // Segment 0x8000 << 4 = 0x00080000: not flash. Segment 0x8001 is still below it.
        QCOMPARE(int(parse(rec(2, 0, QByteArray::fromHex("8000")) + rec(0, 0, "xy") + kEof).code), -7);
        // A linear record for 0x0801 puts data in the second 64 KB of flash.
        const HexParseResult r = parse(kEla0800 + rec(4, 0, QByteArray::fromHex("0801")) + rec(0, 0x0010, "wxyz") + kEof);
        QCOMPARE(int(r.code), 1);
        QCOMPARE(r.image.size(), 0x10014);
        QCOMPARE(r.image.right(4), QByteArray("wxyz"));
    }

    void dataOutsideFlash_isMinus7_withTheAddress()
    {
        HexParseResult r = parse(rec(0, 0x0000, "abcd") + rec(0, 0x0004, "ef") + kEof);  // no extended record
        QCOMPARE(int(r.code), -7);
        QCOMPARE(r.badAddress, 0x00000000u);
        r = parse(kEla0800 + rec(4, 0, QByteArray::fromHex("0801")) + rec(0, 0xFFFE, "abcd") + kEof);
        QCOMPARE(int(r.code), -7);
        QCOMPARE(r.badAddress, 0x08020000u);
        r = parse(rec(4, 0, QByteArray::fromHex("0802")) + kEla0800 + rec(4, 0, QByteArray::fromHex("0802")) + rec(0, 0, "a") + kEof);
        QCOMPARE(int(r.code), -7);
    }

    void brokenLines_startCodeAndChecksumCodes_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("code");
        // Two good records first: a fault in the first three lines is the plausibility check's.
        const QByteArray ok = rec(0, 0, "abcd") + rec(0, 4, "efgh");
        QTest::newRow("empty line") << kEla0800 + ok + "\r\n" + kEof << -5;
        QTest::newRow("no start code") << kEla0800 + ok + "0300300002337A1E\r\n" + kEof << -5;
        QTest::newRow("truncated record") << kEla0800 + ok + ":0300300002337A\r\n" + kEof << -6;
        QTest::newRow("header only") << kEla0800 + ok + ":03003000\r\n" + kEof << -6;
        QTest::newRow("non-hex data") << kEla0800 + ok + ":0300300002G37A1E\r\n" + kEof << -6;
        QTest::newRow("garbage after checksum") << kEla0800 + ok + ":0300300002337A1Ezz\r\n" + kEof << -6;
        QTest::newRow("overlong line") << kEla0800 + ok + ":" + QByteArray(600, '0') + "\r\n" + kEof << -5;
        QTest::newRow("two lines only") << kEla0800 + kEof << -3;
        QTest::newRow("implausible start") << "hello\r\n" + kEla0800 + ok + kEof << -3;
    }
    void brokenLines_startCodeAndChecksumCodes()
    {
        QFETCH(QByteArray, text);
        QFETCH(int, code);
        QCOMPARE(int(parse(text).code), code);
    }

    void lineEnds_noEofAndDataAfterEof()
    {
        const QByteArray image("0123456789abcdef0123");
        QCOMPARE(parse(toIntelHex(image, kHexFlashBase, 16, "\n")).image, image + erased(0));
        QByteArray noEof = toIntelHex(image, kHexFlashBase, 8);
        noEof.chop(kEof.size());
        QCOMPARE(int(parse(noEof).code), 1);
        QCOMPARE(parse(noEof).image, image);
        const QByteArray after = toIntelHex(image, kHexFlashBase, 8) + rec(0, 0x100, "zzzz") + "junk\r\n";
        QCOMPARE(parse(after).image, image);
    }

    void imageLength_isPaddedToWholeWords_emptyImageConverts()
    {
        QCOMPARE(parse(kEla0800 + rec(0, 0, "abcde") + kEof).image, QByteArray("abcde") + erased(3));
        const HexParseResult empty = parse(kEla0800 + kEla0800 + kEof);
        QCOMPARE(int(empty.code), 1);
        QVERIFY(empty.image.isEmpty());
    }

    void randomImages_roundTripThroughTheTestsOwnWriter()
    {
        QRandomGenerator rng(20261207);
        for (int round = 0; round < 60; ++round) {
            const int size = 1 + int(rng.bounded(kHexFlashSize - 1));
            QByteArray image = erased(size);
            std::map<quint32, QByteArray> records;
            for (int pos = 0; pos < size;) {
                const int run = 1 + int(rng.bounded(255));
                const int take = qMin(run, size - pos);
                if (rng.bounded(4) != 0 || pos + take == size) {  // holes, but never at the end
                    QByteArray data(take, '\0');
                    for (char &c : data)
                        c = char(rng.bounded(256));
                    image.replace(pos, take, data);
                    records[kHexFlashBase + quint32(pos)] = data;
                }
                pos += take;
            }
            // Records shuffled, each preceded by its own extended linear address record.
            std::vector<QByteArray> lines;
            for (const auto &[address, data] : records) {
                QByteArray upper;
                upper.append(char(address >> 24));
                upper.append(char(address >> 16));
                const quint16 low = quint16(address & 0xFFFF);
                // A record that would run past a 64 KB boundary is split there.
                const int first = qMin<int>(data.size(), 0x10000 - low);
                QByteArray line = rec(4, 0, upper) + rec(0, low, data.left(first));
                if (first < data.size()) {
                    QByteArray next;
                    next.append(char((address + first) >> 24));
                    next.append(char((address + first) >> 16));
                    line += rec(4, 0, next) + rec(0, 0, data.mid(first));
                }
                lines.push_back(line);
            }
            std::shuffle(lines.begin(), lines.end(), std::mt19937(round));
            QByteArray text = kEla0800 + kEla0800;
            for (const QByteArray &l : lines)
                text += l;
            text += kEof;
            const HexParseResult r = parse(text);
            QCOMPARE(int(r.code), 1);
            QByteArray expected = image;
            while (expected.size() % 4)
                expected += char(0xFF);
            QCOMPARE(r.image.size(), expected.size());
            QVERIFY(r.image == expected);
        }
    }

    void fileResults_leaveTheImageFileAsTheirCodeSays()
    {
        QTemporaryDir dir;
        auto write = [&](const char *name, const QByteArray &text) {
            QFile f(dir.filePath(QLatin1String(name)));
            f.open(QIODevice::WriteOnly);
            f.write(text);
            return f.fileName();
        };
        QTemporaryFile bin;
        LogCapture log;
        QFile good(write("good.hex", kEla0800 + rec(0, 0, "abcdefgh") + kEof));
        QCOMPARE(int(convertHexFileToImage(good, bin)), 1);
        QVERIFY(bin.isOpen());
        QCOMPARE(bin.pos(), 0);
        QCOMPARE(bin.readAll(), QByteArray("abcdefgh"));
        QVERIFY(log.messages(QStringLiteral("VX_SI_USBXpressDev::ConvertHex2BinFile")).contains(
            QStringLiteral("HexFileSize: 0 kB; BinFileSize 0 kB")));

        QFile missing(dir.filePath(QStringLiteral("none.hex")));
        QCOMPARE(int(convertHexFileToImage(missing, bin)), -1);
        QFile implausible(write("two.hex", kEla0800 + kEof));
        QCOMPARE(int(convertHexFileToImage(implausible, bin)), -3);
        QVERIFY(bin.isOpen());  // the earlier image stays
        bin.seek(0);
        QCOMPARE(bin.readAll(), QByteArray("abcdefgh"));

        log.clear();
        QFile bad(write("bad.hex", kEla0800 + rec(0, 0, "abcd") + ":0300300002337A1F\r\n" + kEof));
        QCOMPARE(int(convertHexFileToImage(bad, bin)), -6);
        QVERIFY(!bin.isOpen());
        QCOMPARE(log.errors().size(), 1);
        QVERIFY(log.errors().at(0).contains(QStringLiteral("Wrong Checksum CAL: 0x1e DataRead 0x1f missing")));
        QVERIFY(log.messages(QStringLiteral("VX_SI_USBXpressDev::ConvertHex2BinFile")).contains(
            QStringLiteral("Path: ") + bad.fileName()));

        QFile outside(write("out.hex", rec(0, 0, "abcd") + rec(0, 4, "abcd") + kEof));
        QCOMPARE(int(convertHexFileToImage(outside, bin)), -7);
        QVERIFY(!bin.isOpen());
        QFile nostart(write("ns.hex", kEla0800 + rec(0, 0, "ab") + rec(0, 2, "cd") + "\r\n" + kEof));
        QCOMPARE(int(convertHexFileToImage(nostart, bin)), -5);
        QVERIFY(log.contains(QStringLiteral("Startcode missing")));
    }
};

QTEST_GUILESS_MAIN(TestHexImage)
#include "test_hex_image.moc"
