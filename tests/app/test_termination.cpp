// The real program, ended by SIGTERM or SIGINT as a service manager or a terminal's Ctrl-C
// would: it must leave as the close button does, with its settings written and the shared
// block's "loader running" byte cleared.
#include "sharedmem/programming_client.h"
#include "sharedmem/shm_test_key.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

class TestTermination : public QObject {
    Q_OBJECT
private slots:
    void signal_endsLikeTheCloseButton_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
    }
    void signal_endsLikeTheCloseButton()
    {
        QFETCH(int, signal);
        QTemporaryDir home;
        const QString key = uniqueShmKey("term");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_DATA_HOME"), home.path());
        env.insert(QStringLiteral("PELMORA_SHM_KEY"), key);
        env.insert(QStringLiteral("PELMORA_BRIDGE"), QStringLiteral("sim"));
        env.insert(QStringLiteral("PELMORA_SIM_TIMING"), QStringLiteral("instant"));
        QProcess loader;
        loader.setProcessEnvironment(env);
        loader.setProcessChannelMode(QProcess::MergedChannels);
        loader.start(QStringLiteral(PELMORA_BINARY), {QStringLiteral("-platform"), QStringLiteral("offscreen")});
        QVERIFY(loader.waitForStarted());

        ProgrammingClient client(key);
        SharedMemSnapshot s;
        QTRY_VERIFY_WITH_TIMEOUT(client.isAttached() || client.attachExisting(nullptr), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(client.read(&s) && s.pelmoraRunning, 20000);

        ::kill(pid_t(loader.processId()), signal);
        QVERIFY(loader.waitForFinished(20000));
        QCOMPARE(loader.exitStatus(), QProcess::NormalExit);
        QCOMPARE(loader.exitCode(), 0);
        const QByteArray log = loader.readAll();
        QVERIFY2(log.contains("Write Content"), log.right(2000).constData());
        QVERIFY(QFile::exists(home.filePath(QStringLiteral("Zorvane/Pelmora/Settings.xml"))));
        QVERIFY(client.read(&s));
        QVERIFY(!s.pelmoraRunning);
    }
};

QTEST_GUILESS_MAIN(TestTermination)
#include "test_termination.moc"
