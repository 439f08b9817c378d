// The shared block: its byte layout as a foreign program sees it, the poll step of the request
// cycle, and the link's thread serving it next to clients and other loaders.
#include "sharedmem/programming_client.h"
#include "sharedmem/vx_sharedmemsocked.h"
#include "support/log_capture.h"

#include "raw_block.h"
#include "shm_test_key.h"

#include <QMutex>
#include <QtTest>

#include <climits>
#include <cstring>
#include <memory>

namespace {
const QString kCtor = QStringLiteral("VX_SharedMemSocked::VX_SharedMemSocked");
const QString kIdle = QStringLiteral("Set to Idel-Mode");

// The link's signals, from whichever thread emits them.
struct Recorder {
    mutable QMutex mutex;
    int requests = 0;
    QList<qint16> results;
    explicit Recorder(VX_SharedMemSocked *link)
    {
        QObject::connect(link, &VX_SharedMemSocked::SIGNAL_ProgrammingRequestPendig, link,
                         [this] { QMutexLocker l(&mutex); ++requests; }, Qt::DirectConnection);
        QObject::connect(link, &VX_SharedMemSocked::SIGNAL_ProgrammingFinished, link,
                         [this](qint16 r) { QMutexLocker l(&mutex); results.append(r); }, Qt::DirectConnection);
    }
    int requestCount() const { QMutexLocker l(&mutex); return requests; }
    QList<qint16> resultList() const { QMutexLocker l(&mutex); return results; }
};
} // namespace

class TestVxSharedMemSocked : public QObject {
    Q_OBJECT
private slots:
    void boundedText_staysInsideItsField()
    {
        for (const char *utf8 : {"a", "\xc3\xa4", "\xe2\x82\xac", "\xf0\x9f\x98\x80"}) {  // 1 to 4 bytes
            const int charBytes = int(std::strlen(utf8));
            const QString text = QString::fromUtf8(utf8).repeated(200);
            char buffer[kNameOfConnectedDeviceWidth + 16];  // a guard after the field
            std::memset(buffer, 0x5A, sizeof buffer);
            QVERIFY(!writeBoundedText(buffer, kNameOfConnectedDeviceWidth, text));
            const int nul = int(static_cast<const char *>(std::memchr(buffer, 0, kNameOfConnectedDeviceWidth)) - buffer);
            QVERIFY2(nul >= 0 && nul <= kNameOfConnectedDeviceMaxBytes && nul > kNameOfConnectedDeviceMaxBytes - charBytes, utf8);
            QCOMPARE(nul % charBytes, 0);  // cut on a character boundary
            QCOMPARE(QByteArray(buffer + kNameOfConnectedDeviceWidth, 16), QByteArray(16, 0x5A));
            const QString back = readBoundedText(buffer, kNameOfConnectedDeviceWidth);
            QCOMPARE(back, text.left(back.size()));
            QCOMPARE(back.toUtf8().size(), nul);
        }

        // 149 bytes fit the path, 150 do not, and a shorter text leaves no remainder.
        char field[kPath2HexfileWidth];
        QVERIFY(writeBoundedText(field, kPath2HexfileWidth, QString(kPath2HexfileMaxBytes, QLatin1Char('x'))));
        QCOMPARE(readBoundedText(field, kPath2HexfileWidth).size(), kPath2HexfileMaxBytes);
        QVERIFY(!writeBoundedText(field, kPath2HexfileWidth, QString(kPath2HexfileWidth, QLatin1Char('y'))));
        QCOMPARE(field[kPath2HexfileMaxBytes], '\0');
        QVERIFY(writeBoundedText(field, kPath2HexfileWidth, QStringLiteral("/a.hex")));
        QCOMPARE(QByteArray(field, kPath2HexfileWidth), QByteArray("/a.hex") + QByteArray(144, '\0'));
    }

    // The client's decoder; the link keeps its own copy of the fields, checked further down.
    void unterminatedFields_areReadInFull()
    {
        // Exactly 312 bytes on the heap: a read past the name leaves the allocation.
        auto block = std::make_unique<SharedMemBlock>();
        std::memset(block.get(), 'A', sizeof(SharedMemBlock));
        const SharedMemSnapshot s = decodeBlock(*block);
        QCOMPARE(s.path2Hexfile, QString(kPath2HexfileWidth, QLatin1Char('A')));
        QCOMPARE(s.nameOfConnectedDevice, QString(kNameOfConnectedDeviceWidth, QLatin1Char('A')));
    }

    void pollStep_followsTheRequestCycle()
    {
        constexpr int keep = INT_MIN;  // the result is not written in this step
        struct Step {
            quint8 announced, request;
            int write;
            bool pending, finished, reset;
            qint32 resultAfter;
        };
        const Step steps[] = {
            {1, 0, keep, false, false, false, 0},  // idle
            {1, 1, keep, true, false, false, 0},   // request: 0->1 is the only edge that signals
            {1, 1, keep, false, false, false, 0},  // still 1
            {1, 1, kResultWritten, false, true, false, 1},
            {1, 1, kResultWritten, false, false, false, 1},  // set again without a reset
            {1, 0, keep, false, false, true, 0},             // withdrawn: the announced loader clears
            {1, 1, keep, true, false, false, 0},
            {1, 1, kResultWritten, false, true, false, 1},   // the same value is news after a reset
            {1, 2, keep, false, false, true, 0},             // 2 is a change, not a request
            {0, 1, keep, true, false, false, 0},
            {0, 1, kResultFailed, false, true, false, -1},
            {0, 0, keep, false, false, false, -1},  // an instance that never announced leaves it
            {0, 2, keep, false, false, false, -1},
        };
        SharedMemBlock last{}, block{};
        for (const Step &s : steps) {
            const QByteArray row = QByteArray::number(int(&s - steps));
            last.StatusPelmora = s.announced;
            block.StatusProgrammingRequest = s.request;
            if (s.write != keep)
                writeProgrammingResult(block, s.write);
            const PollOutcome out = pollSharedBlock(last, block);
            QVERIFY2(out.requestPending == s.pending && out.finished == s.finished && out.resultReset == s.reset, row);
            if (out.finished)
                QCOMPARE(out.finishedResult, qint32(s.write));
            QVERIFY2(readProgrammingResult(block) == s.resultAfter, row);
        }
    }

    void rawBytes_readAndWrittenAtTheirOffsets()
    {
        const QString key = uniqueShmKey("raw");
        RawBlock raw(key);
        QVERIFY(raw.create(312));
        raw.fill('\0');
        raw.write(0, QByteArray("\x01\x01\0\0\xfe\xff\xff\xff\x01", 9));  // result -2
        const QByteArray path = "/home/u/" + QByteArray(137, 'p') + ".hex";  // 149 bytes, the longest
        raw.write(9, path);
        raw.write(159, QByteArray("Bridge [0x42]\0", 14));
        VX_SharedMemSocked link(key, false);
        QVERIFY(link.isStatusPelmoraSet() && link.isStatusProgrammingRequestSet() && link.isStatusOrbaloConnectionSet());
        QCOMPARE(link.getProgrammingResult(), -2);
        QCOMPARE(link.getPath2Hexfile(), QString::fromLatin1(path));
        QCOMPARE(link.getNameOfConnectedDevice(), QStringLiteral("Bridge [0x42]"));

        link.setStatusPelmora(0);
        link.setProgrammingResult(0x01020304);
        link.setNameOfConnectedDevice(QStringLiteral("N"));
        link.setStatusOrbaloConnection(0);  // unplugged: the name stays
        QCOMPARE(raw.read(0, 9), QByteArray("\x00\x01\x00\x00\x04\x03\x02\x01\x00", 9));
        QCOMPARE(raw.read(9, 150), path + '\0');
        QCOMPARE(raw.read(159, 3), QByteArray("N\0\0", 3));
        link.setNameOfConnectedDevice(QString());  // disconnected by the user
        QCOMPARE(raw.read(159, 1), QByteArray(1, '\0'));
        QVERIFY(link.getNameOfConnectedDevice().isEmpty());
    }

    void loaders_createOrJoinAndTheFirstToExitClears()
    {
        const QString key = uniqueShmKey("two");
        LogCapture log;
        auto first = std::make_unique<VX_SharedMemSocked>(key);
        QVERIFY(first->isAttached() && !first->isStatusPelmoraSet());
        RawBlock raw(key);
        QVERIFY(raw.attach());
        QCOMPARE(raw.size(), 312);
        QCOMPARE(raw.read(0, 312), QByteArray(312, '\0'));
        first->setStatusPelmora(1);
        first->setNameOfConnectedDevice(QStringLiteral("Orbalo Mini [0x0001]"));

        VX_SharedMemSocked second(key);
        QCOMPARE(log.messages(kCtor), (QStringList{QStringLiteral("Create Sharedmemory 312 Bytes"),
                                                   QStringLiteral("Join Sharedmemory 312 Bytes")}));
        QVERIFY(second.isStatusPelmoraSet());  // the window warns on this
        QCOMPARE(second.getNameOfConnectedDevice(), QStringLiteral("Orbalo Mini [0x0001]"));  // not reset
        second.setStatusPelmora(1);
        first->setStatusPelmora(0);
        first.reset();
        QVERIFY(second.isAttached() && !second.isStatusPelmoraSet());
        QCOMPARE(second.getNameOfConnectedDevice(), QStringLiteral("Orbalo Mini [0x0001]"));
    }

    void clientFirst_loaderJoinsUntouchedAndSignalsOnce()
    {
        const QString key = uniqueShmKey("clientfirst");
        ProgrammingClient client(key);
        QVERIFY(client.attachOrCreate(nullptr) && client.createdBlock());
        QVERIFY(client.submit(QStringLiteral("/tmp/firmware.hex")) == ProgrammingClient::Submit::Taken);
        LogCapture log;
        VX_SharedMemSocked link(key, false);
        Recorder rec(&link);
        link.setStatusPelmora(1);
        link.start();
        QTRY_COMPARE(rec.requestCount(), 1);
        QCOMPARE(log.messages(kCtor), QStringList{QStringLiteral("Join Sharedmemory 312 Bytes")});
        QVERIFY(link.isStatusProgrammingRequestSet());  // no initial values written over it
        QCOMPARE(link.getPath2Hexfile(), QStringLiteral("/tmp/firmware.hex"));
        link.setProgrammingResult(1);
        QTRY_COMPARE(rec.resultList(), QList<qint16>{1});
        link.setProgrammingResult(1);  // again without a reset: no second signal
        // The loop handles writes in order: once -1 shows up, the second 1 has been passed over.
        link.setProgrammingResult(-1);
        QTRY_COMPARE(rec.resultList(), (QList<qint16>{1, -1}));
        QCOMPARE(log.count(QStringLiteral("Send SIGNAL Prog Finished")), 2);
        QCOMPARE(rec.requestCount(), 1);
    }

    // Every byte 0xFF, as a foreign writer may leave it: the request changed but is no request.
    void junkRequest_resetOnlyInAnnouncedInstance_data()
    {
        QTest::addColumn<bool>("announced");
        QTest::newRow("announced") << true;
        QTest::newRow("never announced") << false;
    }
    void junkRequest_resetOnlyInAnnouncedInstance()
    {
        QFETCH(bool, announced);
        const QString key = uniqueShmKey("norequest");
        RawBlock raw(key);
        QVERIFY(raw.create(312));
        raw.fill('\0');
        LogCapture log;
        VX_SharedMemSocked link(key, false);
        Recorder rec(&link);
        if (announced)
            link.setStatusPelmora(1);
        link.start();
        link.setProgrammingResult(-1);
        QTRY_COMPARE(rec.resultList(), QList<qint16>{-1});
        raw.fill('\xff');
        QVERIFY(link.isStatusPelmoraSet());
        // Unterminated fields are read to their ends, one replacement character per byte.
        QCOMPARE(link.getPath2Hexfile().size(), 150);
        QCOMPARE(link.getNameOfConnectedDevice().size(), 153);
        if (announced) {
            QTRY_COMPARE(log.count(kIdle), 1);
            QCOMPARE(raw.read(4, 4), QByteArray(4, '\0'));
        } else {
            // Written after the change: once 1 is signalled the loop has seen the 0xFF too.
            link.setProgrammingResult(1);
            QTRY_COMPARE(rec.resultList(), (QList<qint16>{-1, 1}));
            QCOMPARE(log.count(kIdle), 0);
        }
        QCOMPARE(rec.requestCount(), 0);
        QCOMPARE(rec.resultList().size(), announced ? 1 : 2);
    }

    void foreignSmallSegment_leavesLinkDetachedAndEveryAccessorSaysSo()
    {
        const QString key = uniqueShmKey("small");
        RawBlock raw(key);
        QVERIFY(raw.create(16));
        LogCapture log;
        VX_SharedMemSocked link(key);
        QVERIFY(!link.isAttached() && !link.isStatusPelmoraSet() && !link.isStatusProgrammingRequestSet());
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
            QTRY_COMPARE(log.messages(QStringLiteral("VX_SharedMemSocked::run")), QStringList{QStringLiteral("Thread Start")});
        }
        SharedMemSnapshot s;
        QVERIFY(client.read(&s));
        QCOMPARE(s.request, quint8(0));
        QCOMPARE(log.errors().size(), 1);
        QVERIFY(log.errors().first().contains(QStringLiteral("~VX_SharedMemSocked: Kill Pending")));
        const QString lines = log.lines().join(QLatin1Char('\n'));
        const int end = lines.indexOf(QStringLiteral("Thread END")), kill = lines.indexOf(QStringLiteral("Kill Pending"));
        QVERIFY2(end >= 0 && end < kill && kill < lines.indexOf(QStringLiteral("Detach SharedMemory")), qPrintable(lines));
    }

    void foreignLockHolder_blocksNeitherTheAccessorsNorTheEnd()
    {
        const QString key = uniqueShmKey("held");
        auto link = std::make_unique<VX_SharedMemSocked>(key);
        RawBlock raw(key);
        QVERIFY(raw.attach() && raw.holdLock());  // held as a careless client would
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
};

QTEST_GUILESS_MAIN(TestVxSharedMemSocked)
#include "test_vx_sharedmemsocked.moc"
