// The link's exchanges with the block: joining it, deciding who serves, and the polling loop.
#include "sharedmem/vx_sharedmemsocked.h"

#include "app/log.h"
#include "sharedmem/segment_users.h"
#include "sharedmem/shared_segment_gate.h"

#include <QElapsedTimer>

#include <cstring>

namespace {

constexpr const char *kCtor = "VX_SharedMemSocked::VX_SharedMemSocked";
constexpr const char *kDtor = "VX_SharedMemSocked::~VX_SharedMemSocked";
constexpr const char *kRun = "VX_SharedMemSocked::run";
constexpr const char *kServe = "VX_SharedMemSocked::serve";
constexpr const char *kAnswer = "VX_SharedMemSocked::answerRequest";

// How long the polling thread waits for the lock per pass, and how often a loader that does
// not serve looks whether the one that serves has ended.
constexpr int kPollLockWaitMs = 50;
constexpr int kServeRetryMs = 500;
// A lock held longer than this by the other side is worth a line in the log.
constexpr int kLockHeldReportMs = 1000;

// The state a block this side creates starts in.
void initialiseBlock(void *data, int)
{
    auto *block = static_cast<SharedMemBlock *>(data);
    block->StatusPelmora = 0;
    writeProgrammingResult(*block, kResultNone);
    block->StatusProgrammingRequest = 0;
    block->StatusOrbaloConnection = 0;
    block->Path2Hexfile[0] = '\0';
}

} // namespace

bool VX_SharedMemSocked::completeJoin(int waitMs)
{
    const Attach state = m_Attach.load(std::memory_order_acquire);
    if (state != Attach::Pending)
        return state == Attach::Attached;
    switch (m_Gate->join(kSharedMemBlockSize, &initialiseBlock, waitMs)) {
    case SharedSegmentGate::Join::Pending:
        return false;
    case SharedSegmentGate::Join::Created: {
        logStatus(kCtor, "Create Sharedmemory %d Bytes", m_Gate->size());
        std::lock_guard<std::mutex> l(m_StateMutex);
        m_StaleChecked = true;  // made just now: nothing in it is left from anybody
        break;
    }
    case SharedSegmentGate::Join::Joined:
        logStatus(kCtor, "Join Sharedmemory %d Bytes", m_Gate->size());
        if (m_Gate->size() < kSharedMemBlockSize) {
            // A foreign segment under our key: touching it would run past its end.
            logError(kCtor, "Sharedmemory too small: %d Bytes", m_Gate->size());
            m_Attach.store(Attach::Detached, std::memory_order_release);
            return false;
        }
        break;
    case SharedSegmentGate::Join::Failed:
        logError(kCtor, "Unabel to create Sharedmomory");
        logStatus(kCtor, "Create Sharedmemory %d Bytes", 0);
        m_Attach.store(Attach::Detached, std::memory_order_release);
        return false;
    }
    m_Attach.store(Attach::Attached, std::memory_order_release);
    return true;
}

void VX_SharedMemSocked::tryToServe(bool retry)
{
    if (isServing())
        return;
    if (!m_ServeLock.tryLock(0) && m_ServeLock.error() == QLockFile::LockFailedError) {
        if (!retry)
            logStatus(kServe, "Another loader serves programming requests on this key: not serving while it runs");
        return;
    }
    if (m_ServeLock.error() != QLockFile::NoError) {
        // Without a place for the lock file, serving as if alone beats never serving.
        logError(kServe, "Serving lock file not possible (error %d): serving regardless",
                 int(m_ServeLock.error()));
    }
    m_Serving.store(true, std::memory_order_release);
    if (retry) {
        logStatus(kServe, "The loader before this one ended: now serving programming requests");
        std::lock_guard<std::mutex> l(m_StateMutex);
        m_TookOver = true;
    }
}

void VX_SharedMemSocked::checkStale(SharedMemBlock &block)
{
    // Only this process is attached: every byte is a leftover of processes that ended without
    // detaching, a request among them asked by a client that no longer waits for it.
    if (segmentAttachCount(&block) != 1)
        return;
    static const SharedMemBlock kInitial{};
    if (std::memcmp(&block, &kInitial, sizeof block) == 0)
        return;
    logStatus(kCtor, "Stale Sharedmemory left by ended processes%s: reset to initial state",
              block.StatusProgrammingRequest != 0 ? ", its programming request not served" : "");
    block = kInitial;
}

void VX_SharedMemSocked::takeOver(const SharedMemBlock &block)
{
    m_TookOver = false;
    // The fields the loader before this one left describe its board, not this one's.
    if (m_OwnConnection >= 0 && m_Writes.connection < 0)
        m_Writes.connection = m_OwnConnection;
    if (m_OwnNameSet && !m_Writes.nameSet) {
        m_Writes.nameSet = true;
        m_Writes.name = m_OwnName;
    }
    // The loader before this one cleared the running byte as it ended; one still runs.
    if (m_LastState.StatusPelmora != 0 && m_Writes.status < 0)
        m_Writes.status = m_LastState.StatusPelmora;
    // A request that nobody has answered is this loader's to serve now.
    if (block.StatusProgrammingRequest == 1 && readProgrammingResult(block) == kResultNone)
        m_LastState.StatusProgrammingRequest = 0;
}

void VX_SharedMemSocked::applyWrites(SharedMemBlock &block, bool serving)
{
    Writes &w = m_Writes;
    if (w.status >= 0) {
        block.StatusPelmora = quint8(w.status);
        m_LastState.StatusPelmora = quint8(w.status);
    }
    // The fields that describe the serving loader are that loader's alone.
    if (serving) {
        if (w.connection >= 0)
            block.StatusOrbaloConnection = quint8(w.connection);
        if (w.nameSet)
            writeBoundedText(block.NameOfConnectedDevice, kNameOfConnectedDeviceWidth, w.name);
        if (w.resultSet)
            writeProgrammingResult(block, w.result);
    }
    w.status = -1;
    w.connection = -1;
    w.nameSet = false;
    w.name.clear();
    w.resultSet = false;
}

void VX_SharedMemSocked::applyAnswers(SharedMemBlock &block, bool serving)
{
    for (const Writes::Answer &a : m_Writes.answers) {
        if (serving && a.id != 0 && a.id == m_CurrentRequest && block.StatusProgrammingRequest == 1) {
            writeProgrammingResult(block, a.result);
        } else {
            logStatus(kAnswer, "Result %d of request %u dropped: the client no longer asks for it", int(a.result),
                      a.id);
        }
    }
    m_Writes.answers.clear();
}

void VX_SharedMemSocked::endServing(SharedMemBlock &block)
{
    if (block.StatusProgrammingRequest == 0)
        return;
    // The update the client waits for cannot finish now; it hears so before the request goes.
    if (block.StatusProgrammingRequest == 1 && readProgrammingResult(block) == kResultNone) {
        writeProgrammingResult(block, kResultFailed);
        logStatus(kDtor, "Pending request answered with -1");
    }
    block.StatusProgrammingRequest = 0;
    logError(kDtor, "Kill Pending");
}

bool VX_SharedMemSocked::exchange(PassKind kind, int lockWaitMs, PollOutcome *outcome)
{
    std::lock_guard<std::mutex> one(m_ExchangeMutex);
    if (!completeJoin(lockWaitMs) || !m_Gate->lock(lockWaitMs))
        return false;
    auto *block = static_cast<SharedMemBlock *>(m_Gate->data());
    const bool serving = isServing();
    {
        std::lock_guard<std::mutex> l(m_StateMutex);
        const quint64 number = ++m_ExchangesBegun;
        if (!m_StaleChecked) {
            checkStale(*block);
            m_StaleChecked = true;
        }
        if (m_TookOver)
            takeOver(*block);
        applyWrites(*block, serving);
        if (kind == PassKind::Poll) {
            if (serving) {
                *outcome = pollSharedBlock(m_LastState, *block);
                if (outcome->requestPending)
                    ++m_RequestId;
            } else {
                m_LastState.StatusProgrammingRequest = block->StatusProgrammingRequest;
                writeProgrammingResult(m_LastState, readProgrammingResult(*block));
            }
            m_CurrentRequest = serving && m_LastState.StatusProgrammingRequest == 1 ? m_RequestId : 0;
        }
        applyAnswers(*block, serving);
        if (kind == PassKind::Final && serving)
            endServing(*block);
        m_Seen = *block;
        m_ExchangesDone = number;
    }
    m_Gate->unlock();
    m_Exchanged.notify_all();
    return true;
}

void VX_SharedMemSocked::run()
{
    logStatus(kRun, "Thread Start");
    QElapsedTimer serveRetry;
    serveRetry.start();
    QElapsedTimer lockWait;
    bool lockReported = false;
    while (m_RunThread.load(std::memory_order_acquire)) {
        if (!isServing() && serveRetry.elapsed() >= kServeRetryMs) {
            tryToServe(true);
            serveRetry.restart();
        }
        PollOutcome out;
        const bool exchanged = exchange(PassKind::Poll, kPollLockWaitMs, &out);
        // Not exchanged while the block is there (or still being joined): the lock is taken.
        const bool blockThere = m_Attach.load(std::memory_order_acquire) != Attach::Detached;
        m_LockBusy.store(!exchanged && blockThere, std::memory_order_release);
        if (exchanged) {
            lockWait.invalidate();
            if (lockReported)
                logStatus(kRun, "Sharedmemory lock free again");
            lockReported = false;
            // Emitted after unlocking: a receiver connected directly may call the accessors.
            if (out.requestPending)
                emit SIGNAL_ProgrammingRequestPendig();
            if (out.resultReset)
                logStatus(kRun, "Set to Idel-Mode");
            if (out.finished) {
                emit SIGNAL_ProgrammingFinished(qint16(out.finishedResult));
                logStatus(kRun, "Send SIGNAL Prog Finished");
            }
        } else if (blockThere) {
            if (!lockWait.isValid())
                lockWait.start();
            if (!lockReported && lockWait.elapsed() > kLockHeldReportMs) {
                logError(kRun, "Sharedmemory lock held by another process for more than %d ms", kLockHeldReportMs);
                lockReported = true;
            }
        }
        std::unique_lock<std::mutex> l(m_StateMutex);
        m_Wake.wait_for(l, std::chrono::milliseconds(1), [this] { return m_WakeWanted; });
        m_WakeWanted = false;
    }
    logStatus(kRun, "Thread END");
}
