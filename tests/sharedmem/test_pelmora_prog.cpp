#include "sharedmem/programming_client.h"
#include "sharedmem/vx_sharedmemsocked.h"
#include "support/log_capture.h"

#include "shm_test_key.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#if defined(Q_OS_UNIX)
#include <signal.h>
#endif

namespace {

constexpr int kProcessWaitMs = 60000;

// A loader stand-in: serves a request the way the window does, from its queued slot.
struct FakeLoader : QObject {
    VX_SharedMemSocked m_Link;
    int requests = 0;
    QString seenPath;
    FakeLoader(const QString &key, int answer) : m_Link(key, false)
    {
        connect(&m_Link, &VX_SharedMemSocked::SIGNAL_ProgrammingRequestPendig, this, [this, answer] {
            ++requests;
            seenPath = m_Link.getPath2Hexfile();
            if (answer != 0 && m_Link.isStatusProgrammingRequestSet())
                m_Link.setProgrammingResult(answer);
        });
        m_Link.setStatusPelmora(1);
        m_Link.start();
    }
    ~FakeLoader() override { m_Link.setStatusPelmora(0); }
    VX_SharedMemSocked &link() { return m_Link; }
};

void writeFile(const QString &path)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(":00000001FF\n") > 0);
}

struct Run {
    int exitCode = -1;
    QString out, err;
};

} // namespace

class TestPelmoraProg : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<QProcess> startProg(const QString &key, const QStringList &args, const QString &dir = QString())
    {
        auto p = std::make_unique<QProcess>();
        p->setWorkingDirectory(dir);
        p->start(QStringLiteral(PELMORA_PROG_BINARY), QStringList{QStringLiteral("--key"), key} + args);
        return p;
    }
    // Waits with the event loop running, so the fake loader's queued slot can answer.
    Run finish(QProcess &p)
    {
        QElapsedTimer waited;
        waited.start();
        while (p.state() != QProcess::NotRunning && waited.elapsed() < kProcessWaitMs)
            QTest::qWait(10);
        if (p.state() != QProcess::NotRunning || p.error() == QProcess::FailedToStart) {
            p.kill();
            p.waitForFinished();
            return Run{};
        }
        return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2,
                QString::fromUtf8(p.readAllStandardOutput()), QString::fromUtf8(p.readAllStandardError())};
    }
    Run runProg(const QString &key, const QStringList &args, const QString &dir = QString())
    {
        return finish(*startProg(key, args, dir));
    }

private slots:
    // A relative name is sent as its absolute path; 149 bytes of it fit the block, 150 do not.
    void loaderAnswersOne_exitsZeroWithAbsolutePathAndLeavesBlockIdle()
    {
        QTemporaryDir dir;
        const QString base = QDir(dir.path()).absolutePath() + QLatin1Char('/');
        auto nameOfBytes = [&](int bytes) {
            QString name = QString::fromUtf8("\xe2\x82\xac");  // three bytes, to land on the edge
            while ((base + name + QStringLiteral(".hex")).toUtf8().size() < bytes)
                name += QLatin1Char('x');
            writeFile(base + name + QStringLiteral(".hex"));
            return name + QStringLiteral(".hex");
        };
        const QString fits = nameOfBytes(149), tooLong = nameOfBytes(150);
        QCOMPARE((base + fits).toUtf8().size(), 149);
        QCOMPARE((base + tooLong).toUtf8().size(), 150);
        const QString key = uniqueShmKey("progok");
        LogCapture log;
        FakeLoader loader(key, 1);
        Run r = runProg(key, {tooLong}, dir.path());
        QCOMPARE(r.exitCode, 2);
        QVERIFY2(r.err.contains(QStringLiteral("149")), qPrintable(r.err));
        QCOMPARE(loader.requests, 0);
        r = runProg(key, {fits}, dir.path());
        QCOMPARE(r.exitCode, 0);
        QVERIFY2(QRegularExpression(QStringLiteral("firmware written: .*x\\.hex \\(took \\d+\\.\\d s\\)"))
                     .match(r.out).hasMatch(), qPrintable(r.out));
        QCOMPARE(loader.requests, 1);
        QCOMPARE(loader.seenPath, base + fits);
        QVERIFY(!loader.link().isStatusProgrammingRequestSet());
        QCOMPARE(loader.link().getProgrammingResult(), 0);
        QCOMPARE(log.count(QStringLiteral("Set to Idel-Mode")), 1);
    }

    // Every way of giving up withdraws the request it posted.
    void givingUp_withdrawsTheRequest_data()
    {
        QTest::addColumn<bool>("loader");  // a loader that takes the request and never answers
        QTest::addColumn<QString>("timeout");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("time-out, no loader") << false << "0.5" << 3;
        QTest::newRow("time-out, silent loader") << true << "3.5" << 3;
#if defined(Q_OS_UNIX)
        QTest::newRow("interrupted") << true << "60" << 130;
#endif
    }
    void givingUp_withdrawsTheRequest()
    {
        QFETCH(bool, loader);
        QFETCH(QString, timeout);
        QFETCH(int, exitCode);
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("fw.hex"));
        writeFile(file);
        const QString key = uniqueShmKey("progquit");
        ProgrammingClient observer(key);  // keeps the block alive after the tool has gone
        QVERIFY(observer.attachOrCreate(nullptr));
        LogCapture log;
        std::unique_ptr<FakeLoader> fake(loader ? new FakeLoader(key, 0) : nullptr);
        auto p = startProg(key, {QStringLiteral("--timeout"), timeout, file});
#if defined(Q_OS_UNIX)
        if (exitCode == 130) {
            QTRY_COMPARE_WITH_TIMEOUT(fake->requests, 1, kProcessWaitMs);
            QCOMPARE(::kill(pid_t(p->processId()), SIGINT), 0);
        }
#endif
        const Run r = finish(*p);
        QCOMPARE(r.exitCode, exitCode);
        SharedMemSnapshot s;
        QVERIFY(observer.read(&s));
        QCOMPARE(s.request, quint8(0));
        QCOMPARE(s.path2Hexfile, file);  // it did ask before giving up
        if (!fake) {
            QVERIFY(r.out.contains(QStringLiteral("waiting for the loader")));
            return;
        }
        QCOMPARE(fake->requests, 1);
        // Not a terminal: a line when programming begins and one every few seconds after.
        QVERIFY2(exitCode != 3 || r.out.count(QStringLiteral(" s  programming")) >= 2, qPrintable(r.out));
        QTRY_COMPARE(log.count(QStringLiteral("Set to Idel-Mode")), 1);
        QVERIFY(!fake->link().isStatusProgrammingRequestSet());
    }

    void submit_takesTheRequestOnlyWhenItIsFree()
    {
        const QString key = uniqueShmKey("progbusy");
        ProgrammingClient first(key), second(key);
        QVERIFY(first.attachOrCreate(nullptr) && second.attachOrCreate(nullptr));
        QVERIFY(first.submit(QStringLiteral("/first.hex")) == ProgrammingClient::Submit::Taken);
        QVERIFY(second.submit(QStringLiteral("/second.hex")) == ProgrammingClient::Submit::Busy);
        SharedMemSnapshot s;
        QVERIFY(second.read(&s));
        QCOMPARE(s.path2Hexfile, QStringLiteral("/first.hex"));
        QVERIFY(first.withdraw());
        QVERIFY(second.submit(QStringLiteral("/second.hex")) == ProgrammingClient::Submit::Taken);
    }

    void commandLine_data()
    {
        QTest::addColumn<QStringList>("args");  // "DIR" stands for a folder without a hex file
        QTest::addColumn<bool>("loader");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("output");  // on stdout for 0, on stderr otherwise
        QTest::newRow("missing file") << QStringList{"DIR/missing.hex"} << true << 2 << "missing.hex";
        QTest::newRow("folder") << QStringList{"DIR"} << true << 2 << "";
        QTest::newRow("no file") << QStringList{} << true << 2 << "";
        QTest::newRow("bad timeout") << QStringList{"--timeout", "soon", "x.hex"} << true << 2 << "";
        QTest::newRow("help") << QStringList{"--help"} << false << 0 << "--timeout";
        QTest::newRow("status, no loader") << QStringList{"--status"} << false << 0 << "loader: not running";
        QTest::newRow("status") << QStringList{"--status"} << true << 0
                                << "loader: running\nboard: connected\nbridge: Orbalo Mini (simulated) [0x0001]";
    }
    void commandLine()
    {
        QFETCH(QStringList, args);
        QFETCH(bool, loader);
        QFETCH(int, exitCode);
        QFETCH(QString, output);
        QTemporaryDir dir;
        args.replaceInStrings(QRegularExpression(QStringLiteral("^DIR")), dir.path());
        const QString key = uniqueShmKey("progargs");
        std::unique_ptr<FakeLoader> fake(loader ? new FakeLoader(key, 1) : nullptr);
        if (fake) {
            fake->link().setStatusOrbaloConnection(1);
            fake->link().setNameOfConnectedDevice(QStringLiteral("Orbalo Mini (simulated) [0x0001]"));
        }
        const Run r = runProg(key, args);
        QCOMPARE(r.exitCode, exitCode);
        for (const QString &line : output.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
            QVERIFY2((exitCode == 0 ? r.out : r.err).contains(line), qPrintable(r.out + r.err));
        if (fake)
            QCOMPARE(fake->requests, 0);  // nothing asked of the loader
    }

};

QTEST_GUILESS_MAIN(TestPelmoraProg)
#include "test_pelmora_prog.moc"
