// The simulated board: its ROM bootloader byte for byte, with and without its fault knobs; its
// real-time model on a manual clock (figures worked out from the baud rate and flash timings).
#include "board_application.h"
#include "cp210x_device.h"
#include "sim_board.h"
#include "support/log_capture.h"
#include "support/update_rig.h"
#include "tlv/vx_debug_tlv_server.h"

#include <QtTest>

#include <cmath>

using pelsim::BoardOptions;
using pelsim::FrameKind;
using pelsim::SimBoard;

namespace {

constexpr double kByte8E1Us = 11.0 * 1e6 / 115200.0;  // 8 data bits, parity, stop: 95.486 us
constexpr double kByte8N1Us = 10.0 * 1e6 / 115200.0;
constexpr double kHalfWordUs = 52.5;

QByteArray drain(SimBoard &board)
{
    QByteArray out(int(board.hostAvailable()), '\0');
    board.hostRead(reinterpret_cast<uint8_t *>(out.data()), size_t(out.size()));
    return out;
}

QByteArray talk(SimBoard &board, const QByteArray &request, uint16_t line = pelsim::kLine8E1)
{
    board.hostWrite(reinterpret_cast<const uint8_t *>(request.constData()), size_t(request.size()), line);
    return drain(board);
}

// Four address bytes, most significant first, and their XOR.
QByteArray addressFrame(quint32 a)
{
    QByteArray f;
    for (int s = 24; s >= 0; s -= 8)
        f.append(char(a >> s));
    return f.append(char(f[0] ^ f[1] ^ f[2] ^ f[3]));
}

// Count byte (N - 1), the data, and the XOR of both.
QByteArray dataFrame(const QByteArray &data)
{
    QByteArray f = char(data.size() - 1) + data;
    char x = 0;
    for (char c : f)
        x ^= c;
    return f.append(x);
}

BoardOptions faults(const char *list)
{
    BoardOptions options;
    if (!pelsim::parseFaults(list, options))
        qFatal("fault list not understood: %s", list);
    return options;
}

void resetIntoBootloader(SimBoard &board)
{
    board.setLatch(0x00);
    board.setLatch(0x01);
}

// A plausible image of 64 bytes in flash, and a reset with BOOT0 low.
void bootApp(SimBoard &board, const QByteArray &name)
{
    const QByteArray image = plausibleImage(64, name);
    board.loadFlash(std::vector<uint8_t>(image.begin(), image.end()));
    board.setLatch(0x02);
    board.setLatch(0x03);
}

// Runs a conversation written as space-separated "REQUEST:REPLY" steps, both in hex, the reply
// compared whole. A request may be: "@A" an address frame, "WA/D" Write Memory of data D at A
// (command, address and data frame; "!" after D spoils its checksum), "RA/N" Read Memory of N+1
// bytes, "E" a mass erase; "~" before it sends it framed 8N1. Steps without ":" are actions:
// "X" resets into the bootloader, "U" says the next step unplugs the board.
void converse(SimBoard &board, const QString &script)
{
    bool unplugged = false;
    for (const QString &step : script.split(' ', Qt::SkipEmptyParts)) {
        if (step == "X" || step == "U") {
            step == "X" ? resetIntoBootloader(board) : void(unplugged = true);
            continue;
        }
        const QString request = step.section(':', 0, 0).remove('~');
        const quint32 address = request.mid(1, 8).toUInt(nullptr, 16);
        const QByteArray operand = QByteArray::fromHex(request.section('/', 1).toLatin1());  // skips the "!"
        QList<QByteArray> frames{QByteArray::fromHex(request.toLatin1())};
        if (request.startsWith('@'))
            frames = {addressFrame(address)};
        else if (request.startsWith('W'))
            frames = {"\x31\xce", addressFrame(address), dataFrame(operand)};
        else if (request.startsWith('R'))
            frames = {"\x11\xee", addressFrame(address), operand + char(operand.at(0) ^ 0xFF)};
        else if (request == "E")
            frames = {"\x43\xbc", QByteArray("\xff\x00", 2)};
        if (request.endsWith('!'))
            frames.last().back() = char(frames.last().back() ^ 1);
        QByteArray reply;
        for (const QByteArray &frame : frames)
            reply += talk(board, frame, step.startsWith('~') ? pelsim::kLine8N1 : pelsim::kLine8E1);
        QVERIFY2(reply.toHex() == step.section(':', 1).toLatin1(), qPrintable(step + " answered " + reply.toHex()));
        QVERIFY2(board.detached() == unplugged, qPrintable(step));
    }
}

// A board in real time on a clock of the test's own.
struct TimedRig {
    std::shared_ptr<pelsim::ManualClock> clock = std::make_shared<pelsim::ManualClock>(1000000);
    std::unique_ptr<SimBoard> board;

    explicit TimedRig(BoardOptions options = {})
    {
        options.timing = pelsim::Timing::Realtime;
        board = std::make_unique<SimBoard>(options, clock);
    }
    // Sends request and checks that its reply is complete exactly us microseconds later, not a
    // microsecond sooner. Leaves the clock there.
    QByteArray exchange(const QByteArray &request, double us)
    {
        const uint64_t start = clock->now();
        if (!talk(*board, request).isEmpty())
            return QByteArray("at once");
        clock->set(start + uint64_t(std::floor(us)) - (std::floor(us) == us ? 1 : 0));
        if (board->hostAvailable() > 0)
            return QByteArray("early");
        clock->set(start + uint64_t(std::ceil(us)));
        return drain(*board);
    }
};

// Polls the board n times as the worker loop does and collects what arrived.
QByteArray poll(SimBoard &board, int n)
{
    QByteArray out;
    for (int i = 0; i < n; ++i)
        out += drain(board);
    return out;
}

std::unique_ptr<SimBoard> bootedBoard(pelsim::Output output)
{
    BoardOptions options;
    options.output = output;
    options.instantPollsPerLine = 10;
    auto board = std::make_unique<SimBoard>(options);
    bootApp(*board, "App 2.0");
    return board;
}

} // namespace

class TestSimBoard : public QObject {
    Q_OBJECT
private slots:
    void conversation_data()
    {
        QTest::addColumn<QString>("list");
        QTest::addColumn<QString>("script");
        QTest::newRow("get commands") << "" << "7f:79 00ff:790b22000102112131436373829279 01fe:7922000079 "
                                               "02fd:7901041079 02fc:1f 639c:1f";  // wrong complement; not modelled
        QTest::newRow("write, read, refusals, page erase")
            << "" << "7f:79 E:7979 W08000100/6162636465666768:797979 R08000100/07:7979796162636465666768 "
                     "W08000100/4142434445464748:79791f R08000100/00:79797961 "  // not erased: flash unchanged
                     "W08000202/61626364:79791f W08000200/616263:79791f 31ce:79 @08020000:1f "
                     "W08000300/61626364!:79791f R08000300/00:797979ff 43bc:79 000000:79 R08000100/00:797979ff";
        QTest::newRow("mass erase reaches the last page")
            << "" << "7f:79 E:7979 W0801fffc/01020304:797979 W08000000/05060708:797979 E:7979 "
                     "R0801fffc/03:797979ffffffff R08000000/03:797979ffffffff";
        QTest::newRow("strict line: no sync on 8N1") << "" << "~7f:";
        QTest::newRow("lenient-parity") << "lenient-parity" << "~7f:79";
        QTest::newRow("parity=none") << "parity=none" << "7f: ~7f:79";
        QTest::newRow("product-id") << "product-id=0x041a" << "7f:79 02fd:7901041a79";
        QTest::newRow("nack=data:2")
            << "nack=data:2" << "7f:79 E:7979 W08000000/61616161:797979 W08000004/62626262:79791f "
                                "W08000008/63636363:797979 R08000000/0b:79797961616161ffffffff63636363";
        QTest::newRow("nack=data:2+") << "nack=data:2+" << "7f:79 E:7979 W08000000/61616161:797979 "
                                                          "W08000004/62626262:79791f W08000008/63636363:79791f";
        QTest::newRow("nack=sync:1") << "nack=sync:1" << "7f:1f 7f:79 02fd:7901041079";
        QTest::newRow("mute") << "mute" << "7f: 02fd:";
        QTest::newRow("mute=address:2: silent from there, also after a reset")
            << "mute=address:2" << "7f:79 E:7979 W08000000/61616161:797979 W08000004/62626262:79 02fd: X 7f:79";
        QTest::newRow("noise=2:getid") << "noise=2:getid" << "7f:79 02fd:00ff7901041079";
        QTest::newRow("stray bytes ahead and after")
            << "stray=0x79/0x1f:getid:1,stray-after=0x79:sync:1,stray=0x1f:read-count:1"
            << "7f:7979 02fd:791f7901041079 02fd:7901041079 R08000000/03:79791f79ffffffff";
        QTest::newRow("late=getid:1:3: waits 3 queries, hears nothing meanwhile")
            << "late=getid:1:3" << "7f:79 02fd: 01fe: :7901041079 01fe:7922000079";
        QTest::newRow("unprogrammed half-words read back erased")
            << "unprogrammed=0x08000102,unprogrammed=0x08000108:2"
            << "7f:79 W08000100/6162636465666768696a6b6c6d6e6f70:797979 "
               "R08000100/0f:7979796162ffff65666768ffffffff6d6e6f70";
        // The second block's ACK is queued as the cable comes out: the bridge loses it.
        QTest::newRow("unplug=2") << "unplug=2" << "7f:79 E:7979 W08000000/61616161:797979 U W08000004/62626262:797979";
        QTest::newRow("unplug=0") << "unplug=0" << "7f:79 E:7979 U 31ce:";
        QTest::newRow("unplug=read-address:1") << "unplug=read-address:1" << "7f:79 11ee:79 U @08000000:";
    }
    void conversation()
    {
        QFETCH(QString, list);
        QFETCH(QString, script);
        SimBoard board(faults(list.toUtf8()));
        resetIntoBootloader(board);
        converse(board, script);
    }

    void faultList_badItemIsNamed_itemsBeforeItApply()
    {
        BoardOptions p;
        std::string bad;
        QVERIFY(!pelsim::parseFaults("mute,nack=frame:1,noise=2", p, &bad));
        QCOMPARE(bad, std::string("nack=frame:1"));
        QVERIFY(p.mute);
        QVERIFY(pelsim::parseFaults("chatter,late=data:3+:6000", p) && p.chatterBytes == 300);
        QVERIFY(p.lates.at(0).at.matches(FrameKind::Data, 4) && p.lates[0].delay == 6000);
        for (const char *wrong : {"nack=data:0", "unplug=-1", "stray=0x100:sync:1", "stray=0x79", "stray=:sync:1",
                                  "stream=words", "stream=text:data", "late=data:3", "unprogrammed=0x0800:0",
                                  "bridge=pins:data:1", "bridge=write:data"})
            QVERIFY2(!pelsim::parseFaults(wrong, p), wrong);
    }

    void noiseAndChatter_comeAheadOfTheAck_andAreNeverAnAckOrNack()
    {
        SimBoard noise(faults("noise=40"));
        resetIntoBootloader(noise);
        const QByteArray reply = talk(noise, "\x7f");
        QVERIFY(reply.size() == 41 && reply.back() == char(0x79));
        QVERIFY(!reply.left(40).contains(char(0x79)) && !reply.left(40).contains(char(0x1F)));

        SimBoard chatter(faults("chatter=50"));
        for (int reset = 0; reset < 2; ++reset) {
            resetIntoBootloader(chatter);
            const QByteArray first = talk(chatter, "\x7f");
            QVERIFY(first.size() == 51 && first.startsWith("\x1b[32m[") && first.endsWith('\x79'));
            QCOMPARE(talk(chatter, "\x02\xfd").toHex(), QByteArray("7901041079"));
        }
    }

    void stream_afterTheSyncAck_theChipIsDeafAndTheLineNeverPauses_untilAReset()
    {
        SimBoard noise(faults("stream=noise"));
        for (int reset = 0; reset < 2; ++reset) {
            resetIntoBootloader(noise);
            QCOMPARE(talk(noise, "\x7f").left(1), QByteArray("\x79"));
            for (int i = 0; i < 5; ++i) {
                const QByteArray got = talk(noise, "\x02\xfd");
                QCOMPARE(got.size(), 12);
                QVERIFY(!got.contains(char(0x79)) && !got.contains(char(0x1F)));
            }
            noise.setLatch(0x00);
            QCOMPARE(noise.hostAvailable(), size_t(0));
        }
        // Debug text holds ACK bytes; streaming can also begin after a chosen reply.
        SimBoard text(faults("stream=text:data:1"));
        resetIntoBootloader(text);
        converse(text, "7f:79 31ce:79 @08000000:79");
        QVERIFY(talk(text, dataFrame("aaaa")).startsWith('\x79'));
        QByteArray streamed;
        for (int i = 0; i < 20; ++i)
            streamed += talk(text, "\x31\xce");
        QVERIFY(streamed.contains("\x1b[3") && streamed.contains(char(0x79)));
        QCOMPARE(text.framesSeen(FrameKind::Command), 1);
    }

    void bridgeFault_armedByTheBoardsFrame_failsTheNextCallOrEveryCall()
    {
        auto board = std::make_shared<SimBoard>(faults("bridge=write:data:1,bridge=queue:read:1+"));
        auto lib = simLibraryWith(board);
        SiHandle h = kNoSiHandle;
        QCOMPARE(lib->open(0, &h), int(SI_SUCCESS));
        QCOMPARE(lib->setLineControl(h, pelsim::kLine8E1), int(SI_SUCCESS));
        resetIntoBootloader(*board);
        quint32 n = 0, queued = 0, status = 0;
        auto send = [&](const QByteArray &bytes) { return lib->write(h, bytes.constData(), quint32(bytes.size()), &n); };
        for (const QByteArray &frame : {QByteArray("\x7f"), QByteArray("\x31\xce"), addressFrame(0x08000000), dataFrame("abcd")})
            QCOMPARE(send(frame), int(SI_SUCCESS));
        QCOMPARE(send("\x31\xce"), int(SI_DEVICE_IO_FAILED));
        QCOMPARE(board->framesSeen(FrameKind::Command), 1);
        QCOMPARE(lib->checkRxQueue(h, &queued, &status), int(SI_SUCCESS));
        QCOMPARE(send("\x11\xee"), int(SI_SUCCESS));
        for (int i = 0; i < 3; ++i)
            QCOMPARE(lib->checkRxQueue(h, &queued, &status), int(SI_DEVICE_IO_FAILED));
    }

    // The emulated CP210x takes its vendor requests by their codes in Silicon Labs' AN571 (the
    // host side shares those constants, so only literal codes catch a wrong one), and frames the
    // bytes it passes to the board by the line control the host set.
    void cp210x_vendorRequestsByTheirCodes_frameTheBoardsLine()
    {
        auto board = std::make_shared<SimBoard>();
        pelsim::Cp210xDevice bridge({}, board);
        bridge.powerUp();
        auto request = [&](uint8_t type, uint8_t code, uint16_t value, QByteArray data = {}) {
            size_t n = 0;
            const pelsim::UsbSetup setup{type, code, value, 0, uint16_t(data.size())};
            return bridge.control(setup, reinterpret_cast<uint8_t *>(data.data()), &n) ? data.left(int(n)).toHex() : "stall";
        };
        QCOMPARE(request(0x41, 0x00, 0x0001), QByteArray());                                  // IFC_ENABLE
        QCOMPARE(request(0x41, 0x1E, 0, QByteArray::fromHex("00c20100")), QByteArray("00c20100"));  // SET_BAUDRATE
        QCOMPARE(request(0x41, 0x03, 0x0820), QByteArray());                                  // SET_LINE_CTL 8E1
        QCOMPARE(request(0xC1, 0x04, 0, QByteArray(2, '\0')), QByteArray("2008"));            // GET_LINE_CTL
        QCOMPARE(request(0x41, 0x03, 0x0820, QByteArray(1, '\0')), QByteArray("stall"));      // with a data stage
        const pelsim::Cp210xDevice::State state = bridge.state();
        QVERIFY(state.uartEnabled && state.baudRate == 115200 && state.lineControl == 0x0820);
        resetIntoBootloader(*board);
        bridge.bulkOut(reinterpret_cast<const uint8_t *>("\x7f"), 1);
        uint8_t ack = 0;
        QCOMPARE(bridge.bulkIn(&ack, 1), size_t(1));
        QCOMPARE(ack, uint8_t(0x79));
    }

    // A full block of 256 on the last page, read back whole, outlives the board in its flash file.
    void fullBlock_readsBackEqual_andOutlivesTheBoardInItsFile()
    {
        QTemporaryDir dir;
        BoardOptions options;
        options.flashPath = dir.filePath(QStringLiteral("flash.bin")).toStdString();
        const QByteArray block = plausibleImage(256, "Block");
        {
            SimBoard board(options);
            resetIntoBootloader(board);
            converse(board, QStringLiteral("7f:79 E:7979 W0801ff00/%1:797979 R0801ff00/ff:797979%1 W08000000/%1:797979")
                                .arg(QString::fromLatin1(block.toHex())));
            QCOMPARE(board.blocksWritten(), 2);
        }
        SimBoard again(options);
        QCOMPARE(flashBytes(again, 128 * 1024), block + QByteArray(128 * 1024 - 512, char(0xFF)) + block);
    }

    // 8E1 and 8N2 take 11 bits a byte, 8N1 10, 8N1.5 10.5.
    void realTime_bootloader_byteTimes_wireTimeAndBusyTime()
    {
        for (auto [line, ns] : {std::pair<uint16_t, uint64_t>{pelsim::kLine8E1, 95486}, {pelsim::kLine8N1, 86805}, {0x0802, 95486}, {0x0801, 91145}})
            QCOMPARE(pelsim::byteTimeNs(line), ns);
        TimedRig rig;
        resetIntoBootloader(*rig.board);
        QCOMPARE(talk(*rig.board, "\x7f"), QByteArray());  // arrives 95 us later, inside the 2 ms the ROM code needs: lost
        rig.clock->advance(3000);
        QCOMPARE(drain(*rig.board), QByteArray());
        QCOMPARE(rig.exchange("\x7f", 2 * kByte8E1Us), QByteArray("\x79"));
        // Mass erase: 2 + 1 bytes, then 2 + 1 bytes and 40 ms of erasing.
        QCOMPARE(rig.exchange("\x43\xbc", 3 * kByte8E1Us), QByteArray("\x79"));
        QCOMPARE(rig.exchange(QByteArray("\xff\x00", 2), 3 * kByte8E1Us + 40000), QByteArray("\x79"));
        QCOMPARE(rig.exchange("\x31\xce", 3 * kByte8E1Us), QByteArray("\x79"));
        QCOMPARE(rig.exchange(addressFrame(0x08000000), 6 * kByte8E1Us), QByteArray("\x79"));
        const QByteArray block = plausibleImage(256, "Block");
        // 258 bytes out, 128 half-words programmed, 1 byte back.
        QCOMPARE(rig.exchange(dataFrame(block), 259 * kByte8E1Us + 128 * kHalfWordUs), QByteArray("\x79"));
        QCOMPARE(flashBytes(*rig.board, 256), block);

        // Bytes sent while the chip erases are lost.
        QCOMPARE(rig.exchange("\x43\xbc", 3 * kByte8E1Us), QByteArray("\x79"));
        QCOMPARE(talk(*rig.board, QByteArray("\xff\x00", 2)), QByteArray());
        rig.clock->advance(10000);
        QCOMPARE(talk(*rig.board, "\x02\xfd"), QByteArray());
        rig.clock->advance(40000);
        QCOMPARE(drain(*rig.board), QByteArray("\x79"));  // the erase's ACK; Get ID was never heard
        QVERIFY(rig.board->stats().lostBytes >= 2);
    }

    void realTime_strayAtADataFrame_arrivesWhileTheHostStillSendsIt_lateSyncWaitsItsTime()
    {
        TimedRig rig(faults("stray=0x79:data:1"));
        resetIntoBootloader(*rig.board);
        rig.clock->advance(2000);
        QCOMPARE(rig.exchange("\x7f", 2 * kByte8E1Us), QByteArray("\x79"));
        QCOMPARE(rig.exchange("\x31\xce", 3 * kByte8E1Us), QByteArray("\x79"));
        QCOMPARE(rig.exchange(addressFrame(0x08000000), 6 * kByte8E1Us), QByteArray("\x79"));
        // 258 bytes take 24.6 ms to send: one millisecond in, the stray byte is there, no ACK.
        QCOMPARE(talk(*rig.board, dataFrame(QByteArray(256, 'a'))), QByteArray());
        rig.clock->advance(1000);
        QCOMPARE(drain(*rig.board), QByteArray("\x79"));
        QCOMPARE(rig.board->blocksWritten(), 0);
        rig.clock->advance(40000);
        QVERIFY(rig.board->hostAvailable() == 1 && rig.board->blocksWritten() == 1);

        TimedRig slow(faults("late=sync:1:150"));
        resetIntoBootloader(*slow.board);
        slow.clock->advance(3000);
        QCOMPARE(slow.exchange("\x7f", 150000 + 2 * kByte8E1Us), QByteArray("\x79"));
    }

    void realTime_application_bannerAndLinesAtTheLineRate_cutByAReset()
    {
        TimedRig rig;
        bootApp(*rig.board, "Timed");
        const uint64_t t0 = rig.clock->now();
        const QByteArray banner = QByteArray("\x1b[32m") + rig.board->lastBanner().c_str() + "\x1b[0m\r\n";
        // 2 ms start-up, then the banner at 10 bits per byte.
        const double bannerDone = 2000 + banner.size() * kByte8N1Us;
        rig.clock->set(t0 + uint64_t(bannerDone) - 1);
        QVERIFY(rig.board->hostAvailable() < size_t(banner.size()));
        rig.clock->set(t0 + uint64_t(bannerDone) + 1);
        QCOMPARE(drain(*rig.board), banner);
        // A line every 100 ms: ten in the next second (and the few ms the tenth needs).
        rig.clock->advance(1000000 + 20000);
        const QList<QByteArray> lines = drain(*rig.board).split('\n');
        QCOMPARE(lines.size(), 11);
        QVERIFY(lines[0].startsWith("\x1b[32m[") && lines[0].endsWith("\x1b[0m\r"));
        QVERIFY(lines[1].startsWith("\x1b[34m[") && lines[2].startsWith("\x1b[33m[") && lines[3].startsWith("\x1b[31m["));

        TimedRig cut;
        bootApp(*cut.board, "Cut");
        cut.clock->advance(2000 + 10 * 87);  // ten bytes of the banner are through
        cut.board->setLatch(0x02);          // reset held
        cut.clock->advance(1000000);
        QCOMPARE(drain(*cut.board).size(), 10);
    }

    void pins_boot0LowBootsAPlausibleImage_erasedFlashRunsNothing_stuckBoot0NeverReachesTheRom()
    {
        SimBoard board;
        bootApp(board, "Test 1.2");
        QCOMPARE(board.mode(), SimBoard::Mode::Application);
        board.setLatch(0x02);  // held, BOOT0 low
        QCOMPARE(board.mode(), SimBoard::Mode::Held);

        SimBoard blank;
        blank.setLatch(0x02);
        blank.setLatch(0x03);
        QVERIFY(blank.mode() == SimBoard::Mode::Silent && blank.hostAvailable() == 0);

        SimBoard stuck(faults("boot0-stuck"));
        bootApp(stuck, "Stuck");
        resetIntoBootloader(stuck);
        QCOMPARE(stuck.mode(), SimBoard::Mode::Application);
        // No ACK comes, only the firmware's banner.
        QVERIFY(talk(stuck, "\x7f").startsWith("\x1b[32mOrbalo Mini booted: Stuck"));
    }

    // The banner once, then a coloured line per ten polls; TLV frames carry the same text,
    // which the loader's own decoder gives back; a silent board says its banner only; a held
    // board or one in its bootloader prints nothing.
    void application_text_tlv_silent_held()
    {
        // Record "Hi" of tag 0xF0: length 5, checksum 0xFE58 low byte first; data 0xAA and 0x55 escaped.
        QCOMPARE(QByteArray::fromStdString(pelsim::tlvFrame(0xF0, "Hi")).toHex(), QByteArray("aa0500f00200486958fe"));
        const QByteArray stuffed = QByteArray::fromStdString(pelsim::tlvFrame(0xF1, "\xaa\x55"));
        QVERIFY(stuffed.contains(QByteArray::fromHex("558a5575")) && stuffed.count(char(0xAA)) == 1);

        LogCapture log;  // the decoder reports the bytes it skips
        auto text = bootedBoard(pelsim::Output::Text);
        const QByteArray plain = poll(*text, 100);
        QVERIFY(plain.startsWith("\x1b[32mOrbalo Mini booted: App 2.0, 64 bytes, CRC-32 0x"));
        QCOMPARE(plain.count("Orbalo Mini booted"), 1);
        QVERIFY(plain.count("\r\n") == 1 + 10 && plain.count("\x1b[0m") == 11);

        const QByteArray wire = poll(*bootedBoard(pelsim::Output::Tlv), 100);
        QVERIFY(wire.startsWith(char(0xAA)) && wire.size() >= plain.size() + 11 * 8);
        VX_Debug_TLV_Server server;
        QByteArray decoded;
        for (int at = 0; at < wire.size(); at += 1000) {
            server.WriteReceiveBuffer(reinterpret_cast<const quint8 *>(wire.constData() + at), 0, quint16(qMin(1000, wire.size() - at)), 4096);
            for (quint8 byte = 0; server.ReadOutBuffer(byte) == 1;)
                decoded += char(byte);
        }
        QCOMPARE(decoded, plain);

        const QByteArray silent = poll(*bootedBoard(pelsim::Output::Silent), 1000);
        QVERIFY(silent.count("\r\n") == 1 && silent.contains("Orbalo Mini booted: App 2.0"));

        text->setLatch(0x00);  // held, BOOT0 high
        QCOMPARE(poll(*text, 100), QByteArray());
        text->setLatch(0x01);
        QCOMPARE(poll(*text, 100), QByteArray());
    }
};

QTEST_GUILESS_MAIN(TestSimBoard)
#include "test_sim_board.moc"
