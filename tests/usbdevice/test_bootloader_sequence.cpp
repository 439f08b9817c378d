// The firmware update driven pass by pass against the simulated board, seen through a peer that
// records the wire: the frames byte for byte, the time-outs in passes, the console text, the
// flash the board ends up with, and exactly one result per update, never a false success.
#include "support/log_capture.h"
#include "support/script_peer.h"
#include "support/update_rig.h"

#include <QtTest>

#include <zlib.h>

namespace {

using Phase = VX_SI_USBXpressDev::UpdatePhase;

const QByteArray kSync("\x7f", 1);
const QByteArray kGetId("\x02\xfd", 2);
const QByteArray kErase("\x43\xbc", 2);
const QByteArray kWrite("\x31\xce", 2);
const QByteArray kRead("\x11\xee", 2);
const char *kSilent = nullptr;  // no board behind the bridge: nothing ever answers

// The simulated board with faults (PELMORA_SIM_FAULTS syntax) behind a recording peer; the
// bridge is open. A rig without a board hears nothing but what the test injects.
struct Rig {
    std::shared_ptr<pelsim::SimBoard> board;
    std::shared_ptr<ScriptPeer> peer;
    std::shared_ptr<SimBridgeLibrary> lib;
    UpdateRig up;
    VX_SI_USBXpressDev &dev = up.dev;

    explicit Rig(const char *faults = "")
        : board(faults ? std::make_shared<pelsim::SimBoard>(boardOptions(faults)) : nullptr)
        , peer(std::make_shared<ScriptPeer>(board))
        , lib(simLibraryWith(peer))
        , up(lib)
    {
        up.open();
    }
    int run(const QString &path = QString()) { return up.run(path); }
    // The writes that came offset places after each write of command.
    QList<QByteArray> framesAfter(const QByteArray &command, int offset) const
    {
        QList<QByteArray> frames;
        const QList<QByteArray> w = peer->writes();
        for (int i = offset; i < w.size(); ++i)
            if (w.at(i - offset) == command)
                frames << w.at(i);
        return frames;
    }
};

} // namespace

Q_DECLARE_METATYPE(Phase)

class TestBootloaderSequence : public QObject {
    Q_OBJECT
private slots:
    void startLine_isOneBoldLineAndOneNotification()
    {
        Rig rig;
        QSignalSpy data(&rig.dev, &VX_SI_USBXpressDev::SIGNAL_newDataAvailable);
        rig.dev.SLOT_StartFirmwareUpdate(rig.up.writeHex(plausibleImage(16, "S")));
        QCOMPARE(rig.up.console(), QByteArray("<br><b><br>Bootloader Start!!</b>\n"));
        QCOMPARE(data.count(), 1);
        QCOMPARE(data.at(0).at(0).value<quint8>(), quint8(1));
        QVERIFY(rig.dev.isBootloaderActive());
    }

    void image_goesOutInChecksummedBlocks_isReadBack_andTheBoardBootsIt_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<QList<QByteArray>>("addresses");  // empty: not listed
        QTest::addColumn<QList<QByteArray>>("counts");     // Read Memory byte counts
        QTest::addColumn<int>("blocks");
        const QByteArray whole("\xff\x00", 2);
        QTest::newRow("1000 bytes") << 1000
            << QList<QByteArray>{QByteArray::fromHex("0800000008"), QByteArray::fromHex("0800010009"),
                                 QByteArray::fromHex("080002000a"), QByteArray::fromHex("080003000b")}
            << QList<QByteArray>{whole, whole, whole, QByteArray("\xe7\x18", 2)} << 4;
        // 1 byte of image in the last block and 3 of erased flash: whole words.
        QTest::newRow("257 bytes") << 257
            << QList<QByteArray>{QByteArray::fromHex("0800000008"), QByteArray::fromHex("0800010009")}
            << QList<QByteArray>{whole, QByteArray("\x03\xfc", 2)} << 2;
        QTest::newRow("built-in size") << 97824 << QList<QByteArray>() << QList<QByteArray>() << 383;
    }
    void image_goesOutInChecksummedBlocks_isReadBack_andTheBoardBootsIt()
    {
        QFETCH(int, size);
        QFETCH(QList<QByteArray>, addresses);
        QFETCH(QList<QByteArray>, counts);
        QFETCH(int, blocks);
        Rig rig;
        const QByteArray image = plausibleImage(size, "E2E 1.0");
        rig.run(rig.up.writeHex(image));
        QCOMPARE(rig.up.finished.count(), 1);
        QCOMPARE(rig.up.result(), qint8(1));
        QCOMPARE(rig.framesAfter(kErase, 1), QList<QByteArray>{QByteArray("\xff\x00", 2)});
        const QList<QByteArray> data = rig.framesAfter(kWrite, 2);
        QCOMPARE(data.size(), blocks);
        QByteArray sent;
        for (const QByteArray &frame : data) {
            quint8 x = 0;
            for (int i = 0; i < frame.size() - 1; ++i)
                x ^= quint8(frame.at(i));
            QCOMPARE(quint8(frame.back()), x);
            QCOMPARE(frame.size(), quint8(frame.at(0)) + 3);
            sent += frame.mid(1, frame.size() - 2);
        }
        const QByteArray padded = image + QByteArray((4 - size % 4) % 4, char(0xFF));
        QCOMPARE(sent, padded);
        if (!addresses.isEmpty()) {
            QCOMPARE(rig.framesAfter(kWrite, 1), addresses);
            QCOMPARE(rig.framesAfter(kRead, 1), addresses);
            QCOMPARE(rig.framesAfter(kRead, 2), counts);
        }
        QCOMPARE(rig.peer->countFrames(kRead), blocks);
        const std::vector<uint8_t> flash = rig.board->flash();
        QVERIFY(flashBytes(*rig.board, padded.size()) == padded);
        QVERIFY(std::all_of(flash.begin() + padded.size(), flash.end(), [](uint8_t b) { return b == 0xFF; }));
        QCOMPARE(rig.board->blocksWritten(), blocks);
        // Back in the application: released, BOOT0 low, no parity, and booted into the image.
        QCOMPARE(rig.board->mode(), pelsim::SimBoard::Mode::Application);
        QCOMPARE(rig.peer->latchHistory().last() & 0x03, 0x03);
        QCOMPARE(rig.lib->lineControl(kRigBridgeId), quint16(0x0800));
        const uLong crc = crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef *>(padded.constData()), uInt(padded.size()));
        QCOMPARE(QString::fromStdString(rig.board->lastBanner()),
                 QString::asprintf("Orbalo Mini booted: E2E 1.0, %d bytes, CRC-32 0x%08lX", int(padded.size()), crc));
        const QByteArray console = rig.up.console();
        QVERIFY(console.startsWith("<br><b><br>Bootloader Start!!</b>\n"));
        QVERIFY(console.contains("<br><b>Write Firmware File:</b>\n\n" + QByteArray(blocks + 1, '*')
                                 + "<br><b>Verify Firmware:</b>\n\n" + QByteArray(blocks, '*') + "<br><b></b>\n"));
    }

    void ackInTheBlockLoop_isAnsweredWithTheNextFrameInTheSamePass()
    {
        Rig rig;
        rig.dev.SLOT_StartFirmwareUpdate(rig.up.writeHex(plausibleImage(600, "Loop")));
        for (int i = 0; i < 20000 && rig.dev.firmwareState() != VX_SI_USBXpressDev::SM_FW_WriteFileReceiveCMD; ++i)
            rig.dev.pollOnce();
        QCOMPARE(rig.dev.firmwareState(), quint32(VX_SI_USBXpressDev::SM_FW_WriteFileReceiveCMD));
        const int before = rig.peer->writes().size();
        rig.dev.pollOnce();  // takes the ACK of the command and sends the address
        QCOMPARE(rig.peer->writes().size(), before + 1);
        QCOMPARE(rig.peer->writes().last(), QByteArray("\x08\x00\x00\x00\x08", 5));
        rig.dev.pollOnce();  // ACK of the address, out goes the data
        QCOMPARE(rig.peer->writes().last().size(), 258);
        rig.dev.pollOnce();  // ACK of the data, out goes the next block's command
        QCOMPARE(rig.peer->writes().last(), kWrite);
        rig.run();
        QCOMPARE(rig.up.result(), qint8(1));
    }

    // Every way an update ends other than planned: once, with its reason on the console (and in
    // the log), within its time-outs, and never reported written unless the flash holds the image.
    void endings_data()
    {
        QTest::addColumn<QByteArray>("faults");  // null: no board
        QTest::addColumn<QByteArray>("before");  // board output ahead of the update
        QTest::addColumn<int>("result");
        QTest::addColumn<QList<QByteArray>>("console");
        QTest::addColumn<QString>("log");
        QTest::addColumn<QList<int>>("syncsIdsErases");  // -1: any
        QTest::addColumn<int>("maxPasses");
        const QList<QByteArray> timeError{"Bootloader Fail -> EnterBootloader Time Error"};
        QTest::newRow("nothing answers") << QByteArray() << QByteArray() << -1 << timeError << QString()
                                         << QList<int>{6, 0, 0} << 700;
        // The application printed "bytes" (a 'y' is the ACK byte) just before the update.
        QTest::newRow("board output before the reset") << QByteArray() << QByteArray("97824 bytes, ready\n") << -1
                                                       << timeError << QString() << QList<int>{6, 0, 0} << 0;
        QTest::newRow("wrong product ID") << QByteArray("product-id=0x041a") << QByteArray() << -1
                                          << QList<QByteArray>{"Bootloader Fail -> STM32 ID: 0x041a not supported"}
                                          << QString() << QList<int>{-1, 6, 0} << 0;
        // The application takes the line over after the sync's ACK and never lets it rest.
        QTest::newRow("application talks on") << QByteArray("stream=text") << QByteArray() << -1
                                              << QList<QByteArray>{"Bootloader Fail -> Time Error SM_FW_GetDeviceIDReceive"}
                                              << QString() << QList<int>{-1, -1, 0} << 1100;
        QTest::newRow("data block late, within its time") << QByteArray("late=data:2:3000") << QByteArray() << 1 << QList<QByteArray>()
                                                          << QString() << QList<int>{1, 1, 1} << 0;
        for (const auto &nack : {std::make_pair("command:1", "SM_FW_WriteFileReceiveCMD -> Get NACK 4"),
                                 std::make_pair("address:1", "SM_FW_WriteFileReceiveAddr -> Get NACK 4"),
                                 std::make_pair("data:2", "SM_FW_WriteFileReceiveData -> Get NACK 3")}) {
            const QByteArray state = QByteArray(nack.second).split(' ').at(0);
            QTest::addRow("NACK %s", nack.first)
                << QByteArray("nack=") + nack.first << QByteArray() << -1
                << QList<QByteArray>{"Bootloader Fail -> Get NACK in " + state,
                                     "Bootloader IDEL -> set this->m_BootloaderActive = false"}
                << QString::fromLatin1(nack.second) << QList<int>{1, 1, 1} << 0;
        }
        const struct { const char *kind; const char *state; int number; } strays[] = {
            {"command", "SM_FW_WriteFileReceiveCMD", 12}, {"address", "SM_FW_WriteFileReceiveAddr", 14},
            {"data", "SM_FW_WriteFileReceiveData", 16},   {"read", "SM_FW_ReadMemReceiveCMD", 20},
            {"read-address", "SM_FW_ReadMemReceiveAddr", 22}, {"read-count", "SM_FW_ReadMemReceiveCount", 24}};
        for (const auto &s : strays)
            QTest::addRow("0x41 at %s", s.kind)
                << "stray=0x41:" + QByteArray(s.kind) + ":2" << QByteArray()
                << -1 << QList<QByteArray>{QByteArray("Bootloader Fail -> unexpected Byte 0x41 in ") + s.state}
                << QStringLiteral("%1 -> unexpected Byte 0x41 in State %2").arg(QLatin1String(s.state)).arg(s.number)
                << QList<int>{1, 1, 1} << 0;
        QTest::newRow("unplugged mid-write") << QByteArray("unplug=2") << QByteArray() << -1
                                             << QList<QByteArray>{"Bootloader Fail -> disconnect \xb5" "C during write firmware!!"}
                                             << QString() << QList<int>{1, 1, 1} << 0;
        // Two blocks read back equal; the third holds the half-word left erased.
        QTest::newRow("half-word unprogrammed") << QByteArray("unprogrammed=0x08000206") << QByteArray() << -1
            << QList<QByteArray>{"<br><b>Verify Firmware:</b>\n\n**<br><b>",
                                 "Bootloader Fail -> Verify Error at 0x08000206: read 0xFF, expected 0xE9"}
            << QString() << QList<int>{1, 1, 1} << 0;
        // The image's byte 0x3FE is 0xFF: only the last byte of the last block differs.
        QTest::newRow("last byte unprogrammed") << QByteArray("unprogrammed=0x080003FE") << QByteArray() << -1
            << QList<QByteArray>{"<br><b>Verify Firmware:</b>\n\n***<br><b>",
                                 "Bootloader Fail -> Verify Error at 0x080003FF: read 0xFF, expected 0xE6"}
            << QString() << QList<int>{1, 1, 1} << 0;
    }
    void endings()
    {
        QFETCH(QByteArray, faults);
        QFETCH(QByteArray, before);
        QFETCH(int, result);
        QFETCH(QList<QByteArray>, console);
        QFETCH(QString, log);
        QFETCH(QList<int>, syncsIdsErases);
        QFETCH(int, maxPasses);
        Rig rig(faults.isNull() ? kSilent : faults.constData());
        rig.peer->inject(before);
        rig.dev.pollOnce();
        QVERIFY(rig.dev.getRxCount() >= before.size());
        LogCapture logged;
        QByteArray image = plausibleImage(1024, "End 1.0");
        image[0x3FE] = char(0xFF);
        const int passes = rig.run(rig.up.writeHex(image));
        QCOMPARE(rig.up.finished.count(), 1);
        QCOMPARE(int(rig.up.result()), result);
        if (maxPasses > 0)
            QVERIFY2(passes < maxPasses, qPrintable(QString::number(passes)));
        const QByteArray text = rig.up.console();
        for (const QByteArray &line : console)
            QVERIFY2(text.contains(line), text.constData());
        if (!log.isEmpty())
            QVERIFY(logged.contains(log));
        const QList<QByteArray> frames = {kSync, kGetId, kErase};
        for (int i = 0; i < 3; ++i)
            if (syncsIdsErases.at(i) >= 0)
                QCOMPARE(rig.peer->countFrames(frames.at(i)), syncsIdsErases.at(i));
        if (rig.board && result == 1)
            QVERIFY(flashBytes(*rig.board, image.size()) == image);
        QCOMPARE(rig.dev.isDeviceOpen(), !faults.startsWith("unplug"));
        QCOMPARE(rig.dev.updateProgress().phase, result == 1 ? Phase::Done : Phase::Failed);
    }

    void syncAckOnStep99_isTaken_onStep100_failsTheUpdate()
    {
        for (const int step : {99, 100}) {
            Rig rig(kSilent);
            rig.dev.SLOT_StartFirmwareUpdate(rig.up.writeHex(plausibleImage(64, "Sync")));
            for (int i = 0; i < 1000 && rig.peer->countFrames(kSync) == 0; ++i)
                rig.dev.pollOnce();
            QCOMPARE(rig.peer->countFrames(kSync), 1);
            for (int i = 1; i < step; ++i)
                rig.dev.pollOnce();
            rig.peer->inject(QByteArray("\x79", 1));
            rig.dev.pollOnce();
            QCOMPARE(rig.dev.firmwareState(), quint32(step == 99 ? VX_SI_USBXpressDev::SM_FW_GetDeviceIDSend
                                                                 : VX_SI_USBXpressDev::SM_FW_Idle));
        }
    }

    void start_withoutBridgeOrFile_orWithAnEmptyImage_endsOnceBeforeAnySync()
    {
        auto lib = std::make_shared<SimBridgeLibrary>();
        UpdateRig none(lib);
        none.run(QStringLiteral("/nonexistent.hex"), 1);
        QCOMPARE(none.finished.count(), 1);
        QCOMPARE(none.result(), qint8(-1));
        QCOMPARE(none.console(), QByteArray("<br><b>\x1b[31mBootloader Fail -> Device not connected!!\x1b[0m</b>\n"
                                            "<br><b>\x1b[31mBootloader Fail -> disconnect \xb5" "C during write firmware!!\x1b[0m</b>\n"));

        Rig rig;
        rig.run(rig.up.dir.filePath(QStringLiteral("a&b <x> \u00fc\u20ac.hex")));
        const QByteArray text = rig.up.console();
        const QByteArray shown = rig.up.dir.path().toUtf8() + "/a&amp;b &lt;x&gt; &#252;&#8364;.hex";
        QVERIFY2(text.contains("Hex-File not found under-> \"" + shown + "\""), text.constData());
        // No update ran before, so no path is set: the path check ends it.
        QVERIFY(text.contains("Bootloader Fail -> invalid file path!!"));
        const QByteArray ela = hexRecord(4, 0, QByteArray::fromHex("0800")) + "\r\n";
        rig.run(rig.up.writeFile(QStringLiteral("empty.hex"), ela + ela + hexRecord(1, 0, QByteArray()) + "\r\n"));
        QCOMPARE(rig.up.finished.count(), 2);
        QCOMPARE(rig.up.result(0), qint8(-1));
        QCOMPARE(rig.up.result(1), qint8(-1));
        QCOMPARE(rig.peer->countFrames(kSync), 0);
        QCOMPARE(rig.board->framesSeen(pelsim::FrameKind::Erase), 0);
    }

    void everyUpdate_startsWithTheWholeRetryBudget()
    {
        Rig rig;
        rig.peer->deafFor(1000);
        const QString path = rig.up.writeHex(plausibleImage(64, "Budget"));
        rig.run(path);
        QCOMPARE(rig.up.result(), qint8(-1));
        // The board hears the second update only from its third sync on.
        rig.peer->deafFor(2);
        rig.run(path);
        QCOMPARE(rig.up.finished.count(), 2);
        QCOMPARE(rig.up.result(1), qint8(1));
    }

    void startDuringAnUpdate_waitsAndEachGetsItsOwnResult()
    {
        Rig rig("nack=command:1");  // the first update fails, the second succeeds with its own file
        const QString first = rig.up.writeFile(QStringLiteral("a.hex"), toIntelHex(plausibleImage(300, "A")));
        const QByteArray second = plausibleImage(40, "B");
        rig.dev.SLOT_StartFirmwareUpdate(first);
        for (int i = 0; i < 5; ++i)
            rig.dev.pollOnce();
        LogCapture log;
        rig.run(rig.up.writeHex(second));
        QVERIFY(log.contains(QStringLiteral("Update running, request deferred")));
        QCOMPARE(rig.up.finished.count(), 1);
        QCOMPARE(rig.up.result(), qint8(-1));
        rig.run();
        QCOMPARE(rig.up.finished.count(), 2);
        QCOMPARE(rig.up.result(1), qint8(1));
        QCOMPARE(rig.board->blocksWritten(), 1);
        QVERIFY(flashBytes(*rig.board, 40) == second);
    }

    void readBack_isOnUnlessTheEnvironmentOrTheCallerTurnsItOff_data()
    {
        QTest::addColumn<QByteArray>("env");
        QTest::addColumn<int>("override");  // -1: none
        QTest::addColumn<bool>("reads");
        QTest::newRow("default") << QByteArray() << -1 << true;
        QTest::newRow("PELMORA_VERIFY=0") << QByteArray("0") << -1 << false;
        QTest::newRow("PELMORA_VERIFY=1") << QByteArray("1") << -1 << true;
        QTest::newRow("PELMORA_VERIFY=0, turned on") << QByteArray("0") << 1 << true;
        QTest::newRow("default, turned off") << QByteArray() << 0 << false;
    }
    void readBack_isOnUnlessTheEnvironmentOrTheCallerTurnsItOff()
    {
        QFETCH(QByteArray, env);
        QFETCH(int, override);
        QFETCH(bool, reads);
        if (env.isNull())
            qunsetenv("PELMORA_VERIFY");
        else
            qputenv("PELMORA_VERIFY", env);
        Rig rig;
        qunsetenv("PELMORA_VERIFY");
        if (override >= 0)
            rig.dev.setVerifyAfterWrite(override == 1);
        rig.run(rig.up.writeHex(plausibleImage(600, "Env 1.0")));
        QCOMPARE(rig.up.result(), qint8(1));
        QCOMPARE(rig.board->framesSeen(pelsim::FrameKind::Read), reads ? 3 : 0);
        QCOMPARE(rig.up.console().contains("Verify Firmware:"), reads);
    }

    // The mode decides where the board's output goes once the update is over, not before.
    void tlvModeSwitchedOnDuringTheWrite_leavesTheUpdateItsReplies()
    {
        Rig rig;
        const QByteArray image = plausibleImage(2048, "Mode 1.0");
        rig.dev.SLOT_StartFirmwareUpdate(rig.up.writeHex(image));
        for (int pass = 0; pass < 20000 && rig.board->blocksWritten() < 2; ++pass)
            rig.dev.pollOnce();
        rig.dev.setTLVMode(true, true);
        rig.run();
        QCOMPARE(rig.up.result(), qint8(1));
        QVERIFY(flashBytes(*rig.board, image.size()) == image);
    }

    void progress_walksThroughEveryPhase_countingTheBlocksOfWriteAndVerify()
    {
        Rig rig;
        QVector<Phase> phases;
        QVector<int> written, verified;
        rig.dev.SLOT_StartFirmwareUpdate(rig.up.writeHex(plausibleImage(1000, "Prog 1.0")));
        for (int pass = 0; pass < 20000 && rig.up.finished.isEmpty(); ++pass) {
            const VX_SI_USBXpressDev::UpdateProgress p = rig.dev.updateProgress();
            if (phases.isEmpty() || phases.last() != p.phase)
                phases << p.phase;
            QVector<int> &blocks = p.phase == Phase::Write ? written : verified;
            if ((p.phase == Phase::Write || p.phase == Phase::Verify) && (blocks.isEmpty() || blocks.last() != p.blocksDone)) {
                QCOMPARE(p.blocksTotal, quint16(4));
                blocks << p.blocksDone;
            }
            rig.dev.pollOnce();
        }
        phases << rig.dev.updateProgress().phase;
        QCOMPARE(phases, (QVector<Phase>{Phase::Convert, Phase::Sync, Phase::Identify, Phase::Erase,
                                         Phase::Write, Phase::Verify, Phase::Done}));
        QCOMPARE(written, (QVector<int>{0, 1, 2, 3}));
        QCOMPARE(verified, (QVector<int>{0, 1, 2, 3}));
    }

    void deletingTheObjectDuringAnUpdate_stopsTheLoopCleanly()
    {
        LogCapture log;
        {
            Rig rig(kSilent);
            rig.dev.SLOT_StartFirmwareUpdate(rig.up.writeHex(plausibleImage(64, "Del")));
            rig.dev.start();
            QTest::qWait(150);
        }
        QVERIFY(log.contains(QStringLiteral("Thread END")));
        QVERIFY(log.contains(QStringLiteral("Close Binary Firmware File")));
    }
};

QTEST_GUILESS_MAIN(TestBootloaderSequence)
#include "test_bootloader_sequence.moc"
