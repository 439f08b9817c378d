// The TLV decoder: frames in any pieces, stuffing, bad frames skipped, rings never overrun.
#include "support/log_capture.h"
#include "tlv/vx_debug_tlv_server.h"
#include "tlv_test_encoder.h"

#include <QRandomGenerator>
#include <QtTest>

namespace {

const char *kHandler = "VX_Debug_TLV_Server::TLV_Handler";

// Feeds bytes as the worker does: from a 4096-byte ring that wraps.
struct Feeder {
    VX_Debug_TLV_Server dec;
    quint8 ring[4096] = {};
    quint16 write = 0;

    void feed(const QByteArray &bytes)
    {
        const quint16 start = write;
        for (char c : bytes) {
            ring[write] = quint8(c);
            write = quint16((write + 1) & 0x0FFF);
        }
        QCOMPARE(dec.WriteReceiveBuffer(ring, start, quint16(bytes.size()), 4096), quint16(bytes.size()));
    }
    QByteArray drain()
    {
        QByteArray out;
        quint8 b = 0;
        while (dec.ReadOutBuffer(b) == 1)
            out.append(char(b));
        return out;
    }
};

const QByteArray kHi = QByteArray::fromHex("AA0500F00200486958FE");

} // namespace

class TestTlvDecoder : public QObject {
    Q_OBJECT
private slots:
    void knownFrames_emptyAndHi()
    {
        Feeder f;
        QCOMPARE(tlvFrame(tlvRecord(0xF0, "Hi")), kHi);
        LogCapture log;
        f.feed(QByteArray::fromHex("AA00000000"));
        QVERIFY(log.messages(QLatin1String(kHandler)).contains(QStringLiteral("DataLength == 0 @ 0")));
        QCOMPARE(f.dec.BufferLength(), quint16(0));
        QCOMPARE(f.drain(), QByteArray());
        f.feed(kHi);
        QCOMPARE(f.drain(), QByteArray("Hi"));
        QVERIFY(log.errors().isEmpty());
    }

    void frameSplitInTwo_waitsThenDecodes()
    {
        for (int cut = 1; cut < kHi.size(); ++cut) {
            Feeder f;
            LogCapture log;
            f.feed(kHi.left(cut));
            QCOMPARE(f.drain(), QByteArray());
            QCOMPARE(log.errors().size(), 1);
            QVERIFY(log.errors().at(0).contains(cut < 3 ? QStringLiteral("BufferLength() < 0x03")
                                                        : QStringLiteral("Soll:10 Bytes Ist:%1").arg(cut)));
            f.feed(kHi.mid(cut));
            QCOMPARE(f.drain(), QByteArray("Hi"));
        }
    }

    void stuffedHeadAndEscapeBytes_areRestoredBeforeTheChecksum()
    {
        Feeder f;
        const QByteArray value = QByteArray::fromHex("AA55AA0155");
        const QByteArray wire = tlvStuff(tlvFrame(tlvRecord(0xF1, value)));
        QVERIFY(wire.count(char(0xAA)) == 1);
        f.feed(wire);
        QCOMPARE(f.drain(), value);
    }

    void twoFramesInOneCall_garbageBefore_unknownTagBetween()
    {
        Feeder f;
        LogCapture log;
        const QByteArray data = tlvRecord(0xF0, "one") + tlvRecord(0xF3, "zz") + tlvRecord(0xF0, "two");
        f.feed("junk" + tlvStuff(tlvFrame(data)) + tlvStuff(tlvFrame(tlvRecord(0xF2, "!"))));
        QCOMPARE(f.drain(), QByteArray("onetwo!"));
        const QStringList m = log.messages(QLatin1String(kHandler));
        QVERIFY(m.contains(QStringLiteral("DataPointer adr:0 != HeadBuffer adr:4")));
        QVERIFY(m.contains(QStringLiteral("Data @ DataPointer[0x6a] != TLV_DATA_HEAD")));
        QCOMPARE(m.filter(QStringLiteral("Unkown Tag: 243")).size(), 1);
    }

    void badChecksumFrame_isSkippedAndNextFrameDecodes()
    {
        Feeder f;
        LogCapture log;
        f.feed(tlvFrame(tlvRecord(0xF0, "bad"), 1) + tlvFrame(tlvRecord(0xF0, "good")));
        QCOMPARE(f.drain(), QByteArray("good"));
        QCOMPARE(log.count(QStringLiteral("CheckSum Wrong!")), 1);
        f.feed(kHi);
        QCOMPARE(f.drain(), QByteArray("Hi"));
    }

    void lengthThatCanNeverFit_isDroppedAndNextFrameDecodes()
    {
        Feeder f;
        LogCapture log;
        f.feed(QByteArray::fromHex("AAFFFF00") + kHi);
        QCOMPARE(f.drain(), QByteArray("Hi"));
        QCOMPARE(log.count(QStringLiteral("can never fit")), 1);
    }

    void frameCutShortByTheNextHead_doesNotHoldBackLaterFrames()
    {
        Feeder f;
        f.feed(kHi.left(6) + kHi);  // the first frame lost its tail on the wire
        QCOMPARE(f.drain(), QByteArray("Hi"));
    }

    void recordRunningPastItsFrame_copiesNothingPastIt()
    {
        Feeder f;
        LogCapture log;
        QByteArray data = tlvRecord(0xF0, "ok") + tlvRecord(0xF0, "abcdef");
        data.chop(3);  // the second record claims 6 bytes, 3 are in the frame
        f.feed(tlvFrame(data) + kHi);
        QCOMPARE(f.drain(), QByteArray("okHi"));
        QCOMPARE(log.count(QStringLiteral("runs past the frame")), 1);
    }

    void fullOutputRing_keepsTheRestForTheNextCall()
    {
        Feeder f;
        QByteArray big;
        for (int i = 0; i < 3000; ++i)
            big.append(char('a' + i % 26));
        f.feed(tlvFrame(tlvRecord(0xF0, big)));
        f.feed(tlvFrame(tlvRecord(0xF0, big)));  // 6000 bytes of output for a 4095-byte ring
        QCOMPARE(f.dec.OutBufferLength(), quint16(4095));
        QByteArray out = f.drain();
        QVERIFY(f.dec.hasPendingOutput());
        f.dec.TLV_Handler();
        out += f.drain();
        QCOMPARE(out, big + big);
        QVERIFY(!f.dec.hasPendingOutput());
    }

    void reset_dropsAHalfFrame()
    {
        Feeder f;
        f.feed(kHi.left(5));
        f.dec.reset();
        f.feed(kHi);
        QCOMPARE(f.drain(), QByteArray("Hi"));
        // Without the reset the half frame is skipped once the next head arrives, too.
        Feeder g;
        g.feed(QByteArray::fromHex("AA0500F002") + kHi);
        QCOMPARE(g.drain(), QByteArray("Hi"));
    }

    void floodWithoutHeads_neverOverrunsAndRecovers()
    {
        Feeder f;
        LogCapture log;
        QByteArray noise(3000, 'x');
        f.feed(kHi.left(4));
        for (int i = 0; i < 5; ++i)
            f.feed(noise);
        QVERIFY(log.contains(QStringLiteral("Receive buffer full")));
        QVERIFY(f.dec.BufferLength() <= 4095);
        f.feed(kHi);
        QCOMPARE(f.drain(), QByteArray("Hi"));
    }

    void randomFramesInRandomPieces_matchTheEncoder()
    {
        QRandomGenerator rng(7);
        Feeder f;
        QByteArray wire, expected;
        QByteArray out;
        for (int frame = 0; frame < 20000; ++frame) {
            QByteArray data;
            const int records = int(rng.bounded(4));
            for (int r = 0; r < records; ++r) {
                QByteArray value(int(rng.bounded(40)), '\0');
                for (char &c : value)
                    c = char(rng.bounded(256));
                data += tlvRecord(quint8(0xF0 + rng.bounded(3)), value);
                expected += value;
            }
            // Garbage between frames carries no head byte.
            QByteArray garbage(int(rng.bounded(6)), '\0');
            for (char &c : garbage)
                c = char(rng.bounded(2) ? 'g' : 0x55);
            if (!garbage.isEmpty())
                garbage.back() = 'g';  // an escape right before a head would still be a head
            wire += garbage + tlvStuff(tlvFrame(data));
        }
        int pos = 0;
        {
            LogCapture quiet;  // the garbage lines are expected here
            while (pos < wire.size()) {
                const int piece = qMin(1 + int(rng.bounded(700)), int(wire.size()) - pos);
                f.feed(wire.mid(pos, piece));
                pos += piece;
                out += f.drain();
            }
        }
        QCOMPARE(out.size(), expected.size());
        QVERIFY(out == expected);
    }
};

QTEST_GUILESS_MAIN(TestTlvDecoder)
#include "test_tlv_decoder.moc"
