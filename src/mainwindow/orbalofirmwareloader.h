#pragma once
// The main window: owns the settings, the bridge device object and the shared-memory link,
// wires them together, and turns the user's clicks and the objects' notifications into
// commands (window_commands.cpp) and console output (window_console.cpp).

#include "mainwindow/console_html.h"

#include <QByteArray>
#include <QList>
#include <QMainWindow>
#include <QMutex>
#include <QString>
#include <QTimer>

namespace Ui {
class OrbaloFirmwareLoader;
}

class QErrorMessage;
class VX_SI_USBXpressDev;
class VX_SharedMemSocked;
class VX_XML_Settings;

class OrbaloFirmwareLoader : public QMainWindow {
    Q_OBJECT

public:
    explicit OrbaloFirmwareLoader(QWidget *parent = nullptr);
    ~OrbaloFirmwareLoader() override;

    // Board output and messages held back for the next flush are bounded by this many bytes
    // each; beyond it the bytes wait in the device object's rings (and the bridge) instead.
    static constexpr int kQueueLimit = 64 * 1024;

    // For tests and the headless run: the owned objects and the warning of a second instance.
    VX_SI_USBXpressDev *usbDevice() const { return m_pUsbDevice; }
    VX_SharedMemSocked *sharedMem() const { return m_pSharedMem; }
    VX_XML_Settings *settings() const { return m_pSettings; }
    QErrorMessage *instanceWarning() const { return m_pInstanceWarning; }
    QString hexFilePath() const { return m_HexFilePath; }

signals:
    void SIGNAL_StartFirmwareUpdate(QString Path2HexFile);

public slots:
    void on_m_pBConnect_clicked();
    void SLOT_ProgrammingRequestPendig();
    void SLOT_newDataAvailable(quint8 DataType);
    void SLOT_newDeviceListAvailable();
    void SLOT_connectionClosed();
    void SLOT_FirmwareWriteFinish(qint8 Result);
    void SLOT_ProgrammingFinished(qint16 eResult);
    void on_m_clear_clicked();
    void on_m_pBclose_clicked();
    void SLOT_window_pos_change(int DeltaX, int DeltaY);
    void on_m_pBSearch_clicked();
    void on_m_ListDev_currentRowChanged(int currentRow);
    void on_m_pBSearch_2_clicked();
    void on_m_pBWriteFirmware_clicked();
    void on_m_pBCloseHexFile_clicked();
    void on_m_pBTremlin_clicked();
    void on_m_pBResetOB_clicked();
    void SLOT_PrintConsole();
    void on_m_rB_SerialMode_clicked();
    void on_m_rB_TLVMode_clicked();

private:
    void appendDebugText(const char *data, int length);
    void insertDebugText(const char *data, int length);
    void queueMessage(const QString &html);
    // Moves what the ring of DataType holds, as far as its queue has room.
    void pullRing(quint8 DataType, bool notified);
    // request: the client's request the update answers; 0 for the window's own updates.
    void startUpdate(const QString &path, quint32 request);
    void startClientUpdate(quint32 request);
    // The no-bridge state after a disconnect (by the user: forgetName) or the bridge's loss.
    void showDisconnected(bool forgetName);
    QString currentRowText() const;
    void setTitleForHexFile(const QString &path);

    Ui::OrbaloFirmwareLoader *ui;
    VX_SI_USBXpressDev *m_pUsbDevice = nullptr;
    QString m_HexFilePath;
    VX_XML_Settings *m_pSettings = nullptr;
    VX_SharedMemSocked *m_pSharedMem = nullptr;
    QByteArray m_DebugQueue;
    QByteArray m_MessageQueue;
    QMutex m_QueueMutex;
    QTimer m_ConsoleTimer;

    // Converters keep what a flush boundary cut (a colour sequence, a UTF-8 character).
    ConsoleHtmlConverter m_BoardConverter{ConsoleHtmlConverter::Stream::Board};
    ConsoleHtmlConverter m_MessageConverter{ConsoleHtmlConverter::Stream::Message};
    // For each update handed to the device object and not yet answered, oldest first, the
    // client's request it serves (0: the window's own). The device object answers every update
    // once and in order, so a result goes to the very request that asked for it.
    QList<quint32> m_UpdateRequests;
    // A client's request that waits for the device object to finish the update it runs; a
    // request that comes while one waits takes its place, so toggling queues nothing.
    quint32 m_WaitingRequest = 0;
    // A ring whose bytes did not all fit into their queue; the next flush comes back for them.
    bool m_RingLeftBehind[3] = {false, false, false};
    // The name of the bridge opened last, for messages when no list row is current.
    QString m_ConnectedName;
    QErrorMessage *m_pInstanceWarning = nullptr;
};
