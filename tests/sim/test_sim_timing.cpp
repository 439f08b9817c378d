// The real-time model of the simulated board on a manual clock: every figure below is worked
// out from the baud rate and the flash timings, not taken from the board's own constants.
#include "bootloader_talk.h"
#include "sim_board.h"

#include <QtTest>

#include <cmath>

using pelsim::ManualClock;
using pelsim::SimBoard;

namespace {

// 115200 baud: a byte of 8 data bits, even parity and a stop bit takes 11 bits.
constexpr double kByte8E1Us = 11.0 * 1e6 / 115200.0;  // 95.486 us
constexpr double kByte8N1Us = 10.0 * 1e6 / 115200.0;  // 86.806 us
constexpr double kHalfWordUs = 52.5;

struct Rig {
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(1000000);
    std::unique_ptr<SimBoard> board;

    explicit Rig(pelsim::BoardOptions options = {})
    {
        options.timing = pelsim::Timing::Realtime;
        board = std::make_unique<SimBoard>(options, clock);
    }
    void send(const QByteArray &bytes, uint16_t line = pelsim::kLine8E1)
    {
        board->hostWrite(reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size()), line);
    }
    QByteArray read()
    {
        QByteArray out(int(board->hostAvailable()), '\0');
        board->hostRead(reinterpret_cast<uint8_t *>(out.data()), size_t(out.size()));
        return out;
    }
    // Sends a request at the clock's time and checks that its reply of `replyLength` bytes is
    // complete exactly `us` microseconds later, not a microsecond sooner. Leaves the clock there.
    QByteArray exchange(const QByteArray &request, double us, int replyLength)
    {
        const uint64_t start = clock->now();
        send(request);
        clock->set(start + uint64_t(std::floor(us)) - (std::floor(us) == us ? 1 : 0));
        if (board->hostAvailable() >= size_t(replyLength))
            return QByteArray("early");
        clock->set(start + uint64_t(std::ceil(us)));
        return read();
    }
};

} // namespace

class TestSimTiming : public QObject {
    Q_OBJECT
private slots:
    void byteTimes_followTheFraming()
    {
        QCOMPARE(pelsim::byteTimeNs(pelsim::kLine8E1), uint64_t(95486));
        QCOMPARE(pelsim::byteTimeNs(pelsim::kLine8N1), uint64_t(86805));
        QCOMPARE(pelsim::byteTimeNs(0x0802), uint64_t(95486));   // 8N2: 11 bits as well
        QCOMPARE(pelsim::byteTimeNs(0x0801), uint64_t(91145));   // 1.5 stop bits
    }

    void syncBeforeTheBootloaderIsReady_isLost_afterItIsAnswered()
    {
        Rig rig;
        rig.board->setLatch(0x00);
        rig.board->setLatch(0x01);  // released with BOOT0 high at t0
        const uint64_t t0 = rig.clock->now();
        rig.send("\x7f");  // arrives 95 us later, inside the ~2 ms the ROM code needs
        rig.clock->set(t0 + 3000);
        QCOMPARE(rig.read(), QByteArray());
        // Sync byte out, ACK back: two bytes on the wire.
        QCOMPARE(rig.exchange("\x7f", 2 * kByte8E1Us, 1), QByteArray("\x79"));
    }

    void blockWrite_takesItsWireTimePlusItsProgrammingTime()
    {
        Rig rig;
        rig.board->setLatch(0x00);
        rig.board->setLatch(0x01);
        rig.clock->advance(2000);
        QCOMPARE(rig.exchange("\x7f", 2 * kByte8E1Us, 1), QByteArray("\x79"));
        // Mass erase: 2 + 1 bytes, then 2 + 1 bytes and 40 ms of erasing.
        QCOMPARE(rig.exchange("\x43\xbc", 3 * kByte8E1Us, 1), QByteArray("\x79"));
        QCOMPARE(rig.exchange(QByteArray("\xff\x00", 2), 3 * kByte8E1Us + 40000, 1), QByteArray("\x79"));

        const uint64_t blockStart = rig.clock->now();
        QCOMPARE(rig.exchange("\x31\xce", 3 * kByte8E1Us, 1), QByteArray("\x79"));
        QCOMPARE(rig.exchange(addressFrame(0x08000000), 6 * kByte8E1Us, 1), QByteArray("\x79"));
        QByteArray block(256, '\0');
        for (int i = 0; i < block.size(); ++i)
            block[i] = char(i * 7);
        // 258 bytes out, 128 half-words programmed, 1 byte back.
        QCOMPARE(rig.exchange(dataFrame(block), 259 * kByte8E1Us + 128 * kHalfWordUs, 1), QByteArray("\x79"));
        // The whole block, host answering at once: 268 bytes on the wire plus 6.72 ms.
        const double total = 268 * kByte8E1Us + 128 * kHalfWordUs;
        const double took = double(rig.clock->now() - blockStart);
        QVERIFY2(took >= total && took <= total + 3, qPrintable(QString::number(took)));
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(rig.board->flash().data()), 256), block);
    }

    void bytesSentWhileTheChipProgrammes_areLost()
    {
        Rig rig;
        rig.board->setLatch(0x00);
        rig.board->setLatch(0x01);
        rig.clock->advance(2000);
        QCOMPARE(rig.exchange("\x7f", 2 * kByte8E1Us, 1), QByteArray("\x79"));
        rig.send("\x43\xbc");
        rig.clock->advance(1000);
        QCOMPARE(rig.read(), QByteArray("\x79"));
        rig.send(QByteArray("\xff\x00", 2));
        rig.clock->advance(10000);  // 10 ms into the 40 ms mass erase
        rig.send(QByteArray("\x02\xfd", 2));
        rig.clock->advance(40000);
        QCOMPARE(rig.read(), QByteArray("\x79"));  // the erase's ACK; Get ID was never heard
        QVERIFY(rig.board->stats().lostBytes >= 2);
    }

    void application_bannerAndLines_arriveAtTheLineRate()
    {
        pelsim::BoardOptions options;
        options.linePeriodUs = 100000;
        Rig rig(options);
        std::vector<uint8_t> image(64, 0x11);
        const uint8_t vectors[] = {0x00, 0x50, 0x00, 0x20, 0x09, 0x01, 0x00, 0x08};
        std::copy(std::begin(vectors), std::end(vectors), image.begin());
        rig.board->loadFlash(image);
        rig.board->setLatch(0x02);
        rig.board->setLatch(0x03);
        const uint64_t t0 = rig.clock->now();
        const QByteArray banner = QByteArray("\x1b[32m") + rig.board->lastBanner().c_str() + "\x1b[0m\r\n";
        // 2 ms start-up, then the banner at 10 bits per byte.
        const double bannerDone = 2000 + banner.size() * kByte8N1Us;
        rig.clock->set(t0 + uint64_t(bannerDone) - 1);
        QVERIFY(rig.board->hostAvailable() < size_t(banner.size()));
        rig.clock->set(t0 + uint64_t(bannerDone) + 1);
        QCOMPARE(rig.read(), banner);
        // Then a line every 100 ms, each with its colour sequence: ten in the next second (and
        // the few milliseconds the tenth needs on the wire).
        rig.clock->advance(1000000 + 20000);
        const QList<QByteArray> lines = rig.read().split('\n');
        QCOMPARE(lines.size(), 11);  // ten lines and the empty rest after the last line feed
        QVERIFY(lines[0].startsWith("\x1b[32m[") && lines[0].endsWith("\x1b[0m\r"));
        QVERIFY(lines[1].startsWith("\x1b[34m["));
        QVERIFY(lines[2].startsWith("\x1b[33m["));
        QVERIFY(lines[3].startsWith("\x1b[31m["));
    }

    void resetCutsOutputStillOnTheWire()
    {
        Rig rig;
        std::vector<uint8_t> image(64, 0x11);
        const uint8_t vectors[] = {0x00, 0x50, 0x00, 0x20, 0x09, 0x01, 0x00, 0x08};
        std::copy(std::begin(vectors), std::end(vectors), image.begin());
        rig.board->loadFlash(image);
        rig.board->setLatch(0x02);
        rig.board->setLatch(0x03);
        rig.clock->advance(2000 + 10 * 87);  // ten bytes of the banner are through
        rig.board->setLatch(0x02);         // reset held
        rig.clock->advance(1000000);
        QCOMPARE(rig.read().size(), 10);
    }
};

QTEST_GUILESS_MAIN(TestSimTiming)
#include "test_sim_timing.moc"
