// The simulated board's ROM bootloader, byte for byte as the public protocol gives it, its
// pins and its flash.
#include "bootloader_talk.h"
#include "sim_board.h"

#include <QtTest>

using pelsim::SimBoard;

namespace {

// Reset released with BOOT0 high: the ROM bootloader, synchronised.
void enterBootloader(SimBoard &board)
{
    board.setLatch(0x00);
    board.setLatch(0x01);
    QCOMPARE(board.mode(), SimBoard::Mode::Bootloader);
    QCOMPARE(talk(board, "\x7f"), QByteArray("\x79"));
}

} // namespace

class TestSimBoard : public QObject {
    Q_OBJECT
private slots:
    void getCommands_answerAsTheProtocolDocumentSays()
    {
        SimBoard board;
        enterBootloader(board);
        QCOMPARE(talk(board, QByteArray("\x00\xff", 2)).toHex(), QByteArray("790b22000102112131436373829279"));
        QCOMPARE(talk(board, "\x01\xfe").toHex(), QByteArray("7922000079"));
        QCOMPARE(talk(board, "\x02\xfd").toHex(), QByteArray("7901041079"));
        QCOMPARE(talk(board, "\x02\xfc").toHex(), QByteArray("1f"));  // wrong complement
        QCOMPARE(talk(board, "\x63\x9c").toHex(), QByteArray("1f"));  // listed, not modelled
    }

    void wrongLineControl_neverSyncs_lenientBoardDoes()
    {
        SimBoard strict;
        strict.setLatch(0x00);
        strict.setLatch(0x01);
        QCOMPARE(talk(strict, "\x7f", pelsim::kLine8N1), QByteArray());
        pelsim::BoardOptions options;
        options.strictParity = false;
        SimBoard lenient(options);
        lenient.setLatch(0x00);
        lenient.setLatch(0x01);
        QCOMPARE(talk(lenient, "\x7f", pelsim::kLine8N1), QByteArray("\x79"));
    }

    void writeThenRead_returnsTheBytes_badFramesAreNacked()
    {
        SimBoard board;
        enterBootloader(board);
        QCOMPARE(talk(board, QByteArray("\x43\xbc\xff\x00", 4)).toHex(), QByteArray("7979"));
        QCOMPARE(writeBlock(board, 0x08000100, "abcdefgh").toHex(), QByteArray("797979"));
        QCOMPARE(talkAll(board, {"\x11\xee", addressFrame(0x08000100), "\x07\xf8"}),
                 QByteArray("\x79\x79\x79" "abcdefgh"));
        // Not erased: programming error, flash unchanged.
        QCOMPARE(writeBlock(board, 0x08000100, "ABCDEFGH").toHex(), QByteArray("79791f"));
        QCOMPARE(board.flash()[0x100], uint8_t('a'));
        // Unaligned address, unaligned length, outside memory, wrong checksum.
        QCOMPARE(writeBlock(board, 0x08000202, "abcd").toHex(), QByteArray("79791f"));
        QCOMPARE(writeBlock(board, 0x08000200, "abc").toHex(), QByteArray("79791f"));
        QCOMPARE(talkAll(board, {"\x31\xce", addressFrame(0x08020000)}).toHex(), QByteArray("791f"));
        QByteArray bad = dataFrame("abcd");
        bad[bad.size() - 1] = char(bad.back() ^ 1);
        QCOMPARE(talkAll(board, {"\x31\xce", addressFrame(0x08000300), bad}).toHex(),
                 QByteArray("79791f"));
        // Page erase brings the page back to 0xFF.
        QCOMPARE(talk(board, QByteArray("\x43\xbc", 2) + QByteArray::fromHex("000000")).toHex(), QByteArray("7979"));
        QCOMPARE(board.flash()[0x100], uint8_t(0xFF));
    }

    void wholeImage_writtenInBlocks_readsBackEqual()
    {
        SimBoard board;
        enterBootloader(board);
        QByteArray image(96 * 1024, '\0');
        for (int i = 0; i < image.size(); ++i)
            image[i] = char((i * 131 + 7) & 0xFF);
        QCOMPARE(talk(board, QByteArray("\x43\xbc\xff\x00", 4)).toHex(), QByteArray("7979"));
        for (int off = 0; off < image.size(); off += 256)
            QCOMPARE(writeBlock(board, 0x08000000 + quint32(off), image.mid(off, 256)).toHex(), QByteArray("797979"));
        QByteArray back;
        for (int off = 0; off < image.size(); off += 256) {
            const QByteArray r = talkAll(board, {"\x11\xee", addressFrame(0x08000000 + quint32(off)),
                                                 QByteArray("\xff\x00", 2)});
            QCOMPARE(r.left(3), QByteArray("\x79\x79\x79"));
            back += r.mid(3);
        }
        QVERIFY(back == image);
        QCOMPARE(board.blocksWritten(), 384);
    }

    void resetWithBoot0Low_bootsAPlausibleImageWithItsBanner()
    {
        SimBoard board;
        std::vector<uint8_t> image(64, 0x11);
        const uint8_t vectors[] = {0x00, 0x50, 0x00, 0x20, 0x09, 0x01, 0x00, 0x08};
        std::copy(std::begin(vectors), std::end(vectors), image.begin());
        const char name[] = "FWNAME=Test 1.2";
        std::copy(name, name + sizeof name, image.begin() + 16);
        board.loadFlash(image);
        board.setLatch(0x02);  // held, BOOT0 low
        QCOMPARE(board.mode(), SimBoard::Mode::Held);
        board.setLatch(0x03);
        QCOMPARE(board.mode(), SimBoard::Mode::Application);
        QVERIFY(board.lastBanner().rfind("Orbalo Mini booted: Test 1.2, 64 bytes, CRC-32 0x", 0) == 0);
        // An erased flash runs nothing.
        SimBoard blank;
        blank.setLatch(0x02);
        blank.setLatch(0x03);
        QCOMPARE(blank.mode(), SimBoard::Mode::Silent);
        QCOMPARE(blank.hostAvailable(), size_t(0));
    }

    void flashFile_keepsWhatWasProgrammed()
    {
        QTemporaryDir dir;
        pelsim::BoardOptions options;
        options.flashPath = dir.filePath(QStringLiteral("flash.bin")).toStdString();
        {
            SimBoard board(options);
            enterBootloader(board);
            QCOMPARE(writeBlock(board, 0x08000010, "wxyz").toHex(), QByteArray("797979"));
        }
        QFile f(QString::fromStdString(options.flashPath));
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray bytes = f.readAll();
        QCOMPARE(bytes.size(), 131072);
        QCOMPARE(bytes.mid(0x10, 4), QByteArray("wxyz"));
        QCOMPARE(bytes.at(0), char(0xFF));
        SimBoard again(options);
        QCOMPARE(again.flash()[0x11], uint8_t('x'));
    }
};

QTEST_GUILESS_MAIN(TestSimBoard)
#include "test_sim_board.moc"
