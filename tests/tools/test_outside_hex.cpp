// HEX files made by outside tools (Debian's ARM cross binutils and srec_cat, through
// tools/outside/make-firmware.sh) against the toolchain's own binaries: the converter must give
// exactly that binary (also when the file addresses the flash through its boot alias at 0), and
// a whole update into the simulated board must leave it in the flash and boot it; a file it must
// refuse fails with its code and leaves the flash erased. Run by outside_hex_check.sh, which
// builds the files into PELMORA_OUTSIDE_DIR.
#include "sim_board.h"
#include "support/update_rig.h"
#include "usbdevice/hex_image.h"

#include <QDir>
#include <QtTest>

#include <zlib.h>

#include <algorithm>

namespace {

QDir outsideDir()
{
    return QDir(qEnvironmentVariable("PELMORA_OUTSIDE_DIR"));
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.readAll();
}

// The bootloader writes whole words; the tail of the last one is erased flash.
QByteArray paddedToWords(QByteArray bin)
{
    while (bin.size() % 4 != 0)
        bin.append(char(0xFF));
    return bin;
}

// One column set for both tests: the HEX file, its expected binary ("" when it must be refused)
// and the code of the refusal.
void addVariants()
{
    QTest::addColumn<QString>("hexPath");
    QTest::addColumn<QString>("binPath");
    QTest::addColumn<int>("refusal");
    const QDir dir = outsideDir();
    const QByteArray list = readAll(dir.filePath(QStringLiteral("variants.txt")));
    QVERIFY2(!list.isEmpty(), "PELMORA_OUTSIDE_DIR has no variants.txt (run outside_hex_check.sh)");
    int rows = 0;
    for (const QByteArray &line : list.split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        const bool refused = fields.size() == 3 && fields[1] == "refused";
        if (fields.size() != 2 && !refused)
            continue;
        const QString hex = QString::fromUtf8(fields[0]);
        const QString bin = refused ? QString() : dir.filePath(QString::fromUtf8(fields[1]));
        QTest::newRow(qPrintable(hex)) << dir.filePath(hex) << bin << (refused ? fields[2].toInt() : 1);
        ++rows;
    }
    QVERIFY2(rows >= 19, "variants.txt lists fewer HEX files than make-firmware.sh writes");
}

} // namespace

class TestOutsideHex : public QObject {
    Q_OBJECT
private slots:
    void converter_givesTheToolchainsBinary_data() { addVariants(); }
    void converter_givesTheToolchainsBinary()
    {
        QFETCH(QString, hexPath);
        QFETCH(QString, binPath);
        QFETCH(int, refusal);
        const QByteArray text = readAll(hexPath);
        QVERIFY(!text.isEmpty());
        const HexParseResult parsed = parseIntelHex(text.constData(), size_t(text.size()));

        QFile hexFile(hexPath);
        QTemporaryFile image;
        const qint8 code = convertHexFileToImage(hexFile, image);
        if (binPath.isEmpty()) {
            // Nothing of a refused file may reach an image.
            QCOMPARE(int(parsed.code), refusal);
            QCOMPARE(int(code), refusal);
            QCOMPARE(image.size(), qint64(0));
            return;
        }
        const QByteArray bin = readAll(binPath);
        QVERIFY(bin.size() > 64);
        QCOMPARE(int(parsed.code), 1);
        QCOMPARE(parsed.lowAddress, kHexFlashBase);
        const QString name = QFileInfo(hexPath).fileName();
        QCOMPARE(parsed.viaBootAlias, name.startsWith(QLatin1String("raw-")) || name.startsWith(QLatin1String("relative-")));
        QCOMPARE(parsed.highAddress, kHexFlashBase + quint32(bin.size()));
        QCOMPARE(parsed.image.size(), paddedToWords(bin).size());
        QVERIFY(parsed.image == paddedToWords(bin));

        QCOMPARE(int(code), 1);
        QVERIFY(image.isOpen());
        QVERIFY(image.seek(0));
        QVERIFY(image.readAll() == paddedToWords(bin));
    }

    void update_leavesTheBinaryInFlash_andTheBoardBootsIt_data() { addVariants(); }
    void update_leavesTheBinaryInFlash_andTheBoardBootsIt()
    {
        QFETCH(QString, hexPath);
        QFETCH(QString, binPath);
        auto board = std::make_shared<pelsim::SimBoard>();
        UpdateRig rig(simLibraryWith(board));
        QCOMPARE(rig.open(), 1);
        rig.run(hexPath);
        QCOMPARE(rig.finished.count(), 1);
        const std::vector<uint8_t> flash = board->flash();
        QCOMPARE(flash.size(), size_t(kHexFlashSize));

        if (binPath.isEmpty()) {
            QCOMPARE(rig.result(), qint8(-1));
            QCOMPARE(board->blocksWritten(), 0);
            QVERIFY(std::all_of(flash.begin(), flash.end(), [](uint8_t b) { return b == 0xFF; }));
            return;
        }
        QCOMPARE(rig.result(), qint8(1));
        const QByteArray image = paddedToWords(readAll(binPath));
        const int size = image.size();
        QVERIFY(flashBytes(*board, size) == image);
        QVERIFY(std::all_of(flash.begin() + size, flash.end(), [](uint8_t b) { return b == 0xFF; }));
        QCOMPARE(board->blocksWritten(), (size + 255) / 256);

        QCOMPARE(board->mode(), pelsim::SimBoard::Mode::Application);
        const uLong crc = crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef *>(image.constData()), uInt(size));
        QCOMPARE(QString::fromStdString(board->lastBanner()),
                 QString::asprintf("Orbalo Mini booted: Outside 1.0, %d bytes, CRC-32 0x%08lX", size, crc));
    }
};

QTEST_GUILESS_MAIN(TestOutsideHex)
#include "test_outside_hex.moc"
