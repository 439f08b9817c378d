// A whole update against the simulated board: the flash ends up holding exactly the image and
// the board restarts into it.
#include "resources/firmware/firmware_resources.h"
#include "sim_board.h"
#include "support/hex_writer.h"
#include "usbdevice/hex_image.h"
#include "usbdevice/sim_bridge_library.h"
#include "usbdevice/vx_si_usbxpressdev.h"

#include <QSignalSpy>
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
        QByteArray image(size, '\0');
        for (int i = 0; i < size; ++i)
            image[i] = char((i * 37 + 11) & 0xFF);
        // A plausible vector table: stack pointer in RAM, reset vector into flash with the Thumb bit.
        const char vectors[] = {0x00, 0x50, 0x00, 0x20, 0x41, 0x01, 0x00, 0x08};
        image.replace(0, 8, QByteArray(vectors, 8));
        image.replace(8, 15, QByteArray("FWNAME=E2E 1.0\0", 15));

        auto lib = std::make_shared<SimBridgeLibrary>();
        auto board = std::make_shared<pelsim::SimBoard>();
        lib->addBridge(QStringLiteral("Orbalo Mini (simulated)"), QStringLiteral("0001"), board);
        VX_SI_USBXpressDev dev(lib, false);
        QSignalSpy finished(&dev, &VX_SI_USBXpressDev::SIGNAL_FirmwareWriteFinish);
        dev.fillListOfDevice();
        QCOMPARE(dev.openDevice(0), 1);
        QTemporaryDir dir;
        QFile hex(dir.filePath(QStringLiteral("fw.hex")));
        QVERIFY(hex.open(QIODevice::WriteOnly));
        hex.write(toIntelHex(image));
        hex.close();

        dev.SLOT_StartFirmwareUpdate(hex.fileName());
        for (int pass = 0; pass < 200000 && finished.isEmpty(); ++pass)
            dev.pollOnce();
        dev.pollOnce();
        QCOMPARE(finished.count(), 1);
        QCOMPARE(finished.at(0).at(0).value<qint8>(), qint8(1));

        const std::vector<uint8_t> flash = board->flash();
        QVERIFY(QByteArray(reinterpret_cast<const char *>(flash.data()), size) == image);
        QVERIFY(std::all_of(flash.begin() + size + (4 - size % 4) % 4, flash.end(), [](uint8_t b) { return b == 0xFF; }));
        QCOMPARE(board->blocksWritten(), blocks);
        QCOMPARE(board->mode(), pelsim::SimBoard::Mode::Application);
        const uLong crc = crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef *>(image.constData()), uInt(size));
        QCOMPARE(QString::fromStdString(board->lastBanner()),
                 QString::asprintf("Orbalo Mini booted: E2E 1.0, %d bytes, CRC-32 0x%08lX", size, crc));

        QByteArray console;
        char c = 0;
        while (dev.getConsoleByte(c) == 1)
            console += c;
        QVERIFY(console.startsWith("<br><b><br>Bootloader Start!!</b>\n"));
        QVERIFY(console.contains("<br><b>Write Firmware File:</b>\n\n" + QByteArray(blocks + 1, '*') + "<br><b></b>\n"));
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

        auto lib = std::make_shared<SimBridgeLibrary>();
        auto board = std::make_shared<pelsim::SimBoard>();
        lib->addBridge(QStringLiteral("Orbalo Mini (simulated)"), QStringLiteral("0001"), board);
        VX_SI_USBXpressDev dev(lib, false);
        QSignalSpy finished(&dev, &VX_SI_USBXpressDev::SIGNAL_FirmwareWriteFinish);
        dev.fillListOfDevice();
        QCOMPARE(dev.openDevice(0), 1);
        dev.SLOT_StartFirmwareUpdate(path);
        for (int pass = 0; pass < 200000 && finished.isEmpty(); ++pass)
            dev.pollOnce();
        QCOMPARE(finished.count(), 1);
        QCOMPARE(finished.at(0).at(0).value<qint8>(), qint8(1));
        const QByteArray image = bin.readAll();
        const std::vector<uint8_t> flash = board->flash();
        QVERIFY(QByteArray(reinterpret_cast<const char *>(flash.data()), image.size()) == image);
        QCOMPARE(board->blocksWritten(), 383);
        QVERIFY(QString::fromStdString(board->lastBanner()).startsWith(
            QStringLiteral("Orbalo Mini booted: Tremlin 1.0.37, 97824 bytes, CRC-32 0x")));
    }

    void strictBoardBehindAWrongProductId_failsOnceWithoutFalseSuccess()
    {
        auto lib = std::make_shared<SimBridgeLibrary>();
        pelsim::BoardOptions options;
        options.productId = 0x041A;
        auto board = std::make_shared<pelsim::SimBoard>(options);
        lib->addBridge(QStringLiteral("Orbalo"), QStringLiteral("0001"), board);
        VX_SI_USBXpressDev dev(lib, false);
        QSignalSpy finished(&dev, &VX_SI_USBXpressDev::SIGNAL_FirmwareWriteFinish);
        dev.fillListOfDevice();
        QCOMPARE(dev.openDevice(0), 1);
        QTemporaryDir dir;
        QFile hex(dir.filePath(QStringLiteral("fw.hex")));
        QVERIFY(hex.open(QIODevice::WriteOnly));
        hex.write(toIntelHex(QByteArray(512, 'x')));
        hex.close();
        dev.SLOT_StartFirmwareUpdate(hex.fileName());
        for (int pass = 0; pass < 200000 && finished.isEmpty(); ++pass)
            dev.pollOnce();
        dev.pollOnce();
        QCOMPARE(finished.count(), 1);
        QCOMPARE(finished.at(0).at(0).value<qint8>(), qint8(-1));
        QCOMPARE(board->blocksWritten(), 0);
    }
};

QTEST_GUILESS_MAIN(TestUpdateEndToEnd)
#include "test_update_end_to_end.moc"
