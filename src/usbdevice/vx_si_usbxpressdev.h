#pragma once
// The bridge device object: the only user of the bridge library. Device list, open/close,
// send/receive, pins (device_access.cpp); the 1 ms worker loop and its rings (worker_loop.cpp);
// HEX conversion (hex_conversion.cpp); the bootloader sequence (bootloader_sequence.cpp) and
// its read-back of the flash (flash_readback.cpp); update start, boot mode and console lines
// (update_start.cpp).

#include "bridge_library.h"
#include "byte_ring.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryFile>
#include <QThread>

#include <atomic>
#include <memory>
#include <mutex>

class VX_Debug_TLV_Server;

struct DeviceInfo {
    QString Description;
    QString SerialNumber;
    quint16 DeviceNum = 0;
    bool Present = false;
};

class VX_SI_USBXpressDev : public QThread {
    Q_OBJECT

public:
    // States of the bootloader sequence; the numbers appear in the "invalid State" message.
    enum FwState : quint32 {
        SM_FW_Idle = 0,
        SM_FW_ConvertHexFile = 1,
        SM_FW_EnterBootloaderSend = 2,
        SM_FW_EnterBootloaderReceive = 3,
        SM_FW_GetDeviceIDSend = 4,
        SM_FW_GetDeviceIDReceive = 5,
        SM_FW_EraseSend = 6,
        SM_FW_EraseReceive = 7,
        SM_FW_GlobalEraseSend = 8,
        SM_FW_GlobalEraseReceive = 9,
        SM_FW_WriteFileStart = 10,
        SM_FW_WriteFileSendCMD = 11,
        SM_FW_WriteFileReceiveCMD = 12,
        SM_FW_WriteFileSendAddr = 13,
        SM_FW_WriteFileReceiveAddr = 14,
        SM_FW_WriteFileSendData = 15,
        SM_FW_WriteFileReceiveData = 16,
        SM_FW_WriteFileFinish = 17,
        // Read-back of the written range, block by block, after the write.
        SM_FW_VerifyStart = 18,
        SM_FW_ReadMemSendCMD = 19,
        SM_FW_ReadMemReceiveCMD = 20,
        SM_FW_ReadMemSendAddr = 21,
        SM_FW_ReadMemReceiveAddr = 22,
        SM_FW_ReadMemSendCount = 23,
        SM_FW_ReadMemReceiveCount = 24,
        SM_FW_ReadMemReceiveData = 25,
        // A read of the flash into memory (startFlashRead): after the chip's ID, the same
        // read states, then the success ending.
        SM_FW_ReadFlashStart = 26,
        // Without the read-back: the line must stay quiet after the last block's ACK.
        SM_FW_WriteFileSettle = 27,
        SM_FW_LastState = SM_FW_WriteFileSettle,
    };

    // Where an update stands, for a caller on another thread (a progress display); Done and
    // Failed stay until the next start.
    enum class UpdatePhase : quint8 { Idle, Convert, Sync, Identify, Erase, Write, Verify, Done, Failed, Read };
    struct UpdateProgress {
        UpdatePhase phase = UpdatePhase::Idle;
        quint16 blocksDone = 0;   // of the current phase (write or verify); 0 in the others
        quint16 blocksTotal = 0;
    };

    static constexpr quint16 kLineControl8N1 = 0x0800;
    static constexpr quint16 kLineControl8E1 = 0x0820;
    static constexpr quint32 kBaudRate = 115200;
    static constexpr int kReadBufferSize = 4096;

    // library: the bridge backend (the process default when null). startWorker: start the
    // worker loop now; pass false to connect the signals first and call start() after, so the
    // first device list cannot be lost.
    explicit VX_SI_USBXpressDev(std::shared_ptr<BridgeLibrary> library = nullptr,
                                bool startWorker = true);
    ~VX_SI_USBXpressDev() override;

    // Device access.
    int openDevice(quint16 Index);
    int closeDev(bool Emit = false);
    bool isDeviceOpen() const { return m_DeviceOpen.load(std::memory_order_acquire); }
    void fillListOfDevice();
    int getDeviceInfo(quint16 DeviceNum, DeviceInfo &Info);
    QStringList getDeviceNameList() const;
    quint16 BytesAvailable();
    int ReadData(quint16 Count);
    quint16 sendData(const char *Data, quint16 Length);
    int flushBuffers();
    int setReset(bool Reset);
    int setBoot0(bool Boot0);
    // Restarts the chip into its application. A running update ends as a failure in the
    // worker's next pass, before it could take a byte of the restarted application for a
    // reply. Waits for the worker's current step, so a slot connected directly to this
    // object's signals (run inside that step) must not call it.
    void resetTarget();

    // Worker loop and rings.
    // On: a half-frame left from before the switch is dropped when resetDecoder is set.
    void setTLVMode(bool TLVMode, bool resetDecoder = false);
    bool isTLVMode() const { return m_TLVMode.load(std::memory_order_acquire); }
    quint16 getRxCount() const { return m_RxBuffer.count(); }
    quint16 getConsoleCount() const { return m_ConsoleBuffer.count(); }
    quint16 getTLVCount() const { return m_TLVBuffer.count(); }
    qint8 getRxByte(char &Byte) { return takeByte(m_RxBuffer, Byte); }
    qint8 getConsoleByte(char &Byte) { return takeByte(m_ConsoleBuffer, Byte); }
    qint8 getTLVByte(char &Byte) { return takeByte(m_TLVBuffer, Byte); }

    // HEX conversion (result codes 1, -1 ... -7).
    qint8 ConvertHex2BinFile(QFile &hexFile, QTemporaryFile &binFile);

    // Update start, boot mode, console lines.
    void SetBootModeOrbalo(bool enable);
    // Read the flash back after the write and compare it with the image. On unless the
    // environment holds PELMORA_VERIFY=0; this overrides the environment. Taken at each start.
    void setVerifyAfterWrite(bool verify) { m_VerifyAfterWrite.store(verify, std::memory_order_release); }
    bool verifyAfterWrite() const { return m_VerifyAfterWrite.load(std::memory_order_acquire); }
    UpdateProgress updateProgress() const;
    void writeConsoleLine(const QString &text);
    void writeConsoleText(const QString &text, bool lineBreak);

    // One pass of the worker loop without its sleep. For tests that drive the object step by
    // step with the worker not started; never call it while the worker runs.
    void pollOnce();

    // For the command-line tool (tool_entry_points.cpp). The backend ("sim", "usb") and the
    // holder of the bridge at Index of the list, as its library tells them (the holder is
    // empty when the bridge is free or nobody can tell).
    QString deviceBackend(quint16 Index) const;
    QString deviceHolder(quint16 Index) const;
    // Writes image from address (word aligned, inside the flash) through the same sequence a
    // HEX file goes: for raw binaries. False, with nothing started, when no bridge is open,
    // an update is under way or the image cannot be placed.
    bool startImageUpdate(const QByteArray &image, quint32 address);
    // Reads length bytes of the flash from address through the bootloader (reset, sync, ID,
    // Read Memory block by block; nothing is erased or written), then restarts the chip into
    // its application. Ends with SIGNAL_FirmwareWriteFinish like an update: 1 when every byte
    // was read. False, with nothing started, as for startImageUpdate.
    bool startFlashRead(quint32 address, quint32 length);
    // The bytes of the last read; call once it has ended.
    QByteArray flashReadData() const { return m_FlashReadData; }

    bool isBootloaderActive() const { return m_BootloaderActive.load(std::memory_order_acquire); }
    quint32 firmwareState() const { return m_FwState.load(std::memory_order_acquire); }
    BridgeLibrary &library() const { return *m_Library; }

signals:
    void SIGNAL_newDataAvailable(quint8 DataType);
    void SIGNAL_connectionClosed();
    void SIGNAL_newDeviceListAvailable();
    void SIGNAL_FirmwareWriteFinish(qint8 Result);

public slots:
    void SLOT_StartFirmwareUpdate(QString Path2HexFile);

protected:
    void run() override;

private:
    static qint8 takeByte(ByteRing &ring, char &byte);
    int setLineControl(quint16 lineControl);  // returns the library's status
    void publishDeviceList();
    void receiveStep();
    void feedDecoder();
    void drainDecoder();
    void startUpdate(const QString &path);
    void startDeferredUpdate();
    void updateStep();
    void WriteFirmware_Handler();
    static bool continuesInSamePass(quint32 from, quint32 to);

    // Pieces of the sequence's steps (bootloader_sequence.cpp; endings and progress in
    // update_endings.cpp).
    enum class Reply { None, Ack, Nack, Other };
    Reply takeReply(quint8 &byte);
    void sendFrame(const quint8 *frame, quint16 length);
    void sendAddressFrame(quint32 address);
    void getDeviceIdStep();
    void setFwState(quint32 state) { m_FwState.store(state, std::memory_order_release); }
    void failUpdate(const QString &message);
    bool strictAckStep(const char *wait, quint16 blocksLeft);
    void dropLeftovers();
    void failureEnding(bool leaveBootMode);
    void endUpdate(qint8 result, bool leaveBootMode);
    void endUpdateResetByHost();
    void publishProgress();
    void storeProgress(UpdatePhase phase, quint16 done, quint16 total);

    // The read-back (flash_readback.cpp): the read states serve any job that reads the flash
    // block by block; the job decides what each block is for and where the sequence goes after
    // the last one.
    enum class ReadJob { Verify, Store };
    void startVerify();
    void startReadToMemory();
    // No bridge open or an update under way: logged under origin. Called with m_PendingMutex held.
    bool idleForStart(const char *origin);
    // What every kind of update starts from; the caller sets m_BootloaderActive after it.
    void prepareUpdate(quint32 firstState, UpdatePhase phase, bool flashRead);
    void readBackStep(quint32 state);
    bool consumeReadBlock(const quint8 *data, quint32 length);
    bool verifyBlock(const quint8 *data, quint32 length);
    quint32 readJobEndState() const;
    void storeConsoleBytes(const QByteArray &bytes);
    void flushConsoleBacklog();

    std::shared_ptr<BridgeLibrary> m_Library;

    // Device list: rebuilt on the worker thread only; the GUI sees the published snapshot.
    QList<DeviceInfo *> m_DeviceList;
    mutable std::mutex m_DeviceSnapshotMutex;
    QStringList m_DeviceNames;          // display names, list order
    QList<quint16> m_DeviceNumbers;     // DeviceNum of each listed bridge
    bool m_DeviceListChanged = true;

    // std::mutex rather than QMutex so ThreadSanitizer sees the locking.
    // One call at a time on the open handle, so a close never races a read of the worker.
    std::mutex m_IoMutex;
    std::atomic<SiHandle> m_DeviceHandle{kNoSiHandle};
    std::atomic<bool> m_DeviceOpen{false};
    std::atomic<qint16> m_OpenDeviceNum{-1};

    // Worker loop.
    ByteRing m_RxBuffer;
    ByteRing m_ConsoleBuffer;
    ByteRing m_TLVBuffer;
    std::atomic<bool> m_RunThread{true};
    std::atomic<bool> m_TLVMode{false};
    std::atomic<bool> m_TLVResetRequest{false};
    std::atomic<bool> m_BootloaderActive{false};
    // Held by the worker for the update part of each pass and by a host action that breaks
    // the bootloader dialogue (the reset), so such an action never falls inside a step.
    std::mutex m_StepMutex;
    std::atomic<bool> m_ResetDuringUpdate{false};
    quint16 m_ListRefreshCount = 0;
    VX_Debug_TLV_Server *m_TLVServer = nullptr;

    // Console text that did not fit the ring yet; written in order before any newer text.
    std::mutex m_ConsoleMutex;
    QByteArray m_ConsoleBacklog;

    // Firmware update.
    QString m_HexFilePath;
    QFile m_HexFile;
    QTemporaryFile m_BinFile;
    std::atomic<quint32> m_FwState{SM_FW_Idle};
    quint16 m_FwTimeout = 0;
    qint16 m_FwRetry = -1;
    quint16 m_FwBlocksLeft = 0;
    quint32 m_FwBytesLeft = 0;
    quint32 m_FwAddress = 0;
    quint32 m_FwStartAddress = 0x08000000;  // where the image's first byte goes
    // A read of the flash into memory rather than an update (startFlashRead).
    bool m_FlashRead = false;
    quint32 m_FlashReadAddress = 0;
    quint32 m_FlashReadLength = 0;
    QByteArray m_FlashReadData;
    quint16 m_FwBlocksTotal = 0;
    bool m_FwVerify = true;                       // this update reads the flash back
    std::atomic<bool> m_VerifyAfterWrite{true};   // what the next start takes
    // Read-back of the flash.
    ReadJob m_ReadJob = ReadJob::Verify;
    quint32 m_ReadAddress = 0;     // next block's address
    quint32 m_ReadBytesLeft = 0;
    quint32 m_ReadBlockSize = 0;   // bytes of the block being read
    quint16 m_ReadBlocksLeft = 0;
    quint16 m_ReadBlocksTotal = 0;
    QByteArray m_VerifyImage;      // the image as written, padding included
    // Phase, blocks done and blocks total, packed so a reader sees them together.
    std::atomic<quint64> m_Progress{0};
    // A start that arrived while an update ran; taken by the worker when that one has ended.
    std::mutex m_PendingMutex;
    QStringList m_PendingStarts;
};
