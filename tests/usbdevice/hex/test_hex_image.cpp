// Intel HEX to flash image: record checks, placement by address (the flash and its boot alias
// at 0), records that clash, the file-state rules of the result codes, and random images
// round-tripped through the tests' own writer, in memory and through the chunked reader.
#include "support/hex_writer.h"
#include "support/log_capture.h"
#include "usbdevice/hex_image.h"

#include <QBuffer>
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

QByteArray ela(quint16 upper)
{
    return rec(4, 0, QByteArray::fromHex(QByteArray::number(upper, 16).rightJustified(4, '0')));
}

// Erased flash of `size` bytes with `data` at `offset`.
QByteArray imageWith(int size, int offset, const QByteArray &data)
{
    return erased(size).replace(offset, data.size(), data);
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

    // Every way a record is addressed, refused, or broken: the code, the image of a success,
    // the address and the words of a failure.
    void records_landInFlashOrAreRefusedWithTheirReason_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("code");
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<quint32>("badAddress");
        QTest::addColumn<QString>("error");
        const QByteArray ok = rec(0, 0, "abcd") + rec(0, 4, "efgh");  // two good lines first
        const QByteArray okImage = "abcdefgh";
        const QByteArray b = kEla0800 + ok;

        // The boot alias: from 0 is the flash, however the upper address was formed.
        QTest::newRow("16-bit from 0") << rec(0, 0, "abcdef") + rec(0, 6, "g") + kEof << 1
                                       << QByteArray("abcdefg") + erased(1) << 0u << QString();
        QTest::newRow("linear 0x0001") << ela(0) + ela(1) + rec(0, 0x10, "wxyz") + kEof << 1
                                       << imageWith(0x10014, 0x10010, "wxyz") << 0u << QString();
        QTest::newRow("segment 0x1000 wraps in its segment")
            << rec(2, 0, QByteArray::fromHex("1000")) + rec(0, 0xFFFE, "wxyz") + kEof
            << 1 << imageWith(0x20000, 0xFFFE + 0x10000, "wx").replace(0x10000, 2, "yz") << 0u << QString();
        QTest::newRow("linear 0x0801") << kEla0800 + ela(0x0801) + rec(0, 0x10, "wxyz") + kEof << 1
                                       << imageWith(0x10014, 0x10010, "wxyz") << 0u << QString();
        QTest::newRow("alias and flash apart") << rec(0, 0, "ab") + rec(0, 2, "cd") + kEla0800 + rec(0, 4, "ef") + kEof
                                               << 1 << QByteArray("abcdef") + erased(2) << 0u << QString();
        QTest::newRow("same data twice") << b + rec(0, 2, "cd") + kEof << 1 << okImage << 0u << QString();
        QTest::newRow("no data") << kEla0800 + kEla0800 + kEof << 1 << QByteArray() << 0u << QString();
        const QByteArray a(256, 'a'), z(256, 'z');
        QTest::newRow("gap, out of order") << kEla0800 + rec(0, 0x0200, z.left(128)) + rec(0, 0, a.left(128))
                                                  + rec(0, 0x0280, z.mid(128)) + rec(0, 0x0080, a.mid(128)) + kEof
                                           << 1 << a + erased(256) + z << 0u << QString();
        // Line ends: LF alone, no end-of-file record, and whatever follows that record ignored.
        const QByteArray twenty("0123456789abcdef0123");
        QByteArray noEof = toIntelHex(twenty, kHexFlashBase, 8);
        noEof.chop(kEof.size());
        QTest::newRow("LF only") << toIntelHex(twenty, kHexFlashBase, 16, "\n") << 1 << twenty << 0u << QString();
        QTest::newRow("no EOF record") << noEof << 1 << twenty << 0u << QString();
        QTest::newRow("data after EOF") << noEof + kEof + rec(0, 0x100, "zzzz") + "junk\r\n" << 1 << twenty << 0u << QString();

        // Records that clash.
        QTest::newRow("alias and flash overlap") << ok + kEla0800 + rec(0, 7, "h") + kEof << -8 << QByteArray()
                                                 << 0x08000007u
                                                 << "0x08000007 written both through the boot alias at 0x00000007 "
                                                    "and at its flash address (line 4)";
        QTest::newRow("different data twice") << b + rec(0, 2, "cX") + kEof << -8 << QByteArray() << 0x08000003u
                                              << "0x08000003 written twice with different data (0x64, then 0x58) (line 4)";

        // Neither flash nor its alias.
        QTest::newRow("option bytes") << b + ela(0x1FFF) + rec(0, 0xF800, "ab") + kEof << -7 << QByteArray()
                                      << 0x1FFFF800u << "Address 0x1ffff800 outside flash (line 5)";
        QTest::newRow("RAM") << b + ela(0x2000) + rec(0, 0, "ab") + kEof << -7 << QByteArray() << 0x20000000u
                             << QString();
        QTest::newRow("segment 0x8000") << ok + rec(2, 0, QByteArray::fromHex("8000")) + rec(0, 0, "xy") + kEof
                                        << -7 << QByteArray() << 0x00080000u << QString();
        QTest::newRow("past the alias") << ok + ela(1) + rec(0, 0xFFFE, "abcd") + kEof << -7 << QByteArray()
                                        << 0x00020000u << QString();
        QTest::newRow("past the flash") << b + ela(0x0801) + rec(0, 0xFFFE, "abcd") + kEof << -7 << QByteArray()
                                        << 0x08020000u << QString();

        // Broken lines. An extended address record without its two bytes would otherwise leave
        // the upper address as it was.
        QTest::newRow("linear record of 3 bytes") << b + rec(4, 0, QByteArray::fromHex("080100")) + kEof << -6
                                                  << QByteArray() << 0u
                                                  << "Extended linear address record with 3 data bytes instead of 2 (line 4)";
        QTest::newRow("segment record of 1 byte") << b + rec(2, 0, QByteArray::fromHex("10")) + kEof << -6
                                                  << QByteArray() << 0u
                                                  << "Extended segment address record with 1 data bytes instead of 2";
        QTest::newRow("non-hex data") << b + ":0300300002p37A1E\r\n" + kEof << -6 << QByteArray() << 0u
                                      << "'p' (0x70) at column 12 is not a hex digit (line 4)";
        QTest::newRow("non-hex count") << b + ":G300300002337A1E\r\n" + kEof << -6 << QByteArray() << 0u
                                       << "'G' (0x47) at column 2 is not a hex digit";
        QTest::newRow("truncated record") << b + ":0300300002337A\r\n" + kEof << -6 << QByteArray() << 0u
                                          << "Record cut short: 15 characters, its byte count 3 needs 17 (line 4)";
        QTest::newRow("header only") << b + ":03003000\r\n" + kEof << -6 << QByteArray() << 0u
                                     << "Record cut short: 9 characters";
        QTest::newRow("garbage after checksum") << b + ":0300300002337A1Ezz\r\n" + kEof << -6 << QByteArray() << 0u
                                                << "'z' (0x7a) after the checksum at column 18";
        QTest::newRow("empty line") << b + "\r\n" + kEof << -5 << QByteArray() << 0u << "Startcode missing (line 4)";
        QTest::newRow("no start code") << b + "0300300002337A1E\r\n" + kEof << -5 << QByteArray() << 0u
                                       << "Startcode missing";
        QTest::newRow("overlong line") << b + ":" + QByteArray(600, '0') + "\r\n" + kEof << -5 << QByteArray() << 0u
                                       << "Line longer than any record (line 4)";
        QTest::newRow("two lines only") << kEla0800 + kEof << -3 << QByteArray() << 0u << QString();
        QTest::newRow("implausible start") << "hello\r\n" + b + kEof << -3 << QByteArray() << 0u << QString();
    }
    void records_landInFlashOrAreRefusedWithTheirReason()
    {
        QFETCH(QByteArray, text);
        QFETCH(int, code);
        QFETCH(QByteArray, image);
        QFETCH(quint32, badAddress);
        QFETCH(QString, error);
        const HexParseResult r = parse(text);
        QCOMPARE(int(r.code), code);
        if (code == 1) {
            QVERIFY(r.error.isEmpty());
            QCOMPARE(r.image.size(), image.size());
            QVERIFY(r.image == image);
            return;
        }
        QVERIFY(r.image.isEmpty());
        if (code == -7 || code == -8)
            QCOMPARE(r.badAddress, badAddress);
        if (!error.isEmpty())
            QVERIFY2(QString::fromUtf8(r.error).contains(error), r.error.constData());
        if (code != -3)
            QVERIFY(!r.error.isEmpty());
    }

    void randomImages_roundTripThroughTheTestsOwnWriter_inMemoryAndChunked()
    {
        QRandomGenerator rng(20261207);
        for (int round = 0; round < 60; ++round) {
            const int size = 1 + int(rng.bounded(kHexFlashSize - 1));
            // Half the files address the flash through its boot alias at 0.
            const quint32 base = rng.bounded(2) ? kHexBootAliasBase : kHexFlashBase;
            QByteArray image = erased(size);
            std::map<quint32, QByteArray> records;
            for (int pos = 0; pos < size;) {
                // A record never runs past a 64 KB boundary.
                const int take = std::min({1 + int(rng.bounded(255)), size - pos, 0x10000 - int((base + pos) & 0xFFFF)});
                if (rng.bounded(4) != 0 || pos + take == size) {  // holes, but never at the end
                    QByteArray data(take, '\0');
                    for (char &c : data)
                        c = char(rng.bounded(256));
                    image.replace(pos, take, data);
                    records[base + quint32(pos)] = data;
                }
                pos += take;
            }
            // Records shuffled, each preceded by its own extended linear address record.
            std::vector<QByteArray> lines;
            for (const auto &[address, data] : records)
                lines.push_back(ela(quint16(address >> 16)) + rec(0, quint16(address), data));
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
            QCOMPARE(r.viaBootAlias, base == kHexBootAliasBase);

            // The chunked reader cuts the same text at other places and must agree.
            QBuffer device(&text);
            QVERIFY(device.open(QIODevice::ReadOnly));
            HexTextReader reader(device);
            QByteArray error;
            QCOMPARE(int(reader.readStart(&error)), 1);
            QVERIFY(reader.convert().image == expected);
        }
    }

    // A file converted after a good one: its code, its log line, and the image file the good
    // one left either kept (a refusal before a line is read) or closed.
    void fileResults_leaveTheImageFileAsTheirCodeSays_data()
    {
        QTest::addColumn<QByteArray>("text");  // null: no such file
        QTest::addColumn<qint64>("fileSize");   // grown to this without disk space (0: as written)
        QTest::addColumn<int>("code");
        QTest::addColumn<bool>("kept");
        QTest::addColumn<QString>("logged");
        QTest::newRow("good") << kEla0800 + rec(0, 0, "abcdefgh") + kEof << qint64(0) << 1 << true
                              << "HexFileSize: 0 kB; BinFileSize 0 kB";
        QTest::newRow("missing") << QByteArray() << qint64(0) << -1 << true << QString();
        QTest::newRow("implausible") << kEla0800 + kEof << qint64(0) << -3 << true << QString();
        QTest::newRow("bad checksum") << kEla0800 + rec(0, 0, "abcd") + ":0300300002337A1F\r\n" + kEof << qint64(0) << -6
                                      << false << "Wrong Checksum CAL: 0x1e DataRead 0x1f missing";
        QTest::newRow("outside flash") << rec(4, 0, QByteArray::fromHex("2000")) + rec(0, 0, "abcd") + kEof << qint64(0)
                                       << -7 << false << "Address 0x20000000 outside flash (line 2)";
        QTest::newRow("no start code") << kEla0800 + rec(0, 0, "ab") + rec(0, 2, "cd") + "\r\n" + kEof << qint64(0)
                                       << -5 << false << "Startcode missing";
        // Larger than any HEX file for this flash and than one QByteArray can hold.
        QTest::newRow("2.2 GB") << kEla0800 + rec(0, 0, "abcd") + kEof << qint64(2200) * 1000 * 1000 << -2 << true
                                << "HEX file of 2200000000 bytes is larger than any HEX file";
    }
    void fileResults_leaveTheImageFileAsTheirCodeSays()
    {
        QFETCH(QByteArray, text);
        QFETCH(qint64, fileSize);
        QFETCH(int, code);
        QFETCH(bool, kept);
        QFETCH(QString, logged);
        QTemporaryDir dir;
        QFile good(dir.filePath(QStringLiteral("good.hex")));
        QVERIFY(good.open(QIODevice::WriteOnly) && good.write(kEla0800 + rec(0, 0, "abcdefgh") + kEof) > 0);
        good.close();
        QTemporaryFile bin;
        QCOMPARE(int(convertHexFileToImage(good, bin)), 1);
        QFile hex(dir.filePath(QStringLiteral("fw.hex")));
        if (!text.isNull()) {
            QVERIFY(hex.open(QIODevice::WriteOnly) && hex.write(text) == text.size());
            hex.close();
            if (fileSize)
                QVERIFY(hex.resize(fileSize));
        }
        LogCapture log;
        QCOMPARE(int(convertHexFileToImage(hex, bin)), code);
        QCOMPARE(bin.isOpen(), kept);
        if (kept) {
            QCOMPARE(bin.pos(), 0);
            QCOMPARE(bin.readAll(), QByteArray("abcdefgh"));
        }
        if (!logged.isEmpty())
            QVERIFY2(log.contains(logged), qPrintable(log.lines().join('\n')));
        QCOMPARE(log.errors().size(), code == 1 || code == -3 || code == -1 ? 0 : 1);
        if (code == -6)
            QVERIFY(log.contains(QStringLiteral("Path: ") + hex.fileName()));
    }
};

QTEST_GUILESS_MAIN(TestHexImage)
#include "test_hex_image.moc"
