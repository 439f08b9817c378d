#include "sharedmem/vx_sharedmemsocked.h"

#include "app/log.h"
#include "sharedmem/shared_segment_gate.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>

#include <type_traits>
#include <utility>

namespace {

constexpr const char *kDtor = "VX_SharedMemSocked::~VX_SharedMemSocked";

// How long the window waits at most: for the block at start-up, for an accessor's exchange,
// and for the final writes and the detach at its end. Past these it goes on; what was not
// written then is written by the next exchange (or, at the end, not at all).
constexpr int kJoinWaitMs = 500;
constexpr int kCallerWaitMs = 100;
constexpr int kFinalWaitMs = 250;
constexpr int kCloseWaitMs = 200;
constexpr int kLockedCloseWaitMs = 20;

// Beside QSharedMemory's own key files, one per key.
QString serveLockPath(const QString &key)
{
    const QByteArray hash = QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Sha1).toHex();
    return QDir::tempPath() + QStringLiteral("/pelmora-serve-") + QString::fromLatin1(hash.left(16))
           + QStringLiteral(".lock");
}

} // namespace

VX_SharedMemSocked::VX_SharedMemSocked(const QString &key, bool startThread, QObject *parent)
    : QThread(parent)
    , m_Gate(std::make_unique<SharedSegmentGate>(key))
    , m_Key(key)
    , m_ServeLock(serveLockPath(key))
{
    // Only a lock file whose process has ended is stale, however long the first loader runs.
    m_ServeLock.setStaleLockTime(0);
    tryToServe(false);
    exchange(PassKind::Owner, kJoinWaitMs, nullptr);
    if (startThread)
        start();
}

VX_SharedMemSocked::~VX_SharedMemSocked()
{
    m_RunThread.store(false, std::memory_order_release);
    {
        std::lock_guard<std::mutex> l(m_StateMutex);
        m_WakeWanted = true;
    }
    m_Wake.notify_all();
    wait();
    bool finalWritten = true;
    if (m_Attach.load(std::memory_order_acquire) != Attach::Detached
        && !exchange(PassKind::Final, kFinalWaitMs, nullptr)) {
        finalWritten = false;
        logError(kDtor, "Sharedmemory locked by another process: left without the final writes");
    }
    const bool attached = isAttached();
    // Detaching takes the lock too: when it was not to be had just now, it is not waited for.
    if (!m_Gate->close(finalWritten ? kCloseWaitMs : kLockedCloseWaitMs))
        logError(kDtor, "Sharedmemory locked by another process: detached once it is free");
    else if (attached)
        logStatus(kDtor, "Detach SharedMemory");
    if (isServing())
        m_ServeLock.unlock();
}

bool VX_SharedMemSocked::isAttached() const
{
    return m_Attach.load(std::memory_order_acquire) == Attach::Attached;
}

bool VX_SharedMemSocked::usable(const char *origin) const
{
    if (m_Attach.load(std::memory_order_acquire) != Attach::Detached)
        return true;
    logError(origin, "Sharedmemory not set!");
    return false;
}

void VX_SharedMemSocked::refresh()
{
    if (!isRunning()) {
        exchange(PassKind::Owner, kCallerWaitMs, nullptr);
        return;
    }
    // A receiver connected directly runs on the polling thread, which cannot wait for itself;
    // and while another process holds the lock, waiting would only freeze the window.
    if (QThread::currentThread() == this || m_LockBusy.load(std::memory_order_acquire))
        return;
    std::unique_lock<std::mutex> l(m_StateMutex);
    const quint64 wanted = m_ExchangesBegun + 1;
    m_WakeWanted = true;
    m_Wake.notify_all();
    m_Exchanged.wait_for(l, std::chrono::milliseconds(kCallerWaitMs), [&] { return m_ExchangesDone >= wanted; });
}

template <typename Change>
void VX_SharedMemSocked::write(const char *origin, Change change)
{
    if (!usable(origin))
        return;
    {
        std::lock_guard<std::mutex> l(m_StateMutex);
        change();
    }
    refresh();
}

template <typename Read>
auto VX_SharedMemSocked::read(const char *origin, Read reader)
{
    using Value = std::decay_t<decltype(reader())>;
    if (!usable(origin))
        return Value();
    refresh();
    std::lock_guard<std::mutex> l(m_StateMutex);
    return reader();
}

bool VX_SharedMemSocked::isStatusPelmoraSet()
{
    return read("VX_SharedMemSocked::isStatusPelmoraSet", [this] { return m_Seen.StatusPelmora != 0; });
}

bool VX_SharedMemSocked::isStatusProgrammingRequestSet()
{
    return read("VX_SharedMemSocked::isStatusProgrammingRequestSet",
                [this] { return m_Seen.StatusProgrammingRequest != 0; });
}

bool VX_SharedMemSocked::isStatusOrbaloConnectionSet()
{
    return read("VX_SharedMemSocked::isStatusOrbaloConnectionSet",
                [this] { return m_Seen.StatusOrbaloConnection != 0; });
}

QString VX_SharedMemSocked::getPath2Hexfile()
{
    return read("VX_SharedMemSocked::getPath2Hexfile",
                [this] { return readBoundedText(m_Seen.Path2Hexfile, kPath2HexfileWidth); });
}

QString VX_SharedMemSocked::getNameOfConnectedDevice()
{
    return read("VX_SharedMemSocked::getNameOfConnectedDevice",
                [this] { return readBoundedText(m_Seen.NameOfConnectedDevice, kNameOfConnectedDeviceWidth); });
}

int VX_SharedMemSocked::getProgrammingResult()
{
    return read("VX_SharedMemSocked::getProgrammingResult", [this] { return int(readProgrammingResult(m_Seen)); });
}

quint32 VX_SharedMemSocked::currentRequestId()
{
    return read("VX_SharedMemSocked::currentRequestId", [this] { return m_CurrentRequest; });
}

void VX_SharedMemSocked::setStatusPelmora(quint8 value)
{
    write("VX_SharedMemSocked::setStatusPelmora", [this, value] { m_Writes.status = value; });
}

void VX_SharedMemSocked::setStatusOrbaloConnection(quint8 value)
{
    write("VX_SharedMemSocked::setStatusOrbaloConnection", [this, value] {
        m_Writes.connection = value;
        m_OwnConnection = value;
    });
}

void VX_SharedMemSocked::setNameOfConnectedDevice(const QString &name)
{
    write("VX_SharedMemSocked::setNameOfConnectedDevice", [this, &name] {
        m_Writes.nameSet = true;
        m_Writes.name = name;
        m_OwnNameSet = true;
        m_OwnName = name;
    });
}

void VX_SharedMemSocked::setProgrammingResult(int result)
{
    write("VX_SharedMemSocked::setProgrammingResult", [this, result] {
        m_Writes.resultSet = true;
        m_Writes.result = qint32(result);
    });
}

void VX_SharedMemSocked::answerRequest(quint32 id, int result)
{
    write("VX_SharedMemSocked::answerRequest", [this, id, result] { m_Writes.answers.push_back({id, qint32(result)}); });
}

bool VX_SharedMemSocked::isUsableHexPath(const QString &path, QString *why)
{
    auto refuse = [why](const QString &reason) {
        if (why)
            *why = reason;
        return false;
    };
    if (path.isEmpty())
        return refuse(QStringLiteral("no HEX file named"));
    const QFileInfo info(path);
    if (!info.exists())
        return refuse(QStringLiteral("HEX file does not exist: ") + path);
    if (!info.isFile())
        return refuse(QStringLiteral("not a regular file: ") + path);
    if (!info.isReadable())
        return refuse(QStringLiteral("HEX file is not readable: ") + path);
    return true;
}
