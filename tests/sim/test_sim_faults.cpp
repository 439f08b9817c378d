// The simulated board's fault knobs, each seen at the byte level, and their written syntax.
#include "bootloader_talk.h"
#include "sim_board.h"

#include <QtTest>

using pelsim::BoardOptions;
using pelsim::SimBoard;

namespace {

BoardOptions faults(const char *list)
{
    BoardOptions options;
    std::string bad;
    const bool ok = pelsim::parseFaults(list, options, &bad);
    if (!ok)
        qWarning("fault item not understood: %s", bad.c_str());
    return options;
}

void resetIntoBootloader(SimBoard &board)
{
    board.setLatch(0x00);
    board.setLatch(0x01);
}

QByteArray massErase(SimBoard &board)
{
    QByteArray out = talk(board, "\x43\xbc");
    out += talk(board, QByteArray("\xff\x00", 2));
    return out;
}

} // namespace

class TestSimFaults : public QObject {
    Q_OBJECT
private slots:
    void faultList_isParsed_andABadItemIsNamed()
    {
        BoardOptions o;
        QVERIFY(pelsim::parseFaults("product-id=0x041a,unplug=100,nack=data:3+,mute=address:2,noise=5:getid,"
                                    "chatter,boot0-stuck,parity=odd,lenient-parity", o));
        QCOMPARE(o.productId, uint16_t(0x041A));
        QCOMPARE(o.unplugAfterBlocks, 100);
        QCOMPARE(int(o.nacks.size()), 1);
        QVERIFY(o.nacks[0].matches(pelsim::FrameKind::Data, 3) && o.nacks[0].matches(pelsim::FrameKind::Data, 300));
        QVERIFY(!o.nacks[0].matches(pelsim::FrameKind::Data, 2));
        QCOMPARE(int(o.muteFrom.size()), 1);
        QCOMPARE(o.noiseBytes, 5);
        QVERIFY(o.noiseOnlyKind && o.noiseKind == pelsim::FrameKind::GetId);
        QCOMPARE(o.chatterBytes, 300);
        QVERIFY(o.boot0Stuck && !o.strictParity);
        QCOMPARE(o.bootloaderParity, uint8_t(1));
        std::string bad;
        BoardOptions p;
        QVERIFY(!pelsim::parseFaults("mute,nack=frame:1,noise=2", p, &bad));
        QCOMPARE(bad, std::string("nack=frame:1"));
        QVERIFY(p.mute);
        QVERIFY(!pelsim::parseFaults("nack=data:0", p, &bad));
        QVERIFY(!pelsim::parseFaults("unplug=-1", p, &bad));
    }

    void nackOfTheSecondDataFrame_onlyThatBlockIsRefusedAndNotWritten()
    {
        SimBoard board(faults("nack=data:2"));
        resetIntoBootloader(board);
        QCOMPARE(talk(board, "\x7f"), QByteArray("\x79"));
        QCOMPARE(massErase(board), QByteArray("\x79\x79"));
        QCOMPARE(writeBlock(board, 0x08000000, "aaaa").toHex(), QByteArray("797979"));
        QCOMPARE(writeBlock(board, 0x08000004, "bbbb").toHex(), QByteArray("79791f"));
        QCOMPARE(writeBlock(board, 0x08000008, "cccc").toHex(), QByteArray("797979"));
        const std::vector<uint8_t> flash = board.flash();
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(flash.data()), 12), QByteArray("aaaa\xff\xff\xff\xff" "cccc"));
    }

    void nackOfTheFirstSync_theNextSyncIsAcked()
    {
        SimBoard board(faults("nack=sync:1"));
        resetIntoBootloader(board);
        QCOMPARE(talk(board, "\x7f"), QByteArray("\x1f"));
        QCOMPARE(talk(board, "\x7f"), QByteArray("\x79"));
        QCOMPARE(talk(board, "\x02\xfd").toHex(), QByteArray("7901041079"));
    }

    void muteBoard_neverAnswers_boardFallingSilent_answersUpToItsFrame()
    {
        SimBoard mute(faults("mute"));
        resetIntoBootloader(mute);
        QCOMPARE(talk(mute, "\x7f"), QByteArray());
        QCOMPARE(talk(mute, "\x02\xfd"), QByteArray());

        SimBoard board(faults("mute=address:2"));
        resetIntoBootloader(board);
        QCOMPARE(talk(board, "\x7f"), QByteArray("\x79"));
        QCOMPARE(massErase(board), QByteArray("\x79\x79"));
        QCOMPARE(writeBlock(board, 0x08000000, "aaaa").toHex(), QByteArray("797979"));
        QCOMPARE(writeBlock(board, 0x08000004, "bbbb").toHex(), QByteArray("79"));  // command only
        QCOMPARE(talk(board, "\x02\xfd"), QByteArray());
        // A reset brings the line back, but the kind stays silent.
        resetIntoBootloader(board);
        QCOMPARE(talk(board, "\x7f"), QByteArray("\x79"));
    }

    void noise_goesBeforeEveryReply_orBeforeOneKindOnly_andIsNeverAnAckOrNack()
    {
        SimBoard board(faults("noise=40"));
        resetIntoBootloader(board);
        const QByteArray reply = talk(board, "\x7f");
        QCOMPARE(reply.size(), 41);
        QCOMPARE(reply.back(), char(0x79));
        QVERIFY(!reply.left(40).contains(char(0x79)) && !reply.left(40).contains(char(0x1F)));

        SimBoard getId(faults("noise=2:getid"));
        resetIntoBootloader(getId);
        QCOMPARE(talk(getId, "\x7f").toHex(), QByteArray("79"));
        QCOMPARE(talk(getId, "\x02\xfd").toHex(), QByteArray("00ff7901041079"));
    }

    void chatter_textAheadOfTheFirstSyncAckAfterEachReset()
    {
        SimBoard board(faults("chatter=50"));
        resetIntoBootloader(board);
        const QByteArray first = talk(board, "\x7f");
        QCOMPARE(first.size(), 51);
        QVERIFY(first.startsWith("\x1b[32m["));
        QCOMPARE(first.back(), char(0x79));
        QCOMPARE(talk(board, "\x02\xfd").toHex(), QByteArray("7901041079"));
        resetIntoBootloader(board);
        QCOMPARE(talk(board, "\x7f").size(), 51);
    }

    void unplug_afterTheKthBlock_orAtTheFirstWriteCommand()
    {
        SimBoard board(faults("unplug=2"));
        resetIntoBootloader(board);
        talk(board, "\x7f");
        massErase(board);
        writeBlock(board, 0x08000000, "aaaa");
        QVERIFY(!board.detached());
        writeBlock(board, 0x08000004, "bbbb");
        QVERIFY(board.detached());
        QCOMPARE(board.blocksWritten(), 2);

        SimBoard early(faults("unplug=0"));
        resetIntoBootloader(early);
        talk(early, "\x7f");
        massErase(early);
        QVERIFY(!early.detached());
        QCOMPARE(talk(early, "\x31\xce"), QByteArray());
        QVERIFY(early.detached());
    }

    void boot0Stuck_resetAlwaysStartsTheApplication()
    {
        SimBoard board(faults("boot0-stuck"));
        std::vector<uint8_t> image(64, 0x11);
        const uint8_t vectors[] = {0x00, 0x50, 0x00, 0x20, 0x09, 0x01, 0x00, 0x08};
        std::copy(std::begin(vectors), std::end(vectors), image.begin());
        board.loadFlash(image);
        resetIntoBootloader(board);
        QCOMPARE(board.mode(), SimBoard::Mode::Application);
        // No ACK comes, only the firmware's banner (whose "bytes" holds a 0x79 all the same).
        QVERIFY(talk(board, "\x7f").startsWith("\x1b[32mOrbalo Mini booted: unnamed"));
        QCOMPARE(board.mode(), SimBoard::Mode::Application);
    }

    void bootloaderOnAnotherParity_takesOnlyThatFraming()
    {
        SimBoard board(faults("parity=none"));
        resetIntoBootloader(board);
        QCOMPARE(talk(board, "\x7f", pelsim::kLine8E1), QByteArray());
        QCOMPARE(talk(board, "\x7f", pelsim::kLine8N1), QByteArray("\x79"));
    }
};

QTEST_GUILESS_MAIN(TestSimFaults)
#include "test_sim_faults.moc"
