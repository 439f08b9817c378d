#pragma once
// Takes one board through one job of the command-line tool: a device object of its own (its
// own worker thread) opens the bridge by its display name, runs the job through the device
// object's own operations, and is closed and deleted when the job ends. Lives on the thread of
// the event loop, which receives the device object's signals queued.

#include "console_report.h"
#include "firmware_file.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <memory>
#include <mutex>

class BridgeLibrary;
class VX_SI_USBXpressDev;

class BoardRunner : public QObject {
    Q_OBJECT

public:
    enum class State { Idle, Opening, Running, Succeeded, Failed, Interrupted };

    struct Progress {
        QString phase;     // open, convert, reset/sync, identify, erase, write, verify, read, ...
        int done = 0;      // blocks of this phase
        int total = 0;     // 0 when the phase counts nothing
        qint64 elapsedMs = 0;
    };

    BoardRunner(std::shared_ptr<BridgeLibrary> library, const QString &boardName, QObject *parent = nullptr);
    ~BoardRunner() override;

    void startWrite(const FirmwareFile &file, bool verify);
    // length bytes of the flash from address, into readData().
    void startRead(quint32 address, quint32 length);
    void startReset();
    // Until interrupt(): the board's bytes (decoded from TLV frames when tlv) through output().
    void startMonitor(bool tlv);
    // Ctrl-C. A running update ends as a failure by the device object's own path, the bridge
    // closed under it (as a user's disconnect does); a monitor ends; the board is released.
    void interrupt();
    // A job that went well on the board but not after it (its result could not be saved).
    void failAfterwards(const QString &error);

    const QString &boardName() const { return m_BoardName; }
    State state() const { return m_State; }
    bool isDone() const;
    Progress progress() const;
    QString firstError() const;
    // Bytes of the image written, of the flash read, of the output shown.
    qint64 bytes() const { return m_Bytes; }
    const QByteArray &readData() const { return m_ReadData; }
    QString consoleText() const;

    // For the program's log handler: a line written on a device object's worker thread goes
    // into that board's report. False when the line belongs to no board.
    static bool attributeLogLine(const QString &line);

signals:
    void output(const QByteArray &bytes);
    void finished();

private:
    enum class Job { None, Write, Read, Reset, Monitor };

    void start(Job job);
    void onDeviceList();
    void onData(quint8 type);
    void onWriteFinished(qint8 result);
    void onConnectionClosed();
    void beginJob();
    void waitForUpdateEnd(qint8 result);
    void finish(State state, const QString &error = QString());
    void drainConsole();

    std::shared_ptr<BridgeLibrary> m_Library;
    QString m_BoardName;
    std::unique_ptr<VX_SI_USBXpressDev> m_Dev;
    Job m_Job = Job::None;
    State m_State = State::Idle;
    bool m_Open = false;
    bool m_Interrupted = false;
    bool m_Tlv = false;
    FirmwareFile m_File;
    bool m_Verify = true;
    quint32 m_ReadAddress = 0;
    quint32 m_ReadLength = 0;
    QByteArray m_ReadData;
    qint64 m_Bytes = 0;
    QElapsedTimer m_Clock;
    qint64 m_EndMs = -1;
    QString m_Error;

    // Filled on the event loop's thread and, for log lines, on the worker thread.
    mutable std::mutex m_ReportMutex;
    ConsoleReport m_Report;
};
