// The simulated board's fault knobs, each seen at the byte level, and their written syntax.
#include "bootloader_talk.h"
#include "sim_board.h"
#include "usbdevice/sim_bridge_library.h"

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

        BoardOptions q;
        QVERIFY(pelsim::parseFaults("stray=0x79/31:read-count:2+,stray-after=0x1f:sync:1,stream=noise:data:3,"
                                    "unplug=read-address:1", q));
        QCOMPARE(int(q.strays.size()), 2);
        QCOMPARE(q.strays[0].bytes, std::string("\x79\x1f"));
        QVERIFY(q.strays[0].at.matches(pelsim::FrameKind::ReadCount, 9) && !q.strays[0].afterReply);
        QVERIFY(q.strays[1].afterReply && q.strays[1].at.matches(pelsim::FrameKind::Sync, 1));
        QVERIFY(q.stream && q.streamFromFrame && q.streamContent == pelsim::StreamContent::Noise);
        QVERIFY(q.streamAt.matches(pelsim::FrameKind::Data, 3));
        QVERIFY(q.unplugAt.at(0).matches(pelsim::FrameKind::ReadAddress, 1));
        QVERIFY(pelsim::parseFaults("late=data:3+:6000,unprogrammed=0x08000100:4,bridge=queue:data:2+,bridge=write:read:1:0x0e", q));
        QVERIFY(q.lates.at(0).at.matches(pelsim::FrameKind::Data, 4) && q.lates[0].delay == 6000);
        QVERIFY(q.unprogrammed.at(0).holds(0x08000106) && !q.unprogrammed[0].holds(0x08000108));
        QVERIFY(q.bridgeFaults.at(0).every && q.bridgeFaults[0].status == 0x08);
        QVERIFY(!q.bridgeFaults.at(1).every && q.bridgeFaults[1].status == 0x0E
                && q.bridgeFaults[1].call == pelsim::BridgeCall::Write);
        for (const char *wrong : {"stray=0x100:sync:1", "stray=0x79", "stray=:sync:1", "stream=words", "stream=text:data",
                                  "late=data:3", "unprogrammed=0x0800:0", "bridge=pins:data:1", "bridge=write:data"})
            QVERIFY2(!pelsim::parseFaults(wrong, q), wrong);
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

    void strayBytes_ofChosenValues_comeAheadOfTheReplyOrAfterIt()
    {
        SimBoard board(faults("stray=0x79/0x1f:getid:1,stray-after=0x79:sync:1,stray=0x1f:read-count:1"));
        resetIntoBootloader(board);
        QCOMPARE(talk(board, "\x7f").toHex(), QByteArray("7979"));
        QCOMPARE(talk(board, "\x02\xfd").toHex(), QByteArray("791f7901041079"));
        QCOMPARE(talk(board, "\x02\xfd").toHex(), QByteArray("7901041079"));
        QCOMPARE(talkAll(board, {"\x11\xee", addressFrame(0x08000000), QByteArray("\x03\xfc", 2)}).toHex(),
                 QByteArray("79791f79ffffffff"));
    }

    void strayAtADataFrame_inRealTime_arrivesWhileTheHostStillSendsTheFrame()
    {
        auto clock = std::make_shared<pelsim::ManualClock>(1000000);
        BoardOptions options = faults("stray=0x79:data:1");
        options.timing = pelsim::Timing::Realtime;
        SimBoard board(options, clock);
        resetIntoBootloader(board);
        clock->advance(3000);
        auto exchange = [&](const QByteArray &request, uint64_t us) {
            board.hostWrite(reinterpret_cast<const uint8_t *>(request.constData()), size_t(request.size()), pelsim::kLine8E1);
            clock->advance(us);
            QByteArray out(int(board.hostAvailable()), '\0');
            board.hostRead(reinterpret_cast<uint8_t *>(out.data()), size_t(out.size()));
            return out;
        };
        QCOMPARE(exchange("\x7f", 1000), QByteArray("\x79"));
        QCOMPARE(exchange("\x31\xce", 1000), QByteArray("\x79"));
        QCOMPARE(exchange(addressFrame(0x08000000), 1000), QByteArray("\x79"));
        // 260 bytes take 24.8 ms to send: one millisecond in, the stray byte is there, no ACK.
        QCOMPARE(exchange(dataFrame(QByteArray(256, 'a')), 1000), QByteArray("\x79"));
        QCOMPARE(board.blocksWritten(), 0);
        clock->advance(40000);
        QCOMPARE(board.hostAvailable(), size_t(1));
        QCOMPARE(board.blocksWritten(), 1);
    }

    void stream_afterTheSyncAck_theChipIsDeafAndTheLineNeverPauses_untilAReset()
    {
        SimBoard noise(faults("stream=noise"));
        resetIntoBootloader(noise);
        QCOMPARE(talk(noise, "\x7f").left(1), QByteArray("\x79"));
        for (int i = 0; i < 5; ++i) {
            const QByteArray got = talk(noise, "\x02\xfd");
            QCOMPARE(got.size(), 12);
            QVERIFY(!got.contains(char(0x79)) && !got.contains(char(0x1F)));
        }
        noise.setLatch(0x00);
        QCOMPARE(noise.hostAvailable(), size_t(0));
        noise.setLatch(0x01);
        QCOMPARE(talk(noise, "\x7f").left(1), QByteArray("\x79"));

        // Debug text holds ACK bytes; streaming can also begin after a chosen reply.
        SimBoard text(faults("stream=text:data:1"));
        resetIntoBootloader(text);
        talk(text, "\x7f");
        QCOMPARE(writeBlock(text, 0x08000000, "aaaa").left(3).toHex(), QByteArray("797979"));
        QByteArray streamed;
        for (int i = 0; i < 20; ++i)
            streamed += talk(text, "\x31\xce");
        QVERIFY(streamed.contains("\x1b[3") && streamed.contains(char(0x79)));
        QCOMPARE(text.framesSeen(pelsim::FrameKind::Command), 1);
    }

    void lateReply_waitsItsHostQueries_andTheStalledChipHearsNothingMeanwhile()
    {
        SimBoard board(faults("late=getid:1:3"));
        resetIntoBootloader(board);
        QCOMPARE(talk(board, "\x7f"), QByteArray("\x79"));
        QCOMPARE(talk(board, "\x02\xfd"), QByteArray());       // query 1
        QCOMPARE(talk(board, "\x01\xfe"), QByteArray());       // query 2; this command is lost
        QCOMPARE(talk(board, QByteArray()).toHex(), QByteArray("7901041079"));  // query 3
        QCOMPARE(board.framesSeen(pelsim::FrameKind::Command), 0);

        auto clock = std::make_shared<pelsim::ManualClock>(1000000);
        BoardOptions options = faults("late=sync:1:150");
        options.timing = pelsim::Timing::Realtime;
        SimBoard slow(options, clock);
        resetIntoBootloader(slow);
        clock->advance(3000);
        slow.hostWrite(reinterpret_cast<const uint8_t *>("\x7f"), 1, pelsim::kLine8E1);
        clock->advance(149000);
        QCOMPARE(slow.hostAvailable(), size_t(0));
        clock->advance(2000);
        QCOMPARE(slow.hostAvailable(), size_t(1));
    }

    void unprogrammedHalfWords_stayErasedThoughTheBlockIsAcked_andReadBackSoThrough()
    {
        SimBoard board(faults("unprogrammed=0x08000102,unprogrammed=0x08000108:2"));
        resetIntoBootloader(board);
        talk(board, "\x7f");
        QCOMPARE(writeBlock(board, 0x08000100, "abcdefghijklmnop").toHex(), QByteArray("797979"));
        QCOMPARE(talkAll(board, {"\x11\xee", addressFrame(0x08000100), QByteArray("\x0f\xf0", 2)}),
                 QByteArray("\x79\x79\x79" "ab\xff\xff" "efgh\xff\xff\xff\xff" "mnop"));
    }

    void bridgeFault_armedByTheBoardsFrame_failsTheNextCallOrEveryCall()
    {
        auto board = std::make_shared<SimBoard>(faults("bridge=write:data:1,bridge=queue:read:1+"));
        SimBridgeLibrary lib;
        lib.addBridge(QStringLiteral("Orbalo Mini (simulated)"), QStringLiteral("0001"), board);
        SiHandle h = kNoSiHandle;
        QCOMPARE(lib.open(0, &h), int(SI_SUCCESS));
        QCOMPARE(lib.setLineControl(h, pelsim::kLine8E1), int(SI_SUCCESS));
        resetIntoBootloader(*board);
        quint32 n = 0;
        auto send = [&](const QByteArray &bytes) { return lib.write(h, bytes.constData(), quint32(bytes.size()), &n); };
        QCOMPARE(send("\x7f"), int(SI_SUCCESS));
        for (const QByteArray &frame : {QByteArray("\x31\xce"), addressFrame(0x08000000), dataFrame("abcd")})
            QCOMPARE(send(frame), int(SI_SUCCESS));
        QCOMPARE(send("\x31\xce"), int(SI_DEVICE_IO_FAILED));
        QCOMPARE(board->framesSeen(pelsim::FrameKind::Command), 1);
        quint32 queued = 0, status = 0;
        QCOMPARE(lib.checkRxQueue(h, &queued, &status), int(SI_SUCCESS));
        QCOMPARE(send("\x11\xee"), int(SI_SUCCESS));
        QCOMPARE(board->framesSeen(pelsim::FrameKind::Read), 1);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(lib.checkRxQueue(h, &queued, &status), int(SI_DEVICE_IO_FAILED));
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
