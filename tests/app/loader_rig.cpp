#include "loader_rig.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QtTest>

#include <csignal>

#include <signal.h>

namespace {

// Spins the event loop until done() or ms have passed.
template <typename Done>
bool waitUntil(Done done, int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > ms)
            return false;
        QTest::qWait(10);
    }
    return true;
}

} // namespace

QByteArray LoaderSetup::defaultSettings()
{
    return "<?xml version=\"1.0\"?>\n<Settings>\n"
           "    <SettingsPathHexFile></SettingsPathHexFile>\n"
           "    <SettingsUsbDevName>Orbalo Mini (simulated) [0x0001]</SettingsUsbDevName>\n"
           "    <SettingsDebugComMode> 0</SettingsDebugComMode>\n"
           "</Settings>\n";
}

LoaderSetup LoaderSetup::realtime()
{
    LoaderSetup setup;
    setup.timing = QStringLiteral("realtime");
    return setup;
}

LoaderProcess::LoaderProcess(const QString &key) : m_Key(key)
{
    m_Process.setProcessChannelMode(QProcess::MergedChannels);
}

LoaderProcess::~LoaderProcess()
{
    if (!running())
        return;
    // Ended as a user would: a killed loader would leave its System V segment behind for good.
    sendSignal(SIGTERM);
    if (!m_Process.waitForFinished(kLoaderWaitMs)) {
        m_Process.kill();
        m_Process.waitForFinished(kLoaderWaitMs);
    }
}

QString LoaderProcess::settingsFolder() const
{
    return m_Home.filePath(QStringLiteral("data/Zorvane/Pelmora"));
}

void LoaderProcess::start(const LoaderSetup &setup)
{
    QVERIFY(m_Home.isValid());
    m_Log.clear();
    QVERIFY(QDir().mkpath(settingsFolder()));
    if (!QFile::exists(settingsPath()))
        QVERIFY(writeFile(settingsPath(), setup.settings));

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_DATA_HOME"), m_Home.filePath(QStringLiteral("data")));
    env.insert(QStringLiteral("PELMORA_SHM_KEY"), m_Key);
    env.insert(QStringLiteral("PELMORA_BRIDGE"), QStringLiteral("sim"));
    env.insert(QStringLiteral("PELMORA_SIM_TIMING"), setup.timing);
    env.remove(QStringLiteral("PELMORA_SIM_FAULTS"));
    env.remove(QStringLiteral("PELMORA_SIM_FLASH"));
    if (!setup.faults.isEmpty())
        env.insert(QStringLiteral("PELMORA_SIM_FAULTS"), setup.faults);
    if (setup.flashFile)
        env.insert(QStringLiteral("PELMORA_SIM_FLASH"), flashPath());
    m_Process.setProcessEnvironment(env);

    const QString loader = QStringLiteral(PELMORA_BINARY);
    const QStringList args{QStringLiteral("-platform"), QStringLiteral("offscreen")};
    if (setup.fileSizeLimit < 0) {
        m_Process.start(loader, args);
    } else {
        const QString limit = QStringLiteral("--fsize=%1:%1").arg(setup.fileSizeLimit);
        // An ignored signal stays ignored across exec, so the shell's trap reaches the loader.
        const QString script = setup.ignoreFileSizeSignal
            ? QStringLiteral("trap '' XFSZ; exec prlimit %1 -- \"$0\" \"$@\"").arg(limit)
            : QStringLiteral("exec prlimit %1 -- \"$0\" \"$@\"").arg(limit);
        m_Process.start(QStringLiteral("sh"), QStringList{QStringLiteral("-c"), script, loader} + args);
    }
    QVERIFY(m_Process.waitForStarted(kLoaderWaitMs));
}

bool LoaderProcess::startConnected(const LoaderSetup &setup)
{
    start(setup);
    return !QTest::currentTestFailed() && waitForBoard();
}

QString LoaderProcess::log()
{
    m_Log += QString::fromUtf8(m_Process.readAll());
    return m_Log;
}

bool LoaderProcess::waitForLog(const QString &piece, int ms)
{
    return waitUntil([&] { return log().contains(piece) || !running(); }, ms) && log().contains(piece);
}

void LoaderProcess::sendSignal(int signal)
{
    ::kill(pid_t(m_Process.processId()), signal);
}

void LoaderProcess::kill()
{
    m_Process.kill();
    m_Process.waitForFinished(kLoaderWaitMs);
    log();
}

bool LoaderProcess::waitForExit(int ms)
{
    const bool ended = waitUntil([&] { return !running(); }, ms);
    log();
    return ended && m_Process.exitStatus() == QProcess::NormalExit;
}

QByteArray LoaderProcess::flash() const
{
    return readFile(flashPath());
}

ProgProcess::ProgProcess(const QString &key, const QStringList &args)
{
    m_Process.setProcessChannelMode(QProcess::MergedChannels);
    m_Process.start(QStringLiteral(PELMORA_PROG_BINARY), QStringList{QStringLiteral("--key"), key} + args);
    m_Process.waitForStarted(kLoaderWaitMs);
}

void ProgProcess::collect()
{
    m_Output += QString::fromUtf8(m_Process.readAll());
}

bool ProgProcess::waitForOutput(const QString &piece, int ms)
{
    return waitUntil([&] { collect(); return m_Output.contains(piece); }, ms);
}

int ProgProcess::finish(int ms)
{
    const bool ended = waitUntil([&] { return m_Process.state() == QProcess::NotRunning; }, ms);
    collect();
    if (!ended) {
        m_Process.kill();
        m_Process.waitForFinished();
        return -1;
    }
    return m_Process.exitStatus() == QProcess::NormalExit ? m_Process.exitCode() : -2;
}

QByteArray randomImage(int bytes)
{
    QByteArray image(bytes, '\0');
    for (char &c : image)
        c = char(QRandomGenerator::global()->bounded(256));
    return image;
}

QByteArray badChecksumHex()
{
    QByteArray hex = toIntelHex(randomImage(256));
    const int second = hex.indexOf('\n') + 1;
    const int end = hex.indexOf('\r', second);
    // The last two digits of the record are its checksum.
    hex[end - 1] = hex[end - 1] == '0' ? '1' : '0';
    return hex;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
