// The real program against writes that really fail (a file-size limit: write() ends with EFBIG,
// as it ends with ENOSPC on a full disk) and against settings files a user may have: nothing on
// disk is lost, and the program neither dies nor refuses to start.
#include "loader_rig.h"

#include "sharedmem/shm_test_key.h"

#include <QDir>
#include <QtTest>

#include <csignal>

namespace {

// Written in a layout of its own, so that any rewrite by the loader would show.
const QByteArray kOwnLayout = "<?xml version=\"1.0\"?><Settings>"
                              "<SettingsDebugComMode>1</SettingsDebugComMode>"
                              "<SettingsUsbDevName>Orbalo Mini (simulated) [0x0001]</SettingsUsbDevName>"
                              "<SettingsPathHexFile>/home/user/app.hex</SettingsPathHexFile>"
                              "</Settings>";

QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

// A Settings.xml of `megabytes` MiB: its path value is nearly all of it.
bool writeHugeSettings(const QString &path, int megabytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    file.write("<?xml version=\"1.0\"?>\n<Settings>\n    <SettingsPathHexFile>/");
    const QByteArray chunk(1024 * 1024, 'x');
    for (int i = 0; i < megabytes; ++i)
        file.write(chunk);
    file.write(".hex</SettingsPathHexFile>\n    <SettingsUsbDevName>Orbalo Mini (simulated) [0x0001]"
               "</SettingsUsbDevName>\n</Settings>\n");
    return file.error() == QFileDevice::NoError;
}

} // namespace

class TestLoaderFiles : public QObject {
    Q_OBJECT

    // Starts a loader on a folder that an earlier run has filled (settings and image).
    static void earlierRun(LoaderProcess &loader)
    {
        loader.start();
        QVERIFY(loader.waitForLog(QStringLiteral("Start Programm")));
        loader.sendSignal(SIGTERM);
        QVERIFY(loader.waitForExit());
        QVERIFY(QFile::exists(loader.imagePath()));
    }

private slots:
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
        const QString key = uniqueShmKey("files");
        LoaderProcess loader(key);
        if (settingsWrite) {
            earlierRun(loader);
            QVERIFY(writeFile(loader.settingsPath(), kOwnLayout));
        }
        const QStringList before = entries(loader.settingsFolder());

        LoaderSetup setup;
        setup.fileSizeLimit = limit;
        setup.ignoreFileSizeSignal = ignoreSignal;
        setup.flashFile = false;
        QVERIFY(loader.startConnected(setup));
        loader.sendSignal(SIGTERM);
        QVERIFY2(loader.waitForExit(), qPrintable(loader.log().right(2000)));
        QCOMPARE(loader.exitCode(), 0);

        if (settingsWrite) {
            QCOMPARE(readFile(loader.settingsPath()), kOwnLayout);
            QVERIFY(loader.log().contains(QStringLiteral("Unable to replace settings file")));
            QCOMPARE(entries(loader.settingsFolder()), before);
            return;
        }
        // No image, and nothing half-written that a later start could take for one.
        QVERIFY(loader.log().contains(QStringLiteral("Unable to write Tremlin hex file")));
        QCOMPARE(entries(loader.settingsFolder() + QStringLiteral("/firmware")), QStringList());
        LoaderProcess again(key);
        again.start();
        QVERIFY(again.waitForLog(QStringLiteral("Create New Tremlin Hex File")));
    }

    void hugeSettingsFile_startsWithDefaults_andKeepsItAsBackup()
    {
        const QString key = uniqueShmKey("hugesettings");
        LoaderProcess loader(key);
        QVERIFY(QDir().mkpath(loader.settingsFolder()));
        QVERIFY(writeHugeSettings(loader.settingsPath(), 150));
        const qint64 size = QFileInfo(loader.settingsPath()).size();
        loader.start();
        QVERIFY(loader.waitForLog(QStringLiteral("Start Programm")));
        QTest::qWait(1000);  // the window is up and painted
        QVERIFY2(loader.running(), qPrintable(loader.log().right(2000)));
        loader.sendSignal(SIGTERM);
        QVERIFY2(loader.waitForExit(), qPrintable(loader.log().right(2000)));
        QCOMPARE(loader.exitCode(), 0);
        QVERIFY(loader.log().contains(QStringLiteral("Settings file too large")));
        QCOMPARE(QFileInfo(loader.settingsPath() + QStringLiteral(".bak")).size(), size);
        const QByteArray written = readFile(loader.settingsPath());
        QVERIFY(written.startsWith("<?xml"));
        QVERIFY(written.size() < 1024);
    }
};

QTEST_MAIN(TestLoaderFiles)
#include "test_loader_files.moc"
