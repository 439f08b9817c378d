// The real pelmora program, headless on its simulated board with a private settings folder, flash
// file and shared-memory key, against what meets it from outside: pelmora-prog, a raw client
// that knows nothing but the block's byte offsets, a service manager's signals, writes that
// really fail, and settings files a user may have. Every client gets the answer to its own
// request, only one loader answers at all, and nothing on disk is lost.
#include "sharedmem/raw_block.h"
#include "sharedmem/shm_test_key.h"
#include "support/hex_writer.h"
#include "support/test_files.h"

#include <QDir>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <signal.h>

namespace {

constexpr int kWaitMs = 30000;
// 32 KiB take about four seconds on the real-time board: long enough to give up on.
constexpr int kSlowImageBytes = 32 * 1024;
const QString kStarted = QStringLiteral("Client update started");
const QString kExtern = QStringLiteral("Programming Extern");

QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

// Remembers the simulated bridge, so the loader connects to its board by itself.
const QByteArray kDefaultSettings = "<?xml version=\"1.0\"?>\n<Settings>\n"
                                    "    <SettingsPathHexFile></SettingsPathHexFile>\n"
                                    "    <SettingsUsbDevName>Orbalo Mini (simulated) [0x0001]</SettingsUsbDevName>\n"
                                    "    <SettingsDebugComMode> 0</SettingsDebugComMode>\n"
                                    "</Settings>\n";

struct LoaderSetup {
    QString timing = QStringLiteral("instant");  // PELMORA_SIM_TIMING; "realtime": an update takes seconds
    QString faults;                              // PELMORA_SIM_FAULTS
    // RLIMIT_FSIZE in bytes (-1: none). With ignoreFileSizeSignal the loader starts with SIGXFSZ
    // ignored, so a write over the limit fails with EFBIG (as with ENOSPC on a full disk)
    // instead of killing it, whatever the loader does about the signal itself.
    qint64 fileSizeLimit = -1;
    bool ignoreFileSizeSignal = false;
    bool flashFile = true;  // PELMORA_SIM_FLASH in the loader's folder
};

const LoaderSetup kRealtime = [] { LoaderSetup s; s.timing = QStringLiteral("realtime"); return s; }();

// A child process, its output (stdout and stderr) collected as it comes.
class Child {
public:
    Child() { m_Process.setProcessChannelMode(QProcess::MergedChannels); }
    QString log() { return m_Log += QString::fromUtf8(m_Process.readAll()); }
    // Waits (event loop running) until the output holds piece; false after ms or at its end.
    bool waitForLog(const QString &piece, int ms = kWaitMs)
    {
        return QTest::qWaitFor([&] { return log().contains(piece) || !running(); }, ms) && log().contains(piece);
    }
    bool running() const { return m_Process.state() != QProcess::NotRunning; }
    qint64 pid() const { return m_Process.processId(); }
    void sendSignal(int signal) { ::kill(pid_t(pid()), signal); }
    // Exit code; -2 when it crashed, -1 when it did not end within ms (it is killed then).
    int finish(int ms = kWaitMs)
    {
        const bool ended = QTest::qWaitFor([&] { return !running(); }, ms);
        if (!ended) {
            m_Process.kill();
            m_Process.waitForFinished(kWaitMs);
        }
        log();
        return !ended ? -1 : m_Process.exitStatus() == QProcess::NormalExit ? m_Process.exitCode() : -2;
    }

protected:
    QProcess m_Process;
    QString m_Log;
};

// pelmora-prog as a user runs it.
struct ProgProcess : Child {
    ProgProcess(const QString &key, const QStringList &args)
    {
        m_Process.start(QStringLiteral(PELMORA_PROG_BINARY), QStringList{QStringLiteral("--key"), key} + args);
        m_Process.waitForStarted(kWaitMs);
    }
};

class LoaderProcess : public Child {
public:
    explicit LoaderProcess(const QString &key) : m_Key(key) {}
    ~LoaderProcess()
    {
        // Ended as a user would: a killed loader would leave its System V segment behind for good.
        if (running())
            sendSignal(SIGTERM);
        finish();
    }

    void start(const LoaderSetup &setup = LoaderSetup())
    {
        QVERIFY(m_Home.isValid());
        m_Log.clear();
        QVERIFY(QDir().mkpath(settingsFolder()));
        if (!QFile::exists(settingsPath()))
            QVERIFY(writeFile(settingsPath(), kDefaultSettings));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_DATA_HOME"), m_Home.filePath(QStringLiteral("data")));
        env.insert(QStringLiteral("PELMORA_SHM_KEY"), m_Key);
        env.insert(QStringLiteral("PELMORA_BRIDGE"), QStringLiteral("sim"));
        env.insert(QStringLiteral("PELMORA_SIM_TIMING"), setup.timing);
        const QPair<QString, QString> optional[] = {{QStringLiteral("PELMORA_SIM_FAULTS"), setup.faults},
                                                    {QStringLiteral("PELMORA_SIM_FLASH"), setup.flashFile ? flashPath() : QString()}};
        for (const auto &v : optional)
            v.second.isEmpty() ? env.remove(v.first) : env.insert(v.first, v.second);
        m_Process.setProcessEnvironment(env);
        const QString loader = QStringLiteral(PELMORA_BINARY);
        const QStringList args{QStringLiteral("-platform"), QStringLiteral("offscreen")};
        if (setup.fileSizeLimit < 0) {
            m_Process.start(loader, args);
        } else {
            // An ignored signal stays ignored across exec, so the shell's trap reaches the loader.
            const QString script = QStringLiteral("%1exec prlimit --fsize=%2:%2 -- \"$0\" \"$@\"")
                                       .arg(setup.ignoreFileSizeSignal ? "trap '' XFSZ; " : "").arg(setup.fileSizeLimit);
            m_Process.start(QStringLiteral("sh"), QStringList{QStringLiteral("-c"), script, loader} + args);
        }
        QVERIFY(m_Process.waitForStarted(kWaitMs));
    }
    // Starts and waits until the loader has connected its board by itself.
    bool startConnected(const LoaderSetup &setup = LoaderSetup())
    {
        start(setup);
        return !QTest::currentTestFailed() && waitForLog(QStringLiteral("Open SiUsbDev"));
    }
    // SIGTERM, then a normal end with exit code 0.
    void terminate()
    {
        sendSignal(SIGTERM);
        QVERIFY2(finish() == 0, qPrintable(log().right(2000)));
    }
    QString settingsFolder() const { return m_Home.filePath(QStringLiteral("data/Zorvane/Pelmora")); }
    QString settingsPath() const { return settingsFolder() + QStringLiteral("/Settings.xml"); }
    QString imagePath() const { return settingsFolder() + QStringLiteral("/firmware/TremlinFix_1_0_37.hex"); }
    QString flashPath() const { return m_Home.filePath(QStringLiteral("flash.bin")); }
    QByteArray flash() const { return readFile(flashPath()); }

private:
    QString m_Key;
    QTemporaryDir m_Home;
};

// A programming client written against the block's layout alone: StatusPelmora at 0, request
// byte at 1, result (int32, little-endian) at 4, connection at 8, path at 9.
class RawClient : public RawBlock {
public:
    using RawBlock::RawBlock;
    void ask(const QString &path)
    {
        write(9, path.toUtf8() + '\0');
        setRequest(1);
    }
    void setRequest(quint8 value) { write(1, QByteArray(1, char(value))); }
    qint32 result() { return int32At(4); }
};

} // namespace

class TestLoader : public QObject {
    Q_OBJECT

    QTemporaryDir m_Files;
    QByteArray m_GoodImage;
    QString m_Good, m_Slow, m_Bad;
    QStringList prog(const QString &file, int timeout) { return {QStringLiteral("--timeout"), QString::number(timeout), file}; }

private slots:
    void initTestCase()
    {
        QVERIFY(m_Files.isValid());
        m_Good = m_Files.filePath(QStringLiteral("good.hex"));
        m_Slow = m_Files.filePath(QStringLiteral("slow.hex"));
        m_Bad = m_Files.filePath(QStringLiteral("bad.hex"));
        const auto randomImage = [](int bytes) {  // bytes: a multiple of 4
            QByteArray image(bytes, '\0');
            QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(image.data()), bytes / 4);
            return image;
        };
        m_GoodImage = randomImage(2048);
        QVERIFY(writeFile(m_Good, toIntelHex(m_GoodImage)));
        QVERIFY(writeFile(m_Slow, toIntelHex(randomImage(kSlowImageBytes))));
        QByteArray bad = toIntelHex(randomImage(256));
        const int end = bad.indexOf('\r', bad.indexOf('\n') + 1);
        bad[end - 1] = bad[end - 1] == '0' ? '1' : '0';  // the second record's checksum
        QVERIFY(writeFile(m_Bad, bad));
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
        if (raw) {
            RawClient client(key);
            QVERIFY(client.attach());
            QCOMPARE(client.byteAt(0), quint8(1));  // StatusPelmora
            QCOMPARE(client.byteAt(8), quint8(1));  // StatusOrbaloConnection
            client.ask(good ? m_Good : m_Bad);
            QTRY_VERIFY_WITH_TIMEOUT(client.result() != 0, kWaitMs);
            QCOMPARE(client.result(), good ? 1 : -1);
            client.setRequest(0);
            QTRY_COMPARE(client.result(), 0);  // the loader is back to idle
        } else {
            QCOMPARE(ProgProcess(key, {good ? m_Good : m_Bad}).finish(), good ? 0 : 1);
        }
        // A failed update is refused before anything is erased.
        QVERIFY(loader.flash() == (good ? QByteArray(erased).replace(0, m_GoodImage.size(), m_GoodImage) : erased));
    }

    // Requests that went away (given up, toggled, answered for another client) leave no
    // result behind for the next one: its answer is its own file's failure.
    void answers_belongToTheRequestThatAsked_data()
    {
        QTest::addColumn<QString>("before");
        QTest::newRow("client gave up during its update") << "give up";
        QTest::newRow("request toggled 400 times") << "toggle";
        QTest::newRow("two clients at once, three rounds") << "pair";
    }
    void answers_belongToTheRequestThatAsked()
    {
        QFETCH(QString, before);
        const QString key = uniqueShmKey("answers");
        LoaderProcess loader(key);
        QVERIFY(loader.startConnected(before == "pair" ? LoaderSetup() : kRealtime));
        if (before == "give up") {
            QCOMPARE(ProgProcess(key, prog(m_Slow, 1)).finish(), 3);
        } else if (before == "toggle") {
            RawClient toggler(key);
            QVERIFY(toggler.attach());
            toggler.ask(m_Slow);
            for (int i = 0; i < 400; ++i) {
                toggler.setRequest(quint8(i % 2));
                QTest::qSleep(3);
            }
            toggler.setRequest(0);
        } else {
            for (int round = 0; round < 3; ++round) {
                ProgProcess good(key, {m_Good}), bad(key, {m_Bad});
                QCOMPARE(good.finish(), 0);
                QCOMPARE(bad.finish(), 1);
            }
        }
        ProgProcess b(key, prog(m_Bad, 60));
        QCOMPARE(b.finish(), 1);
        QVERIFY2(b.log().contains(QStringLiteral("programming failed")), qPrintable(b.log()));
        // Toggles queue no more than one update behind the one running: B's own is the last.
        const int started = loader.log().count(kStarted);
        if (before == "toggle")
            QVERIFY2(started >= 1 && started <= 3, qPrintable(QString::number(started)));
    }

    void staleBlockOfEndedProcesses_isResetNotServed()
    {
        const QString key = uniqueShmKey("stale");
        {
            LoaderProcess first(key);
            QVERIFY(first.startConnected(kRealtime));
            ProgProcess client(key, {m_Slow});
            QVERIFY(first.waitForLog(kExtern));
            // Both killed mid-update: no handler runs, the segment outlives them.
            client.sendSignal(SIGKILL);
            first.sendSignal(SIGKILL);
            QCOMPARE(client.finish(), -2);
            QCOMPARE(first.finish(), -2);
        }
        LoaderProcess next(key);
        QVERIFY(next.startConnected());
        const QByteArray erased = next.flash();
        QTest::qWait(1500);
        QCOMPARE(next.log().count(kExtern), 0);
        QVERIFY(next.flash() == erased);
        QVERIFY(next.log().contains(QStringLiteral("Stale")));
        QCOMPARE(ProgProcess(key, prog(m_Good, 20)).finish(), 0);
        QVERIFY(next.flash() != erased);
    }

    void clientWaitingBeforeTheLoaderStarts_isServedNotTakenForStale()
    {
        const QString key = uniqueShmKey("clientfirst");
        ProgProcess client(key, prog(m_Good, 20));
        QVERIFY(client.waitForLog(QStringLiteral("waiting for the loader")));
        LoaderProcess loader(key);
        loader.start();
        // Answered (the board may not be connected yet at the loader's first look: then 1).
        const int code = client.finish();
        QVERIFY2(code == 0 || code == 1, qPrintable(client.log()));
        QCOMPARE(loader.log().count(kStarted), 1);
        QCOMPARE(loader.log().count(QStringLiteral("Stale")), 0);
    }

    void secondLoader_leavesRequestsToTheFirst_andTakesOverWhenItEnds()
    {
        const QString key = uniqueShmKey("twoloaders");
        LoaderProcess first(key), second(key);
        LoaderSetup failing;
        failing.faults = QStringLiteral("product-id=0x041a");  // a board the update refuses
        QVERIFY(first.startConnected(failing));
        QVERIFY(second.startConnected());
        const QByteArray erased = second.flash();
        QCOMPARE(ProgProcess(key, {m_Good}).finish(), 1);  // the first loader's board answered
        QCOMPARE(first.log().count(kExtern), 1);
        QCOMPARE(second.log().count(kExtern), 0);
        QVERIFY(second.log().contains(QStringLiteral("not serving")));
        QVERIFY(second.flash() == erased);
        first.terminate();
        QVERIFY(second.waitForLog(QStringLiteral("now serving")));
        QCOMPARE(ProgProcess(key, {m_Good}).finish(), 0);
        QVERIFY(second.flash() != erased);
    }

    // However the loader is ended, a client's running update is answered -1 first, the request
    // and the running flag are cleared and the settings are written; a client holding the
    // block's lock holds up none of that for long.
    void end_answersTheClientAndWritesTheSettings_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<bool>("lockHeld");
        QTest::newRow("SIGTERM") << int(SIGTERM) << false;
        QTest::newRow("SIGINT") << int(SIGINT) << false;
        QTest::newRow("SIGHUP") << int(SIGHUP) << false;
        QTest::newRow("SIGTERM, lock held") << int(SIGTERM) << true;
    }
    void end_answersTheClientAndWritesTheSettings()
    {
        QFETCH(int, signal);
        QFETCH(bool, lockHeld);
        const QString key = uniqueShmKey("end");
        LoaderProcess loader(key);
        QVERIFY(loader.startConnected(lockHeld ? LoaderSetup() : kRealtime));
        RawClient client(key);
        QVERIFY(client.attach());
        if (lockHeld) {
            QVERIFY(client.holdLock());
        } else {
            client.ask(m_Slow);
            QVERIFY(loader.waitForLog(kExtern));
            QTest::qWait(300);
        }
        loader.sendSignal(signal);
        const int code = loader.finish(lockHeld ? 8000 : kWaitMs);
        client.release();
        QCOMPARE(code, 0);
        QVERIFY(loader.log().contains(QStringLiteral("Write Content")));  // settings saved
        if (lockHeld)
            return;
        QCOMPARE(client.result(), -1);
        QCOMPARE(client.byteAt(1), quint8(0));  // the request cleared after the answer
        QCOMPARE(client.byteAt(0), quint8(0));  // no instance is left announced
    }

    // A write cut by a file-size limit (EFBIG, as ENOSPC on a full disk) replaces nothing,
    // leaves nothing half-written that a later start could take for whole, and kills nothing.
    void failedWrites_replaceNothing_andDoNotKill_data()
    {
        QTest::addColumn<bool>("settingsWrite");  // else the copy of the built-in image
        QTest::addColumn<qint64>("limit");
        QTest::addColumn<bool>("ignoreSignal");
        QTest::newRow("settings, nothing fits") << true << qint64(0) << true;
        QTest::newRow("settings, cut half-way") << true << qint64(100) << true;
        QTest::newRow("settings, SIGXFSZ not ignored") << true << qint64(100) << false;
        QTest::newRow("image copy, cut half-way") << false << qint64(4096) << true;
        QTest::newRow("image copy, SIGXFSZ not ignored") << false << qint64(4096) << false;
    }
    void failedWrites_replaceNothing_andDoNotKill()
    {
        QFETCH(bool, settingsWrite);
        QFETCH(qint64, limit);
        QFETCH(bool, ignoreSignal);
        // Written in a layout of its own, so that any rewrite by the loader would show.
        const QByteArray ownLayout = "<?xml version=\"1.0\"?><Settings><SettingsDebugComMode>1</SettingsDebugComMode>"
                                     "<SettingsUsbDevName>Orbalo Mini (simulated) [0x0001]</SettingsUsbDevName>"
                                     "<SettingsPathHexFile>/home/user/app.hex</SettingsPathHexFile></Settings>";
        const QString key = uniqueShmKey("files");
        LoaderProcess loader(key);
        if (settingsWrite) {  // a folder an earlier run has filled (settings and image)
            loader.start();
            QVERIFY(loader.waitForLog(QStringLiteral("Start Programm")));
            loader.terminate();
            QVERIFY(QFile::exists(loader.imagePath()));
            QVERIFY(writeFile(loader.settingsPath(), ownLayout));
        }
        const QStringList before = entries(loader.settingsFolder());
        LoaderSetup setup;
        setup.fileSizeLimit = limit;
        setup.ignoreFileSizeSignal = ignoreSignal;
        setup.flashFile = false;
        QVERIFY(loader.startConnected(setup));
        loader.terminate();
        if (settingsWrite) {
            QCOMPARE(readFile(loader.settingsPath()), ownLayout);
            QVERIFY(loader.log().contains(QStringLiteral("Unable to replace settings file")));
            QCOMPARE(entries(loader.settingsFolder()), before);
            return;
        }
        QVERIFY(loader.log().contains(QStringLiteral("Unable to write Tremlin hex file")));
        QCOMPARE(entries(loader.settingsFolder() + QStringLiteral("/firmware")), QStringList());
        LoaderProcess again(key);
        again.start();
        QVERIFY(again.waitForLog(QStringLiteral("Create New Tremlin Hex File")));
    }

    void hugeSettingsFile_startsWithDefaults_andKeepsItAsBackup()
    {
        LoaderProcess loader(uniqueShmKey("hugesettings"));
        QVERIFY(QDir().mkpath(loader.settingsFolder()));
        // 150 MiB, nearly all of it the path's value
        QVERIFY(writeFile(loader.settingsPath(), "<?xml version=\"1.0\"?>\n<Settings>\n    <SettingsPathHexFile>/"
                                                     + QByteArray(150 * 1024 * 1024, 'x') + ".hex</SettingsPathHexFile>\n</Settings>\n"));
        const qint64 size = QFileInfo(loader.settingsPath()).size();
        loader.start();
        QVERIFY(loader.waitForLog(QStringLiteral("Start Programm")));
        QTest::qWait(1000);  // the window is up and painted
        QVERIFY2(loader.running(), qPrintable(loader.log().right(2000)));
        loader.terminate();
        QVERIFY(loader.log().contains(QStringLiteral("Settings file too large")));
        QCOMPARE(QFileInfo(loader.settingsPath() + QStringLiteral(".bak")).size(), size);
        const QByteArray written = readFile(loader.settingsPath());
        QVERIFY(written.startsWith("<?xml") && written.size() < 1024);
    }
};

QTEST_MAIN(TestLoader)
#include "test_loader.moc"
