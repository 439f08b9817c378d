// The real program and its programming clients, each a process of its own, as a user, a
// careless client and a service manager meet them: every client gets the answer to its own
// request, and only one loader answers at all.
#include "loader_rig.h"

#include "sharedmem/shm_test_key.h"

#include <QElapsedTimer>
#include <QtTest>

#include <csignal>

namespace {

// 32 KiB take about four seconds on the real-time board: long enough to give up on.
constexpr int kSlowImageBytes = 32 * 1024;
const QString kStarted = QStringLiteral("Client update started");

} // namespace

class TestLoaderClients : public QObject {
    Q_OBJECT

    QTemporaryDir m_Files;
    QByteArray m_GoodImage;
    QString m_Good;
    QString m_Slow;
    QString m_Bad;

private slots:
    void initTestCase()
    {
        QVERIFY(m_Files.isValid());
        m_Good = m_Files.filePath(QStringLiteral("good.hex"));
        m_Slow = m_Files.filePath(QStringLiteral("slow.hex"));
        m_Bad = m_Files.filePath(QStringLiteral("bad.hex"));
        m_GoodImage = randomImage(2048);
        QVERIFY(writeFile(m_Good, toIntelHex(m_GoodImage)));
        QVERIFY(writeFile(m_Slow, toIntelHex(randomImage(kSlowImageBytes))));
        QVERIFY(writeFile(m_Bad, badChecksumHex()));
    }

    void eachClient_getsTheTrueAnswer_data()
    {
        QTest::addColumn<bool>("raw");
        QTest::addColumn<bool>("good");
        QTest::newRow("pelmora-prog, image written") << false << true;
        QTest::newRow("pelmora-prog, bad checksum") << false << false;
        QTest::newRow("raw client, image written") << true << true;
        QTest::newRow("raw client, bad checksum") << true << false;
    }
    void eachClient_getsTheTrueAnswer()
    {
        QFETCH(bool, raw);
        QFETCH(bool, good);
        const QString key = uniqueShmKey("answer");
        LoaderProcess loader(key);
        QVERIFY(loader.startConnected());
        const QByteArray erased = loader.flash();
        const QString file = good ? m_Good : m_Bad;
        if (raw) {
            RawClient client(key);
            QVERIFY(client.attach());
            QCOMPARE(client.byteAt(0), quint8(1));  // StatusPelmora
            QCOMPARE(client.byteAt(8), quint8(1));  // StatusOrbaloConnection
            client.ask(file);
            QTRY_VERIFY_WITH_TIMEOUT(client.result() != 0, kLoaderWaitMs);
            QCOMPARE(client.result(), good ? 1 : -1);
            client.withdraw();
            QTRY_COMPARE(client.result(), 0);  // the loader is back to idle
        } else {
            ProgProcess prog(key, {file});
            QCOMPARE(prog.finish(), good ? 0 : 1);
        }
        QByteArray expected = erased;  // a failed update is refused before anything is erased
        if (good)
            expected.replace(0, m_GoodImage.size(), m_GoodImage);
        QVERIFY(loader.flash() == expected);
    }

    void withdrawnRequest_itsResultNeverReachesTheNextClient()
    {
        const QString key = uniqueShmKey("withdrawn");
        LoaderProcess loader(key);
        QVERIFY(loader.startConnected(LoaderSetup::realtime()));
        // A gives up while its update runs; B then asks for a file that cannot be written.
        ProgProcess a(key, {QStringLiteral("--timeout"), QStringLiteral("1"), m_Slow});
        QCOMPARE(a.finish(), 3);
        ProgProcess b(key, {QStringLiteral("--timeout"), QStringLiteral("60"), m_Bad});
        QCOMPARE(b.finish(), 1);
        QVERIFY2(b.output().contains(QStringLiteral("programming failed")), qPrintable(b.output()));
    }

    void togglingTheRequest_queuesNoMoreThanOneUpdate()
    {
        const QString key = uniqueShmKey("toggle");
        LoaderProcess loader(key);
        QVERIFY(loader.startConnected(LoaderSetup::realtime()));
        {
            RawClient toggler(key);
            QVERIFY(toggler.attach());
            toggler.ask(m_Slow);
            for (int i = 0; i < 400; ++i) {
                toggler.setRequest(quint8(i % 2));
                QTest::qSleep(3);
            }
            toggler.withdraw();
        }
        ProgProcess b(key, {QStringLiteral("--timeout"), QStringLiteral("60"), m_Bad});
        QCOMPARE(b.finish(), 1);
        // One update of the toggles may have started, one more may have waited behind it: B's
        // own is the last.
        const int started = loader.count(kStarted);
        QVERIFY2(started >= 1 && started <= 3, qPrintable(QString::number(started)));
    }

    void staleBlockOfEndedProcesses_isResetNotServed()
    {
        const QString key = uniqueShmKey("stale");
        {
            LoaderProcess first(key);
            QVERIFY(first.startConnected(LoaderSetup::realtime()));
            ProgProcess client(key, {m_Slow});
            QVERIFY(first.waitForLog(QStringLiteral("Programming Extern")));
            // Both killed mid-update: no handler runs, the segment outlives them.
            ::kill(pid_t(client.pid()), SIGKILL);
            first.kill();
            QCOMPARE(client.finish(), -2);
        }
        LoaderProcess next(key);
        QVERIFY(next.startConnected());
        const QByteArray erased = next.flash();
        QTest::qWait(1500);
        QCOMPARE(next.count(QStringLiteral("Programming Extern")), 0);
        QVERIFY(next.flash() == erased);
        QVERIFY(next.log().contains(QStringLiteral("Stale")));
        ProgProcess client(key, {QStringLiteral("--timeout"), QStringLiteral("20"), m_Good});
        QCOMPARE(client.finish(), 0);
        QVERIFY(next.flash() != erased);
    }

    void clientWaitingBeforeTheLoaderStarts_isServedNotTakenForStale()
    {
        const QString key = uniqueShmKey("clientfirst");
        ProgProcess client(key, {QStringLiteral("--timeout"), QStringLiteral("20"), m_Good});
        QVERIFY(client.waitForOutput(QStringLiteral("waiting for the loader")));
        LoaderProcess loader(key);
        loader.start();
        // Answered (the board may not be connected yet at the loader's first look: then 1).
        const int code = client.finish();
        QVERIFY2(code == 0 || code == 1, qPrintable(client.output()));
        QCOMPARE(loader.count(kStarted), 1);
        QCOMPARE(loader.count(QStringLiteral("Stale")), 0);
    }

    void secondLoader_leavesRequestsToTheFirst_andTakesOverWhenItEnds()
    {
        const QString key = uniqueShmKey("twoloaders");
        LoaderProcess first(key);
        LoaderSetup failing;
        failing.faults = QStringLiteral("product-id=0x041a");  // a board the update refuses
        QVERIFY(first.startConnected(failing));
        LoaderProcess second(key);
        QVERIFY(second.startConnected());
        const QByteArray erased = second.flash();

        ProgProcess asked(key, {m_Good});
        QCOMPARE(asked.finish(), 1);  // the first loader's board answered
        QCOMPARE(first.count(QStringLiteral("Programming Extern")), 1);
        QCOMPARE(second.count(QStringLiteral("Programming Extern")), 0);
        QVERIFY(second.log().contains(QStringLiteral("not serving")));
        QVERIFY(second.flash() == erased);

        first.sendSignal(SIGTERM);
        QVERIFY(first.waitForExit());
        QVERIFY(second.waitForLog(QStringLiteral("now serving")));
        ProgProcess again(key, {m_Good});
        QCOMPARE(again.finish(), 0);
        QVERIFY(second.flash() != erased);
    }

    void endDuringAClientsUpdate_answersMinusOneFirst_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
        QTest::newRow("SIGHUP") << int(SIGHUP);
    }
    void endDuringAClientsUpdate_answersMinusOneFirst()
    {
        QFETCH(int, signal);
        const QString key = uniqueShmKey("end");
        LoaderProcess loader(key);
        QVERIFY(loader.startConnected(LoaderSetup::realtime()));
        RawClient client(key);
        QVERIFY(client.attach());
        client.ask(m_Slow);
        QVERIFY(loader.waitForLog(QStringLiteral("Programming Extern")));
        QTest::qWait(300);

        loader.sendSignal(signal);
        QVERIFY(loader.waitForExit());
        QCOMPARE(loader.exitCode(), 0);
        QCOMPARE(client.result(), -1);
        QCOMPARE(client.byteAt(1), quint8(0));  // the request cleared after the answer
        QCOMPARE(client.byteAt(0), quint8(0));  // no instance is left announced
        QVERIFY(loader.log().contains(QStringLiteral("Write Content")));  // settings saved
    }

    void clientHoldingTheLock_doesNotHoldUpTheEnd()
    {
        const QString key = uniqueShmKey("lockheld");
        LoaderProcess loader(key);
        QVERIFY(loader.startConnected());
        RawClient client(key);
        QVERIFY(client.attach());
        QVERIFY(client.holdLock());
        QElapsedTimer held;
        held.start();
        loader.sendSignal(SIGTERM);
        // Ends while the lock is still held (for at most 8 s), with its settings written.
        const bool ended = loader.waitForExit(8000);
        qInfo("loader ended %lld ms after SIGTERM, lock held throughout", held.elapsed());
        client.release();
        QVERIFY(ended);
        QCOMPARE(loader.exitCode(), 0);
        QVERIFY(loader.log().contains(QStringLiteral("Write Content")));
    }

    void twoClientsAtOnce_eachGetsTheAnswerToItsOwnFile()
    {
        const QString key = uniqueShmKey("twoclients");
        LoaderProcess loader(key);
        QVERIFY(loader.startConnected());
        for (int round = 0; round < 3; ++round) {
            ProgProcess good(key, {m_Good});
            ProgProcess bad(key, {m_Bad});
            QCOMPARE(good.finish(), 0);
            QCOMPARE(bad.finish(), 1);
        }
    }
};

QTEST_MAIN(TestLoaderClients)
#include "test_loader_clients.moc"
