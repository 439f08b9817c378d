#include "sharedmem/programming_client.h"
#include "sharedmem/vx_sharedmemsocked.h"
#include "support/log_capture.h"

#include "raw_block.h"
#include "shm_test_key.h"
#include "signal_recorder.h"

#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {
const QString kCtor = QStringLiteral("VX_SharedMemSocked::VX_SharedMemSocked");
const QString kRun = QStringLiteral("VX_SharedMemSocked::run");
} // namespace

class TestVxSharedMemSocked : public QObject {
    Q_OBJECT
private slots:
    void freshKey_createsZeroedBlockAndLogsCreate()
    {
        LogCapture log;
        const QString key = uniqueShmKey("create");
        VX_SharedMemSocked link(key, false);
        QVERIFY(link.isAttached());
        QCOMPARE(log.messages(kCtor), QStringList{QStringLiteral("Create Sharedmemory 312 Bytes")});
        RawBlock raw(key);
        QVERIFY(raw.attach());
        QCOMPARE(raw.size(), 312);
        QCOMPARE(raw.read(0, 10), QByteArray(10, '\0'));
        QVERIFY(!link.isStatusPelmoraSet());
    }

    void secondLoader_joinsSeesInstanceAndFirstToExitClears()
    {
        const QString key = uniqueShmKey("second");
        auto first = std::make_unique<VX_SharedMemSocked>(key);
        first->setStatusPelmora(1);
        first->setNameOfConnectedDevice(QStringLiteral("Orbalo Mini [0x0001]"));

        LogCapture log;
        VX_SharedMemSocked second(key);
        QCOMPARE(log.messages(kCtor), QStringList{QStringLiteral("Join Sharedmemory 312 Bytes")});
        QVERIFY(second.isStatusPelmoraSet());  // the window warns on this
        QCOMPARE(second.getNameOfConnectedDevice(), QStringLiteral("Orbalo Mini [0x0001]"));  // not reset
        second.setStatusPelmora(1);

        first->setStatusPelmora(0);
        first.reset();
        QVERIFY(second.isAttached());
        QVERIFY(!second.isStatusPelmoraSet());
        QCOMPARE(second.getNameOfConnectedDevice(), QStringLiteral("Orbalo Mini [0x0001]"));
    }

    void clientCreatedBlockWithPendingRequest_loaderJoinsUntouchedAndSignalsOnce()
    {
        const QString key = uniqueShmKey("clientfirst");
        ProgrammingClient client(key);
        QVERIFY(client.attachOrCreate(nullptr));
        QVERIFY(client.createdBlock());
        QVERIFY(client.submit(QStringLiteral("/tmp/firmware.hex")) == ProgrammingClient::Submit::Taken);

        LogCapture log;
        VX_SharedMemSocked link(key, false);
        SignalRecorder rec(&link);
        link.setStatusPelmora(1);
        link.start();
        QTRY_COMPARE(rec.requests(), 1);
        QCOMPARE(log.messages(kCtor), QStringList{QStringLiteral("Join Sharedmemory 312 Bytes")});
        QVERIFY(link.isStatusProgrammingRequestSet());  // no initial values written over it
        QCOMPARE(link.getPath2Hexfile(), QStringLiteral("/tmp/firmware.hex"));

        link.setProgrammingResult(1);
        QTRY_COMPARE(rec.results(), QList<qint16>{1});
        QCOMPARE(log.count(QStringLiteral("Send SIGNAL Prog Finished")), 1);
        QCOMPARE(rec.requests(), 1);
    }

    void requestZeroToTwo_noSignalResultResetAndIdleMode()
    {
        const QString key = uniqueShmKey("two");
        LogCapture log;
        VX_SharedMemSocked link(key, false);
        SignalRecorder rec(&link);
        link.setStatusPelmora(1);
        link.start();
        link.setProgrammingResult(-1);
        QTRY_COMPARE(rec.results(), QList<qint16>{-1});

        RawBlock raw(key);
        QVERIFY(raw.attach());
        raw.write(1, QByteArray(1, '\x02'));
        QTRY_COMPARE(log.messages(kRun).count(QStringLiteral("Set to Idel-Mode")), 1);
        QCOMPARE(rec.requests(), 0);
        QCOMPARE(link.getProgrammingResult(), 0);
        QCOMPARE(raw.read(4, 4), QByteArray(4, '\0'));
    }

    void resultSetTwiceWithoutReset_signalsOnce()
    {
        const QString key = uniqueShmKey("twice");
        VX_SharedMemSocked link(key, false);
        SignalRecorder rec(&link);
        link.setStatusPelmora(1);
        link.start();
        link.setProgrammingResult(1);
        QTRY_COMPARE(rec.results().size(), 1);
        link.setProgrammingResult(1);
        // The loop handles writes in order: once -1 shows up, the second 1 has been passed over.
        link.setProgrammingResult(-1);
        QTRY_COMPARE(rec.results().size(), 2);
        QCOMPARE(rec.results(), (QList<qint16>{1, -1}));
    }

    void withdrawalInUnannouncedInstance_leavesResultAlone()
    {
        const QString key = uniqueShmKey("unannounced");
        LogCapture log;
        VX_SharedMemSocked link(key, false);  // StatusPelmora never set by this instance
        SignalRecorder rec(&link);
        link.start();
        ProgrammingClient client(key);
        QVERIFY(client.attachOrCreate(nullptr));
        QVERIFY(client.submit(QStringLiteral("/x.hex")) == ProgrammingClient::Submit::Taken);
        QTRY_COMPARE(rec.requests(), 1);
        link.setProgrammingResult(1);
        QTRY_COMPARE(rec.results().size(), 1);
        QVERIFY(client.withdraw());
        // Written after the withdrawal: once -1 is signalled the loop has seen the 0 too.
        link.setProgrammingResult(-1);
        QTRY_COMPARE(rec.results(), (QList<qint16>{1, -1}));
        QCOMPARE(link.getProgrammingResult(), -1);
        QCOMPARE(log.count(QStringLiteral("Set to Idel-Mode")), 0);
    }

    void disconnectClearsName_unplugKeepsIt()
    {
        const QString key = uniqueShmKey("name");
        VX_SharedMemSocked link(key, false);
        ProgrammingClient client(key);
        QVERIFY(client.attachOrCreate(nullptr));
        SharedMemSnapshot s;
        const QString name = QStringLiteral("Orbalo Mini (simulated) [0x0001]");

        link.setStatusOrbaloConnection(1);
        link.setNameOfConnectedDevice(name);
        QVERIFY(client.read(&s));
        QVERIFY(s.boardConnected);
        QCOMPARE(s.nameOfConnectedDevice, name);

        link.setStatusOrbaloConnection(0);  // unplugged: status only
        QVERIFY(client.read(&s));
        QVERIFY(!s.boardConnected);
        QCOMPARE(s.nameOfConnectedDevice, name);

        link.setStatusOrbaloConnection(1);
        link.setNameOfConnectedDevice(QString());  // user disconnects: name, then status
        link.setStatusOrbaloConnection(0);
        QVERIFY(client.read(&s));
        QVERIFY(!s.boardConnected);
        QVERIFY(s.nameOfConnectedDevice.isEmpty());
        QVERIFY(!link.isStatusOrbaloConnectionSet());
    }

    void rawBytesAtDocumentedOffsets_readBackThroughLink()
    {
        const QString key = uniqueShmKey("rawin");
        RawBlock raw(key);
        QVERIFY(raw.create(312));
        raw.fill('\0');
        raw.write(0, QByteArray(1, '\x01'));
        raw.write(1, QByteArray(1, '\x01'));
        raw.write(4, QByteArray("\xfe\xff\xff\xff", 4));  // -2, little-endian
        raw.write(8, QByteArray(1, '\x01'));
        raw.write(9, QByteArray("/home/u/fw.hex\0", 15));
        raw.write(159, QByteArray("Bridge [0x42]\0", 14));

        VX_SharedMemSocked link(key, false);
        QVERIFY(link.isStatusPelmoraSet());
        QVERIFY(link.isStatusProgrammingRequestSet());
        QCOMPARE(link.getProgrammingResult(), -2);
        QVERIFY(link.isStatusOrbaloConnectionSet());
        QCOMPARE(link.getPath2Hexfile(), QStringLiteral("/home/u/fw.hex"));
        QCOMPARE(link.getNameOfConnectedDevice(), QStringLiteral("Bridge [0x42]"));
    }

    void linkWrites_landAtDocumentedOffsets()
    {
        const QString key = uniqueShmKey("rawout");
        VX_SharedMemSocked link(key, false);
        RawBlock raw(key);
        QVERIFY(raw.attach());
        link.setStatusPelmora(1);
        link.setProgrammingResult(0x01020304);
        link.setStatusOrbaloConnection(1);
        link.setNameOfConnectedDevice(QStringLiteral("N"));
        QCOMPARE(raw.read(0, 9), QByteArray("\x01\x00\x00\x00\x04\x03\x02\x01\x01", 9));
        QCOMPARE(raw.read(159, 2), QByteArray("N\0", 2));
        QCOMPARE(raw.read(9, 150), QByteArray(150, '\0'));
    }

    void junkBlockAllFF_isReadWithinFieldsAndRequestReset()
    {
        const QString key = uniqueShmKey("junk");
        RawBlock raw(key);
        QVERIFY(raw.create(312));
        raw.fill('\xff');

        LogCapture log;
        VX_SharedMemSocked link(key, false);
        SignalRecorder rec(&link);
        QVERIFY(link.isStatusPelmoraSet());
        QCOMPARE(link.getPath2Hexfile().size(), 150);  // one replacement character per byte
        QCOMPARE(link.getNameOfConnectedDevice().size(), 153);
        QCOMPARE(link.getProgrammingResult(), -1);
        QString why;
        QVERIFY(!VX_SharedMemSocked::isUsableHexPath(link.getPath2Hexfile(), &why));

        link.setStatusPelmora(1);
        link.start();
        // 0xFF is a change of the request but not a request: reset, no signals.
        QTRY_COMPARE(log.count(QStringLiteral("Set to Idel-Mode")), 1);
        QCOMPARE(link.getProgrammingResult(), 0);
        QCOMPARE(rec.requests(), 0);
        QVERIFY(rec.results().isEmpty());
    }

    void foreignSmallSegment_leavesLinkDetachedAndEveryAccessorSaysSo()
    {
        const QString key = uniqueShmKey("small");
        RawBlock raw(key);
        QVERIFY(raw.create(16));
        LogCapture log;
        VX_SharedMemSocked link(key);
        QVERIFY(!link.isAttached());
        QVERIFY(!link.isStatusPelmoraSet());
        QVERIFY(!link.isStatusProgrammingRequestSet());
        QVERIFY(link.getPath2Hexfile().isEmpty());
        link.setStatusPelmora(1);
        link.setStatusOrbaloConnection(1);
        link.setNameOfConnectedDevice(QStringLiteral("x"));
        link.setProgrammingResult(1);
        for (const char *name : {"isStatusPelmoraSet", "isStatusProgrammingRequestSet", "getPath2Hexfile",
                                 "setStatusPelmora", "setStatusOrbaloConnection", "setNameOfConnectedDevice",
                                 "setProgrammingResult"}) {
            const QString origin = QStringLiteral("VX_SharedMemSocked::") + QLatin1String(name);
            QVERIFY2(log.messages(origin).contains(QStringLiteral("Sharedmemory not set!")), name);
        }
        QCOMPARE(raw.read(0, 16), QByteArray(16, '\0'));  // nothing written into it
    }

    void destroyWithPendingRequest_clearsItLogsKillPendingAndDetaches()
    {
        const QString key = uniqueShmKey("kill");
        ProgrammingClient client(key);
        QVERIFY(client.attachOrCreate(nullptr));
        QVERIFY(client.submit(QStringLiteral("/a.hex")) == ProgrammingClient::Submit::Taken);
        LogCapture log;
        {
            VX_SharedMemSocked link(key);
            QTRY_COMPARE(log.messages(kRun), QStringList{QStringLiteral("Thread Start")});
        }
        SharedMemSnapshot s;
        QVERIFY(client.read(&s));
        QCOMPARE(s.request, quint8(0));
        QCOMPARE(log.errors().size(), 1);
        QVERIFY(log.errors().first().contains(QStringLiteral("~VX_SharedMemSocked: Kill Pending")));
        const QStringList order = log.lines();
        const auto at = [&order](const QString &piece) {
            for (int i = 0; i < order.size(); ++i)
                if (order[i].contains(piece))
                    return i;
            return -1;
        };
        QVERIFY(at(QStringLiteral("Thread END")) >= 0);
        QVERIFY(at(QStringLiteral("Thread END")) < at(QStringLiteral("Kill Pending")));
        QVERIFY(at(QStringLiteral("Kill Pending")) < at(QStringLiteral("Detach SharedMemory")));
    }

    void foreignLockHolder_blocksNeitherTheAccessorsNorTheEnd()
    {
        const QString key = uniqueShmKey("held");
        auto link = std::make_unique<VX_SharedMemSocked>(key);
        RawBlock raw(key);
        QVERIFY(raw.attach());
        QVERIFY(raw.holdLock());
        // Returns while the lock is held; the write waits for the next exchange.
        link->setStatusOrbaloConnection(1);
        link->isStatusProgrammingRequestSet();
        raw.release();
        QTRY_COMPARE(raw.byteAt(8), quint8(1));

        QVERIFY(raw.holdLock());
        LogCapture log;
        link.reset();  // returns although the lock is still held
        raw.release();
        QCOMPARE(log.count(QStringLiteral("left without the final writes")), 1);
    }

    void hexPathFromBlock_isCheckedLikeAPickedPath()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString file = dir.filePath(QStringLiteral("fw.hex"));
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(":00000001FF\n");
        f.close();
        QString why;
        QVERIFY(VX_SharedMemSocked::isUsableHexPath(file, &why));
        QVERIFY(!VX_SharedMemSocked::isUsableHexPath(QString(), &why));
        QVERIFY(!why.isEmpty());
        QVERIFY(!VX_SharedMemSocked::isUsableHexPath(dir.filePath(QStringLiteral("missing.hex")), &why));
        QVERIFY(why.contains(QStringLiteral("missing.hex")));
        QVERIFY(!VX_SharedMemSocked::isUsableHexPath(dir.path(), &why));
    }
};

QTEST_GUILESS_MAIN(TestVxSharedMemSocked)
#include "test_vx_sharedmemsocked.moc"
