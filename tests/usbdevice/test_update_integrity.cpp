// What the update takes as the bootloader's answer and what it checks before it reports
// success, pass by pass: every wait ends within its time-out, only ACK or NACK is an answer
// while writing and reading back, and result 1 only for a flash read back equal to the image.
#include "sim_board.h"
#include "support/log_capture.h"
#include "support/script_peer.h"
#include "support/update_rig.h"

#include <QtTest>

namespace {

using Phase = VX_SI_USBXpressDev::UpdatePhase;

const QByteArray kSync("\x7f", 1);
const QByteArray kRead("\x11\xee", 2);

// A rig whose board is the scripted cooperative bootloader.
struct ScriptRig {
    std::shared_ptr<ScriptPeer> peer = std::make_shared<ScriptPeer>();
    UpdateRig rig{simLibraryWith(peer)};

    explicit ScriptRig(bool autoReply = true)
    {
        peer->setAutoReply(autoReply);
        rig.open();
    }
};

} // namespace

Q_DECLARE_METATYPE(Phase)

class TestUpdateIntegrity : public QObject {
    Q_OBJECT
private slots:
    // The application runs on after the sync (BOOT0 did not reach the chip, say) and never
    // lets the line rest: the Get ID wait must still end at its time-out.
    void boardTalkingOnAfterTheSyncAck_failsWithinTheGetIdTimeout()
    {
        ScriptRig s(false);
        s.rig.dev.SLOT_StartFirmwareUpdate(s.rig.writeHex(plausibleImage(512, "Talk 1.0")));
        bool synced = false;
        int passes = 0;
        for (; s.rig.finished.isEmpty() && passes < 20000; ++passes) {
            if (synced)
                s.peer->inject("status ok\r\n");
            else if ((synced = s.peer->countFrames(kSync) > 0))
                s.peer->inject("\x79");
            s.rig.dev.pollOnce();
        }
        s.rig.dev.pollOnce();
        QCOMPARE(s.rig.finished.count(), 1);
        QCOMPARE(s.rig.result(), qint8(-1));
        QVERIFY2(passes < 1100, qPrintable(QString::number(passes)));
        QVERIFY(s.rig.console().contains("Bootloader Fail -> Time Error SM_FW_GetDeviceIDReceive"));
    }

    void byteOtherThanAckOrNack_whileWritingOrReadingBack_failsAtOnce_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("wait");
        QTest::addColumn<int>("state");
        QTest::newRow("write command") << "stray=0x41:command:2" << "SM_FW_WriteFileReceiveCMD" << 12;
        QTest::newRow("write address") << "stray=0x41:address:2" << "SM_FW_WriteFileReceiveAddr" << 14;
        QTest::newRow("write data") << "stray=0x41:data:2" << "SM_FW_WriteFileReceiveData" << 16;
        QTest::newRow("read command") << "stray=0x41:read:2" << "SM_FW_ReadMemReceiveCMD" << 20;
        QTest::newRow("read address") << "stray=0x41:read-address:2" << "SM_FW_ReadMemReceiveAddr" << 22;
        QTest::newRow("read count") << "stray=0x41:read-count:2" << "SM_FW_ReadMemReceiveCount" << 24;
    }
    void byteOtherThanAckOrNack_whileWritingOrReadingBack_failsAtOnce()
    {
        QFETCH(QString, fault);
        QFETCH(QString, wait);
        QFETCH(int, state);
        pelsim::BoardOptions options;
        QVERIFY(pelsim::parseFaults(fault.toStdString(), options));
        auto board = std::make_shared<pelsim::SimBoard>(options);
        UpdateRig rig(simLibraryWith(board));
        QCOMPARE(rig.open(), 1);
        LogCapture log;
        rig.run(rig.writeHex(plausibleImage(1024, "Stray 1.0")));
        QCOMPARE(rig.finished.count(), 1);
        QCOMPARE(rig.result(), qint8(-1));
        QVERIFY(log.contains(QStringLiteral("%1 -> unexpected Byte 0x41 in State %2").arg(wait).arg(state)));
        QVERIFY(rig.console().contains(("Bootloader Fail -> unexpected Byte 0x41 in " + wait).toLatin1()));
    }

    void halfWordLeftUnprogrammed_failsNamingItsAddress()
    {
        pelsim::BoardOptions options;
        QVERIFY(pelsim::parseFaults("unprogrammed=0x08000206", options));
        auto board = std::make_shared<pelsim::SimBoard>(options);
        UpdateRig rig(simLibraryWith(board));
        QCOMPARE(rig.open(), 1);
        const QByteArray image = plausibleImage(1000, "Half 1.0");
        rig.run(rig.writeHex(image));
        QCOMPARE(rig.finished.count(), 1);
        QCOMPARE(rig.result(), qint8(-1));
        const QByteArray text = rig.console();
        QVERIFY2(text.contains(QString::asprintf("Bootloader Fail -> Verify Error at 0x08000206: read 0xFF, expected 0x%02X",
                                                 quint8(image.at(0x206))).toLatin1()),
                 text.constData());
        // Two blocks read back equal; the third holds the half-word.
        QVERIFY(text.contains("<br><b>Verify Firmware:</b>\n\n**<br><b>"));
        QCOMPARE(board->framesSeen(pelsim::FrameKind::Read), 3);
        QCOMPARE(rig.dev.updateProgress().phase, Phase::Failed);
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
        ScriptRig s;
        qunsetenv("PELMORA_VERIFY");
        if (override >= 0)
            s.rig.dev.setVerifyAfterWrite(override == 1);
        s.rig.run(s.rig.writeHex(plausibleImage(600, "Env 1.0")));
        QCOMPARE(s.rig.finished.count(), 1);
        QCOMPARE(s.rig.result(), qint8(1));
        QCOMPARE(s.peer->countFrames(kRead), reads ? 3 : 0);
        QCOMPARE(s.rig.console().contains("Verify Firmware:"), reads);
    }

    // The mode decides where the board's output goes once the update is over, not before.
    void tlvModeSwitchedOnDuringTheWrite_leavesTheUpdateItsReplies()
    {
        auto board = std::make_shared<pelsim::SimBoard>();
        UpdateRig rig(simLibraryWith(board));
        QCOMPARE(rig.open(), 1);
        const QByteArray image = plausibleImage(2048, "Mode 1.0");
        rig.dev.SLOT_StartFirmwareUpdate(rig.writeHex(image));
        for (int pass = 0; pass < 20000 && board->blocksWritten() < 2; ++pass)
            rig.dev.pollOnce();
        rig.dev.setTLVMode(true, true);
        for (int pass = 0; pass < 20000 && rig.finished.isEmpty(); ++pass)
            rig.dev.pollOnce();
        QCOMPARE(rig.finished.count(), 1);
        QCOMPARE(rig.result(), qint8(1));
        QVERIFY(flashBytes(*board, image.size()) == image);
    }

    void progress_walksThroughEveryPhase_countingTheBlocksOfWriteAndVerify()
    {
        ScriptRig s;
        QVector<Phase> phases;
        QVector<int> written, verified;
        s.rig.dev.SLOT_StartFirmwareUpdate(s.rig.writeHex(plausibleImage(1000, "Prog 1.0")));
        for (int pass = 0; pass < 20000 && s.rig.finished.isEmpty(); ++pass) {
            const VX_SI_USBXpressDev::UpdateProgress p = s.rig.dev.updateProgress();
            if (phases.isEmpty() || phases.last() != p.phase)
                phases << p.phase;
            QVector<int> &blocks = p.phase == Phase::Write ? written : verified;
            if ((p.phase == Phase::Write || p.phase == Phase::Verify) && (blocks.isEmpty() || blocks.last() != p.blocksDone)) {
                QCOMPARE(p.blocksTotal, quint16(4));
                blocks << p.blocksDone;
            }
            s.rig.dev.pollOnce();
        }
        phases << s.rig.dev.updateProgress().phase;
        QCOMPARE(phases, (QVector<Phase>{Phase::Convert, Phase::Sync, Phase::Identify, Phase::Erase,
                                         Phase::Write, Phase::Verify, Phase::Done}));
        QCOMPARE(written, (QVector<int>{0, 1, 2, 3}));
        QCOMPARE(verified, (QVector<int>{0, 1, 2, 3}));
    }
};

QTEST_GUILESS_MAIN(TestUpdateIntegrity)
#include "test_update_integrity.moc"
