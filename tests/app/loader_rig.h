#pragma once
// The real pelmora program, headless on its simulated board, with a private settings folder,
// flash file and shared-memory key; and what talks to it from outside: pelmora-prog, and a raw
// client that knows nothing of the program but the block's byte offsets.

#include "sharedmem/raw_block.h"
#include "support/hex_writer.h"

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>


constexpr int kLoaderWaitMs = 30000;

struct LoaderSetup {
    QString timing = QStringLiteral("instant");  // PELMORA_SIM_TIMING
    QString faults;                              // PELMORA_SIM_FAULTS
    // RLIMIT_FSIZE of the loader in bytes (-1: none). With ignoreFileSizeSignal the loader
    // starts with SIGXFSZ ignored, so a write over the limit fails with EFBIG instead of
    // killing it, whatever the loader does about the signal itself.
    qint64 fileSizeLimit = -1;
    bool ignoreFileSizeSignal = false;
    bool flashFile = true;  // PELMORA_SIM_FLASH in the loader's folder
    // Settings.xml as the loader finds it; by default one that remembers the simulated bridge,
    // so the loader connects to its board by itself.
    QByteArray settings = defaultSettings();
    static QByteArray defaultSettings();
    // The board at its real speed: an update takes seconds.
    static LoaderSetup realtime();
};

class LoaderProcess {
public:
    explicit LoaderProcess(const QString &key);
    ~LoaderProcess();

    void start(const LoaderSetup &setup = LoaderSetup());
    // Starts and waits until the loader has connected its board by itself.
    bool startConnected(const LoaderSetup &setup = LoaderSetup());
    // The log so far (the loader's log lines and whatever else it printed).
    QString log();
    int count(const QString &piece) { return log().count(piece); }
    // Waits (event loop running) until the log holds piece; false after ms.
    bool waitForLog(const QString &piece, int ms = kLoaderWaitMs);
    bool waitForBoard(int ms = kLoaderWaitMs) { return waitForLog(QStringLiteral("Open SiUsbDev"), ms); }
    void sendSignal(int signal);
    void kill();
    // True once the program has ended on its own (a normal exit).
    bool waitForExit(int ms = kLoaderWaitMs);
    bool running() const { return m_Process.state() != QProcess::NotRunning; }
    int exitCode() const { return m_Process.exitCode(); }
    QProcess::ExitStatus exitStatus() const { return m_Process.exitStatus(); }

    QString settingsFolder() const;
    QString settingsPath() const { return settingsFolder() + QStringLiteral("/Settings.xml"); }
    QString imagePath() const { return settingsFolder() + QStringLiteral("/firmware/TremlinFix_1_0_37.hex"); }
    QString flashPath() const { return m_Home.filePath(QStringLiteral("flash.bin")); }
    QByteArray flash() const;

private:
    QString m_Key;
    QTemporaryDir m_Home;
    QProcess m_Process;
    QString m_Log;
};

// pelmora-prog as a user runs it.
class ProgProcess {
public:
    ProgProcess(const QString &key, const QStringList &args);
    // Exit code; -2 when it crashed, -1 when it did not end within ms (it is killed then).
    int finish(int ms = kLoaderWaitMs);
    QString output() const { return m_Output; }
    qint64 pid() const { return m_Process.processId(); }
    bool waitForOutput(const QString &piece, int ms = kLoaderWaitMs);

private:
    void collect();
    QProcess m_Process;
    QString m_Output;
};

// A programming client written against the block's layout alone: request byte at 1, result
// (int32, little-endian) at 4, path at 9, StatusPelmora at 0, connection at 8.
class RawClient : public RawBlock {
public:
    using RawBlock::RawBlock;
    void ask(const QString &path)
    {
        write(9, path.toUtf8() + '\0');
        setRequest(1);
    }
    void setRequest(quint8 value) { write(1, QByteArray(1, char(value))); }
    void withdraw() { setRequest(0); }
    qint32 result() { return int32At(4); }
};

// Images and HEX files for the tests: random bytes, and a HEX file whose second record's
// checksum is wrong.
QByteArray randomImage(int bytes);
QByteArray badChecksumHex();
bool writeFile(const QString &path, const QByteArray &bytes);
QByteArray readFile(const QString &path);
