// The update driven pass by pass against a scripted peer: frames on the wire, time-outs in
// steps, the console text, and exactly one result per update.
#include "support/hex_writer.h"
#include "support/log_capture.h"
#include "support/script_peer.h"
#include "usbdevice/sim_bridge_library.h"
#include "usbdevice/vx_si_usbxpressdev.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QByteArray kSync("\x7f", 1);
const QByteArray kGetId("\x02\xfd", 2);
const QByteArray kErase("\x43\xbc", 2);
const QByteArray kWrite("\x31\xce", 2);
const QByteArray kRead("\x11\xee", 2);
const QList<QByteArray> kAddresses1000 = {QByteArray::fromHex("0800000008"), QByteArray::fromHex("0800010009"),
                                          QByteArray::fromHex("080002000a"), QByteArray::fromHex("080003000b")};

QByteArray patternImage(int size)
{
    QByteArray image(size, '\0');
    for (int i = 0; i < size; ++i)
        image[i] = char((i * 7 + 3) & 0xFF);
    return image;
}

struct Rig {
    std::shared_ptr<SimBridgeLibrary> lib = std::make_shared<SimBridgeLibrary>();
    std::shared_ptr<ScriptPeer> peer = std::make_shared<ScriptPeer>();
    int id = lib->addBridge(QStringLiteral("Orbalo"), QStringLiteral("0001"), peer);
    VX_SI_USBXpressDev dev{lib, false};
    QSignalSpy finished{&dev, &VX_SI_USBXpressDev::SIGNAL_FirmwareWriteFinish};
    QTemporaryDir dir;

    explicit Rig(bool autoReply = true)
    {
        peer->setAutoReply(autoReply);
        dev.fillListOfDevice();
        dev.openDevice(0);
    }
    QString writeHex(const QByteArray &text, const QString &name = QStringLiteral("fw.hex"))
    {
        const QString path = dir.filePath(name);
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write(text);
        return path;
    }
    // Passes until the update has reported its result (or the limit is reached).
    int runToEnd(int limit = 200000)
    {
        int passes = 0;
        const int before = finished.count();
        while (finished.count() == before && passes < limit) {
            dev.pollOnce();
            ++passes;
        }
        dev.pollOnce();  // a stray second result would show up here
        return passes;
    }
    QByteArray console()
    {
        QByteArray text;
        char c = 0;
        while (dev.getConsoleByte(c) == 1)
            text += c;
        return text;
    }
    // The writes that came offset places after each write of command.
    QList<QByteArray> framesAfter(const QByteArray &command, int offset) const
    {
        QList<QByteArray> frames;
        const auto w = peer->writes();
        for (int i = offset; i < w.size(); ++i)
            if (w.at(i - offset).bytes == command)
                frames << w.at(i).bytes;
        return frames;
    }
    QList<QByteArray> addressFrames() const { return framesAfter(kWrite, 1); }
    QList<QByteArray> dataFrames() const { return framesAfter(kWrite, 2); }
};

qint8 result(const QSignalSpy &spy, int i = 0)
{
    return spy.at(i).at(0).value<qint8>();
}

} // namespace

class TestBootloaderSequence : public QObject {
    Q_OBJECT
private slots:
    void startLine_isOneBoldLineAndOneNotification()
    {
        Rig rig;
        QSignalSpy data(&rig.dev, &VX_SI_USBXpressDev::SIGNAL_newDataAvailable);
        rig.dev.SLOT_StartFirmwareUpdate(rig.writeHex(toIntelHex(patternImage(16))));
        QCOMPARE(rig.console(), QByteArray("<br><b><br>Bootloader Start!!</b>\n"));
        QCOMPARE(data.count(), 1);
        QCOMPARE(data.at(0).at(0).value<quint8>(), quint8(1));
        QVERIFY(rig.dev.isBootloaderActive());
    }

    void ackInTheBlockLoop_isAnsweredWithTheNextFrameInTheSamePass()
    {
        Rig rig;
        rig.dev.SLOT_StartFirmwareUpdate(rig.writeHex(toIntelHex(patternImage(600))));
        for (int i = 0; i < 20000 && rig.dev.firmwareState() != VX_SI_USBXpressDev::SM_FW_WriteFileReceiveCMD; ++i)
            rig.dev.pollOnce();
        QCOMPARE(rig.dev.firmwareState(), quint32(VX_SI_USBXpressDev::SM_FW_WriteFileReceiveCMD));
        const int before = rig.peer->writes().size();
        rig.dev.pollOnce();  // takes the ACK of the command and sends the address
        QCOMPARE(rig.peer->writes().size(), before + 1);
        QCOMPARE(rig.peer->writes().last().bytes, QByteArray("\x08\x00\x00\x00\x08", 5));
        QCOMPARE(rig.dev.firmwareState(), quint32(VX_SI_USBXpressDev::SM_FW_WriteFileReceiveAddr));
        rig.dev.pollOnce();  // ACK of the address, out goes the data
        QCOMPARE(rig.peer->writes().size(), before + 2);
        QCOMPARE(rig.peer->writes().last().bytes.size(), 258);
        rig.dev.pollOnce();  // ACK of the data, out goes the next block's command
        QCOMPARE(rig.peer->writes().last().bytes, kWrite);
        rig.runToEnd();
        QCOMPARE(result(rig.finished), qint8(1));
        QCOMPARE(rig.dataFrames().size(), 3);
    }

    void boardOutputBeforeTheReset_isNotTakenForTheSyncAck()
    {
        // The application printed "bytes" (a 'y' is the ACK byte) just before the update; the
        // bootloader itself never answers.
        Rig rig(false);
        rig.peer->inject("97824 bytes, ready\n");
        rig.dev.pollOnce();
        QVERIFY(rig.dev.getRxCount() > 0);
        rig.dev.SLOT_StartFirmwareUpdate(rig.writeHex(toIntelHex(patternImage(16))));
        rig.runToEnd();
        QCOMPARE(rig.finished.count(), 1);
        QCOMPARE(result(rig.finished), qint8(-1));
        QVERIFY(rig.console().contains("EnterBootloader Time Error"));
        for (const auto &w : rig.peer->writes())
            QVERIFY2(w.bytes != kGetId, "the sync was taken as answered");
    }

    void start_withoutBridge_failsInTheNextPassOnce()
    {
        auto lib = std::make_shared<SimBridgeLibrary>();
        VX_SI_USBXpressDev dev(lib, false);
        QSignalSpy finished(&dev, &VX_SI_USBXpressDev::SIGNAL_FirmwareWriteFinish);
        dev.SLOT_StartFirmwareUpdate(QStringLiteral("/nonexistent.hex"));
        dev.pollOnce();
        dev.pollOnce();
        QCOMPARE(finished.count(), 1);
        QCOMPARE(result(finished), qint8(-1));
        QByteArray text;
        char c = 0;
        while (dev.getConsoleByte(c) == 1)
            text += c;
        QCOMPARE(text, QByteArray("<br><b>\x1b[31mBootloader Fail -> Device not connected!!\x1b[0m</b>\n"
                                  "<br><b>\x1b[31mBootloader Fail -> disconnect \xb5" "C during write firmware!!\x1b[0m</b>\n"));
    }

    void missingFile_showsTheRealPathEscaped_andEndsOnce()
    {
        Rig rig;
        const QString path = rig.dir.filePath(QStringLiteral("a&b <x> \u00fc\u20ac.hex"));
        rig.dev.SLOT_StartFirmwareUpdate(path);
        rig.runToEnd();
        QCOMPARE(rig.finished.count(), 1);
        QCOMPARE(result(rig.finished), qint8(-1));
        const QByteArray text = rig.console();
        const QByteArray shown = rig.dir.path().toUtf8() + "/a&amp;b &lt;x&gt; &#252;&#8364;.hex";
        QVERIFY2(text.contains("Hex-File not found under-> \"" + shown + "\""), text.constData());
        // No update ran before, so no path is set: the path check ends it.
        QVERIFY(text.contains("Bootloader Fail -> invalid file path!!"));
        QCOMPARE(rig.peer->countFrames(kSync), 0);
    }

    void image1000Bytes_goesOutAsFourBlocks_isReadBackAsFour_andSucceeds()
    {
        Rig rig;
        const QByteArray image = patternImage(1000);
        rig.dev.SLOT_StartFirmwareUpdate(rig.writeHex(toIntelHex(image)));
        rig.runToEnd();
        QCOMPARE(rig.finished.count(), 1);
        QCOMPARE(result(rig.finished), qint8(1));
        QCOMPARE(rig.addressFrames(), kAddresses1000);
        const QList<QByteArray> data = rig.dataFrames();
        QCOMPARE(data.size(), 4);
        QByteArray sent;
        for (const QByteArray &frame : data) {
            quint8 x = 0;
            for (int i = 0; i < frame.size() - 1; ++i)
                x ^= quint8(frame.at(i));
            QCOMPARE(quint8(frame.back()), x);
            QCOMPARE(frame.size(), quint8(frame.at(0)) + 3);
            sent += frame.mid(1, frame.size() - 2);
        }
        QCOMPARE(quint8(data.last().at(0)), quint8(0xE7));
        QCOMPARE(sent, image);
        QCOMPARE(rig.framesAfter(kErase, 1), QList<QByteArray>{QByteArray("\xff\x00", 2)});
        // The read-back: the same addresses, 256 bytes three times, then the 232 written.
        QCOMPARE(rig.framesAfter(kRead, 1), kAddresses1000);
        QCOMPARE(rig.framesAfter(kRead, 2), (QList<QByteArray>{QByteArray("\xff\x00", 2), QByteArray("\xff\x00", 2),
                                                              QByteArray("\xff\x00", 2), QByteArray("\xe7\x18", 2)}));
        QCOMPARE(rig.peer->countFrames(kRead), 4);
        // Back in the application: released, BOOT0 low, no parity.
        QCOMPARE(rig.lib->latch(rig.id) & 0x03, 0x03);
        QCOMPARE(rig.lib->lineControl(rig.id), quint16(0x0800));
        const QByteArray text = rig.console();
        QVERIFY(text.contains("<br><b>Write Firmware File:</b>\n\n*****<br><b>Verify Firmware:</b>\n\n****<br><b></b>\n"));
    }

    void shortLastBlock_isPaddedToWholeWords()
    {
        Rig rig;
        rig.dev.SLOT_StartFirmwareUpdate(rig.writeHex(toIntelHex(patternImage(257))));
        rig.runToEnd();
        QCOMPARE(result(rig.finished), qint8(1));
        const QList<QByteArray> data = rig.dataFrames();
        QCOMPARE(data.size(), 2);
        QCOMPARE(quint8(data.at(0).at(0)), quint8(0xFF));
        QCOMPARE(quint8(data.at(1).at(0)), quint8(3));  // 1 byte of image + 3 of erased flash
        QCOMPARE(data.at(1).mid(2, 3), QByteArray("\xff\xff\xff"));
    }

    void noSyncAnswer_sixAttemptsThenOneFailure()
    {
        Rig rig(false);
        rig.dev.SLOT_StartFirmwareUpdate(rig.writeHex(toIntelHex(patternImage(64))));
        rig.runToEnd();
        QCOMPARE(rig.finished.count(), 1);
        QCOMPARE(result(rig.finished), qint8(-1));
        QCOMPARE(rig.peer->countFrames(kSync), 6);
        QVERIFY(rig.console().contains("Bootloader Fail -> EnterBootloader Time Error"));
    }

    void syncAckOnStep99_isTaken_onStep100_failsTheUpdate_data()
    {
        QTest::addColumn<int>("step");
        QTest::addColumn<bool>("taken");
        QTest::newRow("step 99") << 99 << true;
        QTest::newRow("step 100") << 100 << false;
    }
    void syncAckOnStep99_isTaken_onStep100_failsTheUpdate()
    {
        QFETCH(int, step);
        QFETCH(bool, taken);
        Rig rig(false);
        rig.dev.SLOT_StartFirmwareUpdate(rig.writeHex(toIntelHex(patternImage(64))));
        while (rig.peer->countFrames(kSync) == 0)
            rig.dev.pollOnce();
        for (int i = 1; i < step; ++i)
            rig.dev.pollOnce();
        rig.peer->inject(QByteArray("\x79", 1));
        rig.dev.pollOnce();
        if (taken) {
            QCOMPARE(rig.dev.firmwareState(), quint32(VX_SI_USBXpressDev::SM_FW_GetDeviceIDSend));
        } else {
            QCOMPARE(rig.dev.firmwareState(), quint32(VX_SI_USBXpressDev::SM_FW_Idle));
            QVERIFY(rig.console().contains("Bootloader Fail -> EnterBootloader Time Error"));
        }
    }

    void wrongProductId_sixGetIdsThenNotSupported()
    {
        Rig rig;
        rig.peer->setProductId(0x041A);
        rig.dev.SLOT_StartFirmwareUpdate(rig.writeHex(toIntelHex(patternImage(64))));
        rig.runToEnd();
        QCOMPARE(rig.finished.count(), 1);
        QCOMPARE(result(rig.finished), qint8(-1));
        QCOMPARE(rig.peer->countFrames(kGetId), 6);
        const QByteArray text = rig.console();
        QVERIFY2(text.contains("Bootloader Fail -> STM32 ID: 0x041a not supported"), text.constData());
        QCOMPARE(rig.peer->countFrames(kErase), 0);
    }

    void nackToWriteCommandAddressOrData_endsOnceWithItsLogLine_data()
    {
        QTest::addColumn<int>("write");
        QTest::addColumn<QString>("line");
        // Writes: sync 1, get id 2, erase 3, mass erase 4, then per block cmd/addr/data.
        QTest::newRow("command of block 1") << 5 << "SM_FW_WriteFileReceiveCMD -> Get NACK 2";
        QTest::newRow("address of block 1") << 6 << "SM_FW_WriteFileReceiveAddr -> Get NACK 2";
        QTest::newRow("data of block 2") << 10 << "SM_FW_WriteFileReceiveData -> Get NACK 1";
    }
    void nackToWriteCommandAddressOrData_endsOnceWithItsLogLine()
    {
        QFETCH(int, write);
        QFETCH(QString, line);
        Rig rig;
        rig.peer->nackWrite(write);
        LogCapture log;
        rig.dev.SLOT_StartFirmwareUpdate(rig.writeHex(toIntelHex(patternImage(512))));
        rig.runToEnd();
        QCOMPARE(rig.finished.count(), 1);
        QCOMPARE(result(rig.finished), qint8(-1));
        QCOMPARE(log.messages(QStringLiteral("VX_SI_USBXpressDev::WriteFirmware_Handler")).filter(QStringLiteral("NACK")),
                 QStringList{line});
        const QByteArray text = rig.console();
        QVERIFY(text.contains("Bootloader Fail -> Get NACK in " + line.section(' ', 0, 0).toLatin1()));
        QVERIFY(text.contains("Bootloader IDEL -> set this->m_BootloaderActive = false"));
    }

    void unplugMidWrite_endsWithTheDisconnectLineOnce()
    {
        Rig rig;
        rig.peer->unplugAfterBlocks(2);
        rig.dev.SLOT_StartFirmwareUpdate(rig.writeHex(toIntelHex(patternImage(2048))));
        rig.runToEnd();
        QCOMPARE(rig.finished.count(), 1);
        QCOMPARE(result(rig.finished), qint8(-1));
        QVERIFY(rig.console().contains("Bootloader Fail -> disconnect \xb5" "C during write firmware!!"));
        QVERIFY(!rig.dev.isDeviceOpen());
    }

    void everyUpdate_startsWithTheWholeRetryBudget()
    {
        Rig rig(false);
        const QString path = rig.writeHex(toIntelHex(patternImage(64)));
        rig.dev.SLOT_StartFirmwareUpdate(path);
        rig.runToEnd();
        QCOMPARE(result(rig.finished), qint8(-1));
        // The board answers only from the third sync of the second update on.
        const int before = rig.peer->writes().size();
        rig.peer->setAutoReply(true);
        rig.peer->answerFromWrite(before + 3);
        rig.finished.clear();
        rig.dev.SLOT_StartFirmwareUpdate(path);
        rig.runToEnd();
        QCOMPARE(rig.finished.count(), 1);
        QCOMPARE(result(rig.finished), qint8(1));
    }

    void emptyImage_isRefusedBeforeAnythingIsErased()
    {
        Rig rig;
        const QByteArray hex = hexRecord(4, 0, QByteArray::fromHex("0800")) + "\r\n"
                               + hexRecord(4, 0, QByteArray::fromHex("0800")) + "\r\n"
                               + hexRecord(1, 0, QByteArray()) + "\r\n";
        rig.dev.SLOT_StartFirmwareUpdate(rig.writeHex(hex));
        rig.runToEnd();
        QCOMPARE(rig.finished.count(), 1);
        QCOMPARE(result(rig.finished), qint8(-1));
        QCOMPARE(rig.peer->countFrames(kErase), 0);
        QCOMPARE(rig.peer->countFrames(kSync), 0);
    }

    void startDuringAnUpdate_waitsAndEachGetsItsOwnResult()
    {
        Rig rig;
        rig.peer->setProductId(0x041A);  // the first update will fail ...
        const QString first = rig.writeHex(toIntelHex(patternImage(300)), QStringLiteral("a.hex"));
        const QString second = rig.writeHex(toIntelHex(patternImage(40)), QStringLiteral("b.hex"));
        rig.dev.SLOT_StartFirmwareUpdate(first);
        for (int i = 0; i < 5; ++i)
            rig.dev.pollOnce();
        LogCapture log;
        rig.dev.SLOT_StartFirmwareUpdate(second);
        QVERIFY(log.contains(QStringLiteral("Update running, request deferred")));
        rig.runToEnd();
        QCOMPARE(rig.finished.count(), 1);
        QCOMPARE(result(rig.finished), qint8(-1));
        rig.peer->setProductId(0x0410);  // ... the second one succeeds with its own file
        rig.runToEnd();
        QCOMPARE(rig.finished.count(), 2);
        QCOMPARE(result(rig.finished, 1), qint8(1));
        const QList<QByteArray> data = rig.dataFrames();
        QCOMPARE(data.size(), 1);
        QCOMPARE(data.at(0).mid(1, 40), patternImage(40));
    }

    void deletingTheObjectDuringAnUpdate_stopsTheLoopCleanly()
    {
        LogCapture log;
        {
            Rig rig(false);
            rig.dev.SLOT_StartFirmwareUpdate(rig.writeHex(toIntelHex(patternImage(64))));
            rig.dev.start();
            QTest::qWait(150);
        }
        QVERIFY(log.contains(QStringLiteral("Thread END")));
        QVERIFY(log.contains(QStringLiteral("Close Binary Firmware File")));
    }
};

QTEST_GUILESS_MAIN(TestBootloaderSequence)
#include "test_bootloader_sequence.moc"
