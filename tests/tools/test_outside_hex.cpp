// HEX files from outside tools (built by outside_hex_check.sh into PELMORA_OUTSIDE_DIR) against
// the toolchain's own binaries, also when a file addresses the flash through its boot alias at 0.
#include "sim_board.h"
#include "support/test_files.h"
#include "support/update_rig.h"
#include "usbdevice/hex_image.h"

#include <QDir>
#include <QtTest>

#include <zlib.h>

class TestOutsideHex : public QObject {
    Q_OBJECT
private slots:
    // variants.txt: "HEX BIN" per file, or "HEX refused CODE".
    void converterAndUpdate_giveTheToolchainsBinary_data()
    {
        QTest::addColumn<QString>("hexPath");
        QTest::addColumn<QString>("binPath");  // empty when the file must be refused
        QTest::addColumn<int>("refusal");
        const QDir dir(qEnvironmentVariable("PELMORA_OUTSIDE_DIR"));
        const QByteArray list = readFile(dir.filePath(QStringLiteral("variants.txt")));
        int rows = 0;
        for (const QByteArray &line : list.split('\n')) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            const bool refused = fields.size() == 3 && fields[1] == "refused";
            if (fields.size() != 2 && !refused)
                continue;
            QTest::newRow(fields[0].constData()) << dir.filePath(QString::fromUtf8(fields[0]))
                                                 << (refused ? QString() : dir.filePath(QString::fromUtf8(fields[1])))
                                                 << (refused ? fields[2].toInt() : 1);
            ++rows;
        }
        QVERIFY2(rows >= 19, "variants.txt lists fewer HEX files than make-firmware.sh writes");
    }
    void converterAndUpdate_giveTheToolchainsBinary()
    {
        QFETCH(QString, hexPath);
        QFETCH(QString, binPath);
        QFETCH(int, refusal);
        const QByteArray text = readFile(hexPath);
        QVERIFY(!text.isEmpty());
        const HexParseResult parsed = parseIntelHex(text.constData(), size_t(text.size()));
        QFile hexFile(hexPath);
        QTemporaryFile converted;
        const qint8 code = convertHexFileToImage(hexFile, converted);
        auto board = std::make_shared<pelsim::SimBoard>();
        UpdateRig rig(simLibraryWith(board));
        QCOMPARE(rig.open(), 1);
        rig.run(hexPath);
        QCOMPARE(rig.finished.count(), 1);
        QCOMPARE(board->flash().size(), size_t(kHexFlashSize));
        const QByteArray erased(kHexFlashSize, char(0xFF));

        if (binPath.isEmpty()) {
            // Nothing of a refused file may reach an image or the flash.
            QVERIFY(parsed.code == refusal && code == refusal && converted.size() == 0);
            QCOMPARE(rig.result(), qint8(-1));
            QCOMPARE(board->blocksWritten(), 0);
            QVERIFY(flashBytes(*board, kHexFlashSize) == erased);
            return;
        }
        const QByteArray bin = readFile(binPath);
        QVERIFY(bin.size() > 64);
        // The bootloader writes whole words; the tail of the last one is erased flash.
        const QByteArray image = bin + QByteArray((4 - bin.size() % 4) % 4, char(0xFF));
        QVERIFY(parsed.code == 1 && code == 1);
        QCOMPARE(parsed.lowAddress, kHexFlashBase);
        const QString name = QFileInfo(hexPath).fileName();
        QCOMPARE(parsed.viaBootAlias, name.startsWith(QLatin1String("raw-")) || name.startsWith(QLatin1String("relative-")));
        QCOMPARE(parsed.highAddress, kHexFlashBase + quint32(bin.size()));
        QVERIFY(parsed.image == image);
        QVERIFY(converted.isOpen() && converted.seek(0));
        QVERIFY(converted.readAll() == image);

        // The update leaves it in the flash, and the board boots it.
        QCOMPARE(rig.result(), qint8(1));
        QVERIFY(flashBytes(*board, kHexFlashSize) == image + erased.mid(image.size()));
        QCOMPARE(board->blocksWritten(), (image.size() + 255) / 256);
        QCOMPARE(board->mode(), pelsim::SimBoard::Mode::Application);
        const uLong crc = crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef *>(image.constData()), uInt(image.size()));
        QCOMPARE(QString::fromStdString(board->lastBanner()),
                 QString::asprintf("Orbalo Mini booted: Outside 1.0, %d bytes, CRC-32 0x%08lX", int(image.size()), crc));
    }
};

QTEST_GUILESS_MAIN(TestOutsideHex)
#include "test_outside_hex.moc"
