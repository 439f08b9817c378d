#pragma once
// The loader's side of the block shared with the programming client: joins or creates it,
// publishes this side's fields, and polls it every millisecond to turn the client's changes
// into signals.
//
// The block's inter-process lock may be held by a foreign client for as long as it likes, and
// QSharedMemory waits for it without a time-out. So only the polling thread (and, before it
// runs or after it ended, the owner) exchanges data with the block, through a gate that never
// waits longer than asked (shared_segment_gate.h). An accessor asks for an exchange and waits
// a short while for it: it reads what the last exchange saw, and a write it could not wait
// for goes into the block with the next exchange.
//
// Exactly one loader on a key serves programming requests: the one that holds the serving
// lock file next to the key. Another instance runs all the same but leaves the requests, the
// result and the connection fields alone, and takes over once the first has ended.

#include "sharedmem/shared_mem_block.h"
#include "sharedmem/shared_mem_poll.h"

#include <QLockFile>
#include <QString>
#include <QThread>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

class SharedSegmentGate;

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
    bool isAttached() const;
    bool isServing() const { return m_Serving.load(std::memory_order_acquire); }

    // Every rise of the request byte that a serving link sees gets the next number. The number
    // of the request that is set now; 0 when none is (it was withdrawn) or this link does not
    // serve.
    quint32 currentRequestId();
    // The result of request `id`: written only while that very request is still set. The
    // result for a request that was withdrawn (or followed by a later one) is dropped.
    void answerRequest(quint32 id, int result);

    // A path taken from the block is a stranger's text: it gets the checks a path picked in
    // the file dialog gets (not empty, exists, a regular file) before anything is erased.
    static bool isUsableHexPath(const QString &path, QString *why);

signals:
    void SIGNAL_ProgrammingRequestPendig();
    void SIGNAL_ProgrammingFinished(qint16 eResult);

protected:
    void run() override;

private:
    enum class Attach { Pending, Attached, Detached };
    enum class PassKind { Owner, Poll, Final };

    // Writes of this side that have not reached the block yet.
    struct Writes {
        int status = -1;  // StatusPelmora; -1: nothing to write
        int connection = -1;
        bool nameSet = false;
        QString name;
        bool resultSet = false;
        qint32 result = kResultNone;
        struct Answer {
            quint32 id;
            qint32 result;
        };
        std::vector<Answer> answers;
    };

    bool completeJoin(int waitMs);
    void tryToServe(bool retry);
    // One exchange with the block under its lock; false when the lock was not had in time.
    bool exchange(PassKind kind, int lockWaitMs, PollOutcome *outcome);
    void applyWrites(SharedMemBlock &block, bool serving);
    void applyAnswers(SharedMemBlock &block, bool serving);
    void checkStale(SharedMemBlock &block);
    void takeOver(const SharedMemBlock &block);
    void endServing(SharedMemBlock &block);
    // Brings the accessors' view up to date, waiting a short while at most.
    void refresh();
    // False (with the error line) when the block is not there.
    bool usable(const char *origin) const;
    template <typename Change>
    void write(const char *origin, Change change);
    template <typename Read>
    auto read(const char *origin, Read reader);

    std::unique_ptr<SharedSegmentGate> m_Gate;
    QString m_Key;
    QLockFile m_ServeLock;
    std::atomic<bool> m_RunThread{true};
    std::atomic<bool> m_Serving{false};
    std::atomic<Attach> m_Attach{Attach::Pending};
    // The polling thread's last exchange found the lock taken: accessors do not wait then.
    std::atomic<bool> m_LockBusy{false};

    // One exchange at a time (the polling thread, or the owner while it does not run).
    std::mutex m_ExchangeMutex;
    // Guards everything below; never held while waiting for the block's lock.
    std::mutex m_StateMutex;
    std::condition_variable m_Wake;      // an accessor wants an exchange now
    bool m_WakeWanted = false;
    std::condition_variable m_Exchanged; // an exchange has ended
    SharedMemBlock m_LastState{};
    SharedMemBlock m_Seen{};  // the block as the last exchange left it
    Writes m_Writes;
    quint64 m_ExchangesBegun = 0;
    quint64 m_ExchangesDone = 0;
    bool m_StaleChecked = false;
    bool m_TookOver = false;
    quint32 m_RequestId = 0;
    quint32 m_CurrentRequest = 0;
    // This side's own connection fields, published again when this link takes over.
    int m_OwnConnection = -1;
    bool m_OwnNameSet = false;
    QString m_OwnName;
};
