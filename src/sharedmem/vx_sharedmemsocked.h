#pragma once
// The loader's side of the block shared with the programming client: joins or creates it,
// reads and writes single fields under the block's inter-process lock, and polls it every
// millisecond to turn the client's changes into signals.

#include "sharedmem/shared_mem_block.h"

#include <QMutex>
#include <QSharedMemory>
#include <QString>
#include <QThread>

#include <atomic>

class VX_SharedMemSocked : public QThread {
    Q_OBJECT
public:
    // startThread = false lets the owner connect the signals first and then call start(), so a
    // request the client set before the loader came up is not signalled into the void.
    explicit VX_SharedMemSocked(const QString &key, bool startThread = true, QObject *parent = nullptr);
    ~VX_SharedMemSocked() override;

    bool isStatusPelmoraSet();
    bool isStatusProgrammingRequestSet();
    QString getPath2Hexfile();
    void setStatusPelmora(quint8 value);
    void setStatusOrbaloConnection(quint8 value);
    void setNameOfConnectedDevice(const QString &name);
    void setProgrammingResult(int result);

    bool isStatusOrbaloConnectionSet();
    QString getNameOfConnectedDevice();
    int getProgrammingResult();
    bool isAttached() const { return m_SharedMemory.isAttached(); }

    // A path taken from the block is a stranger's text: it gets the checks a path picked in
    // the file dialog gets (not empty, exists, a regular file) before anything is erased.
    static bool isUsableHexPath(const QString &path, QString *why);

signals:
    void SIGNAL_ProgrammingRequestPendig();
    void SIGNAL_ProgrammingFinished(qint16 eResult);

protected:
    void run() override;

private:
    // Holds the block for one access. QSharedMemory keeps its own "locked" flag without any
    // guard, so two threads of this process must not lock the same object at once: the mutex
    // orders the GUI thread and the polling thread, the segment's lock orders the processes.
    SharedMemBlock *lockBlock(const char *origin);
    void unlockBlock();

    QSharedMemory m_SharedMemory;
    SharedMemBlock *m_pBlock = nullptr;
    SharedMemBlock m_LastState{};  // guarded by m_ThreadLock
    QString m_Key;
    std::atomic<bool> m_RunThread{true};
    QMutex m_ThreadLock;
};
