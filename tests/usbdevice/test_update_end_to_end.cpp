// A whole update against the simulated board: the flash ends up holding exactly the image and
// the board restarts into it.
#include "resources/firmware/firmware_resources.h"
#include "sim_board.h"
#include "support/update_rig.h"
#include "usbdevice/hex_image.h"

#include <QTemporaryDir>
#include <QtTest>

#include <zlib.h>

class TestUpdateEndToEnd : public QObject {
    Q_OBJECT
private slots:
    void image_isWrittenToFlash_andTheBoardBootsIt_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("blocks");
        QTest::newRow("built-in size, 383 blocks") << 97824 << 383;
        QTest::newRow("1000 bytes, 4 blocks") << 1000 << 4;
    }
    void image_isWrittenToFlash_andTheBoardBootsIt()
    {
        QFETCH(int, size);
        QFETCH(int, blocks);
        const QByteArray image = plausibleImage(size, "E2E 1.0");
        auto board = std::make_shared<pelsim::SimBoard>();
        UpdateRig rig(simLibraryWith(board));
        QCOMPARE(rig.open(), 1);
        rig.run(rig.writeHex(image));
        QCOMPARE(rig.finished.count(), 1);
        QCOMPARE(rig.result(), qint8(1));

        const std::vector<uint8_t> flash = board->flash();
        QVERIFY(flashBytes(*board, size) == image);
        QVERIFY(std::all_of(flash.begin() + size + (4 - size % 4) % 4, flash.end(), [](uint8_t b) { return b == 0xFF; }));
        QCOMPARE(board->blocksWritten(), blocks);
        QCOMPARE(board->mode(), pelsim::SimBoard::Mode::Application);
        const uLong crc = crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef *>(image.constData()), uInt(size));
        QCOMPARE(QString::fromStdString(board->lastBanner()),
                 QString::asprintf("Orbalo Mini booted: E2E 1.0, %d bytes, CRC-32 0x%08lX", size, crc));

        const QByteArray console = rig.console();
        QVERIFY(console.startsWith("<br><b><br>Bootloader Start!!</b>\n"));
        QVERIFY(console.contains("<br><b>Write Firmware File:</b>\n\n" + QByteArray(blocks + 1, '*')
                                 + "<br><b>Verify Firmware:</b>\n\n" + QByteArray(blocks, '*') + "<br><b></b>\n"));
    }

    void builtInTremlinImage_convertsTo97824BytesAndBootsUnderItsName()
    {
        pelmoraInitFirmwareResources();
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("TremlinFix_1_0_37.hex"));
        QVERIFY(QFile::copy(QStringLiteral(":/hex/TremlinFix_1_0_37.hex"), path));
        QFile hexFile(path);
        QTemporaryFile bin;
        QCOMPARE(int(convertHexFileToImage(hexFile, bin)), 1);
        QCOMPARE(bin.size(), qint64(97824));

        auto board = std::make_shared<pelsim::SimBoard>();
        UpdateRig rig(simLibraryWith(board));
        QCOMPARE(rig.open(), 1);
        rig.run(path);
        QCOMPARE(rig.finished.count(), 1);
        QCOMPARE(rig.result(), qint8(1));
        const QByteArray image = bin.readAll();
        QVERIFY(flashBytes(*board, image.size()) == image);
        QCOMPARE(board->blocksWritten(), 383);
        QVERIFY(QString::fromStdString(board->lastBanner()).startsWith(
            QStringLiteral("Orbalo Mini booted: Tremlin 1.0.37, 97824 bytes, CRC-32 0x")));
    }

    void strictBoardBehindAWrongProductId_failsOnceWithoutFalseSuccess()
    {
        pelsim::BoardOptions options;
        options.productId = 0x041A;
        auto board = std::make_shared<pelsim::SimBoard>(options);
        UpdateRig rig(simLibraryWith(board));
        QCOMPARE(rig.open(), 1);
        rig.run(rig.writeHex(QByteArray(512, 'x')));
        QCOMPARE(rig.finished.count(), 1);
        QCOMPARE(rig.result(), qint8(-1));
        QCOMPARE(board->blocksWritten(), 0);
    }
};

QTEST_GUILESS_MAIN(TestUpdateEndToEnd)
#include "test_update_end_to_end.moc"
