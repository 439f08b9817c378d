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
    void frames_decodeToTheirValues_data()
    {
        QTest::addColumn<QByteArray>("wire");
        QTest::addColumn<QByteArray>("decoded");
        QTest::addColumn<QString>("logLine");  // a line of the handler's, once; "" for none
        QTest::newRow("Hi, known bytes") << kHi << QByteArray("Hi") << "";
        QTest::newRow("empty frame") << QByteArray::fromHex("AA00000000") + kHi << QByteArray("Hi")
                                     << "DataLength == 0 @ 0";
        // Head and escape bytes inside the frame are stuffed, and restored before the checksum.
        const QByteArray special = QByteArray::fromHex("AA55AA0155");
        QTest::newRow("stuffed") << tlvStuff(tlvFrame(tlvRecord(0xF1, special))) << special << "";
        const QByteArray data = tlvRecord(0xF0, "one") + tlvRecord(0xF3, "zz") + tlvRecord(0xF0, "two");
        QTest::newRow("garbage before, unknown tag between")
            << "junk" + tlvStuff(tlvFrame(data)) + tlvStuff(tlvFrame(tlvRecord(0xF2, "!"))) << QByteArray("onetwo!")
            << "Unkown Tag: 243";
        QTest::newRow("garbage is skipped to the head") << "junk" + kHi << QByteArray("Hi")
                                                        << "DataPointer adr:0 != HeadBuffer adr:4";
        QTest::newRow("bad checksum") << tlvFrame(tlvRecord(0xF0, "bad"), 1) + tlvFrame(tlvRecord(0xF0, "good")) + kHi
                                      << QByteArray("goodHi") << "CheckSum Wrong!";
        QTest::newRow("checksum not negated") << QByteArray::fromHex("AA0500F002004869A801") + kHi << QByteArray("Hi")
                                              << "CheckSum Wrong!";
        QTest::newRow("length that can never fit") << QByteArray::fromHex("AAFFFF00") + kHi << QByteArray("Hi")
                                                   << "can never fit";
        // The first frame lost its tail on the wire: it must not hold back the next one.
        QTest::newRow("cut short by the next head") << kHi.left(6) + kHi << QByteArray("Hi") << "";
        QByteArray past = tlvRecord(0xF0, "ok") + tlvRecord(0xF0, "abcdef");
        past.chop(3);  // the second record claims 6 bytes, 3 are in the frame
        QTest::newRow("record past its frame") << tlvFrame(past) + kHi << QByteArray("okHi") << "runs past the frame";
    }
    void frames_decodeToTheirValues()
    {
        QFETCH(QByteArray, wire);
        QFETCH(QByteArray, decoded);
        QFETCH(QString, logLine);
        Feeder f;
        LogCapture log;
        f.feed(wire);
        QCOMPARE(f.drain(), decoded);
        QCOMPARE(f.dec.BufferLength(), quint16(0));
        if (!logLine.isEmpty())
            QCOMPARE(log.messages(QLatin1String(kHandler)).filter(logLine).size(), 1);
        f.feed(kHi);  // and the decoder is ready for the next frame
        QCOMPARE(f.drain(), QByteArray("Hi"));
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
        Feeder f;
        f.feed(kHi.left(5));
        f.dec.reset();  // drops the half frame
        f.feed(kHi);
        QCOMPARE(f.drain(), QByteArray("Hi"));
    }

    void fullRings_keepTheRestAndNeverOverrun()
    {
        Feeder f;
        const QByteArray big = QByteArray("abcdefghijklmnopqrstuvwxyz").repeated(116).left(3000);
        f.feed(tlvFrame(tlvRecord(0xF0, big)));
        f.feed(tlvFrame(tlvRecord(0xF0, big)));  // 6000 bytes of output for a 4095-byte ring
        QCOMPARE(f.dec.OutBufferLength(), quint16(4095));
        QByteArray out = f.drain();
        QVERIFY(f.dec.hasPendingOutput());
        f.dec.TLV_Handler();
        out += f.drain();
        QCOMPARE(out, big + big);
        QVERIFY(!f.dec.hasPendingOutput());

        // A flood without heads never overruns the receive ring, and the next frame decodes.
        LogCapture log;
        f.feed(kHi.left(4));
        for (int i = 0; i < 5; ++i)
            f.feed(QByteArray(3000, 'x'));
        QVERIFY(log.contains(QStringLiteral("Receive buffer full")));
        QVERIFY(f.dec.BufferLength() <= 4095);
        f.feed(kHi);
        QCOMPARE(f.drain(), QByteArray("Hi"));
    }

    void randomFramesInRandomPieces_matchTheEncoder()
    {
        QRandomGenerator rng(7);
        Feeder f;
        QByteArray wire, expected, out;
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
