// What the simulated board's firmware prints: the banner once, then coloured debug lines, as
// text or packed in TLV frames that the loader's own decoder turns back into the same text.
#include "board_application.h"
#include "sim_board.h"
#include "support/log_capture.h"
#include "tlv/vx_debug_tlv_server.h"

#include <QtTest>

using pelsim::SimBoard;

namespace {

std::vector<uint8_t> plausibleImage()
{
    std::vector<uint8_t> image(64, 0x11);
    const uint8_t vectors[] = {0x00, 0x50, 0x00, 0x20, 0x09, 0x01, 0x00, 0x08};
    std::copy(std::begin(vectors), std::end(vectors), image.begin());
    const char name[] = "FWNAME=App 2.0";
    std::copy(name, name + sizeof name, image.begin() + 16);
    return image;
}

// Polls the board n times as the worker loop does and collects what arrived.
QByteArray poll(SimBoard &board, int n)
{
    QByteArray out;
    for (int i = 0; i < n; ++i) {
        QByteArray chunk(int(board.hostAvailable()), '\0');
        board.hostRead(reinterpret_cast<uint8_t *>(chunk.data()), size_t(chunk.size()));
        out += chunk;
    }
    return out;
}

QByteArray decode(const QByteArray &wire)
{
    VX_Debug_TLV_Server server;
    QByteArray out;
    int at = 0;
    while (at < wire.size()) {
        const int n = qMin(1000, int(wire.size()) - at);
        server.WriteReceiveBuffer(reinterpret_cast<const quint8 *>(wire.constData() + at), 0, quint16(n), 4096);
        at += n;
        quint8 byte = 0;
        while (server.ReadOutBuffer(byte) == 1)
            out += char(byte);
    }
    return out;
}

std::unique_ptr<SimBoard> bootedBoard(pelsim::Output output)
{
    pelsim::BoardOptions options;
    options.output = output;
    options.instantPollsPerLine = 10;
    auto board = std::make_unique<SimBoard>(options);
    board->loadFlash(plausibleImage());
    board->setLatch(0x02);
    board->setLatch(0x03);
    return board;
}

} // namespace

class TestBoardApplication : public QObject {
    Q_OBJECT
private slots:
    void tlvFrame_isTheDocumentedLayout_withStuffing()
    {
        // One record "Hi" of tag 0xF0: length 5, checksum 0xFE58 low byte first.
        QCOMPARE(QByteArray::fromStdString(pelsim::tlvFrame(0xF0, "Hi")).toHex(),
                 QByteArray("aa0500f00200486958fe"));
        // Data bytes 0xAA and 0x55 go out escaped.
        const QByteArray stuffed = QByteArray::fromStdString(pelsim::tlvFrame(0xF1, "\xaa\x55"));
        QVERIFY(stuffed.contains(QByteArray::fromHex("558a5575")));
        QCOMPARE(stuffed.count(char(0xAA)), 1);
    }

    void instantTextBoard_printsBannerOnce_thenALinePerTenPolls()
    {
        auto board = bootedBoard(pelsim::Output::Text);
        const QByteArray out = poll(*board, 100);
        QVERIFY(out.startsWith("\x1b[32mOrbalo Mini booted: App 2.0, 64 bytes, CRC-32 0x"));
        QCOMPARE(out.count("Orbalo Mini booted"), 1);
        QCOMPARE(out.count("\r\n"), 1 + 10);
        for (const char *colour : {"\x1b[32m[", "\x1b[34m[", "\x1b[33m[", "\x1b[31m["})
            QVERIFY2(out.contains(colour), colour);
        QCOMPARE(out.count("\x1b[0m"), 11);
    }

    void tlvBoard_sendsTheSameText_inFramesTheLoaderDecodes()
    {
        LogCapture log;  // the decoder reports the bytes it skips
        auto text = bootedBoard(pelsim::Output::Text);
        auto tlv = bootedBoard(pelsim::Output::Tlv);
        const QByteArray plain = poll(*text, 100);
        const QByteArray wire = poll(*tlv, 100);
        QVERIFY(wire.startsWith(char(0xAA)));
        // Eleven frames of head, length, record head and checksum: 8 bytes each at least.
        QVERIFY(wire.size() >= plain.size() + 11 * 8);
        QCOMPARE(decode(wire), plain);
    }

    void silentBoard_saysItsBannerAndNothingMore()
    {
        auto board = bootedBoard(pelsim::Output::Silent);
        const QByteArray out = poll(*board, 1000);
        QCOMPARE(out.count("\r\n"), 1);
        QVERIFY(out.contains("Orbalo Mini booted: App 2.0"));
    }

    void boardHeldOrInBootloader_printsNothing()
    {
        auto board = bootedBoard(pelsim::Output::Text);
        poll(*board, 5);
        board->setLatch(0x00);  // held, BOOT0 high
        QCOMPARE(poll(*board, 100), QByteArray());
        board->setLatch(0x01);
        QCOMPARE(poll(*board, 100), QByteArray());
    }
};

QTEST_GUILESS_MAIN(TestBoardApplication)
#include "test_board_application.moc"
