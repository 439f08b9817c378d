#include "sharedmem/vx_sharedmemsocked.h"

#include "app/log.h"
#include "sharedmem/shared_mem_poll.h"

#include <QFileInfo>

#include <cstring>

VX_SharedMemSocked::VX_SharedMemSocked(const QString &key, bool startThread, QObject *parent)
    : QThread(parent), m_Key(key)
{
    static const char *const kOrigin = "VX_SharedMemSocked::VX_SharedMemSocked";
    m_SharedMemory.setKey(m_Key);

    bool joined = m_SharedMemory.attach(QSharedMemory::ReadWrite);
    if (!joined) {
        if (m_SharedMemory.create(kSharedMemBlockSize, QSharedMemory::ReadWrite)) {
            logStatus(kOrigin, "Create Sharedmemory %d Bytes", m_SharedMemory.size());
            m_pBlock = static_cast<SharedMemBlock *>(m_SharedMemory.data());
            if (m_SharedMemory.lock()) {
                m_pBlock->StatusPelmora = 0;
                writeProgrammingResult(*m_pBlock, kResultNone);
                m_pBlock->StatusProgrammingRequest = 0;
                m_pBlock->StatusOrbaloConnection = 0;
                m_pBlock->Path2Hexfile[0] = '\0';
                m_SharedMemory.unlock();
            }
        } else if (m_SharedMemory.error() == QSharedMemory::AlreadyExists
                   && m_SharedMemory.attach(QSharedMemory::ReadWrite)) {
            // The client created the block between our attach and create: join it after all.
            joined = true;
        } else {
            logError(kOrigin, "Unabel to create Sharedmomory");
            logStatus(kOrigin, "Create Sharedmemory %d Bytes", 0);
        }
    }
    if (joined) {
        m_pBlock = static_cast<SharedMemBlock *>(m_SharedMemory.data());
        logStatus(kOrigin, "Join Sharedmemory %d Bytes", m_SharedMemory.size());
        if (m_SharedMemory.size() < kSharedMemBlockSize) {
            // A foreign segment under our key: touching it would run past its end.
            logError(kOrigin, "Sharedmemory too small: %d Bytes", m_SharedMemory.size());
            m_pBlock = nullptr;
            m_SharedMemory.detach();
        }
    }
    if (startThread)
        start();
}

VX_SharedMemSocked::~VX_SharedMemSocked()
{
    static const char *const kOrigin = "VX_SharedMemSocked::~VX_SharedMemSocked";
    m_RunThread.store(false, std::memory_order_release);
    wait();
    if (m_SharedMemory.isAttached()) {
        if (m_SharedMemory.lock()) {
            const bool pending = m_pBlock->StatusProgrammingRequest != 0;
            if (pending)
                m_pBlock->StatusProgrammingRequest = 0;
            m_SharedMemory.unlock();
            if (pending)
                logError(kOrigin, "Kill Pending");
        }
        m_SharedMemory.detach();
        logStatus(kOrigin, "Detach SharedMemory");
    }
}

SharedMemBlock *VX_SharedMemSocked::lockBlock(const char *origin)
{
    if (!m_SharedMemory.isAttached()) {
        logError(origin, "Sharedmemory not set!");
        return nullptr;
    }
    m_ThreadLock.lock();
    if (!m_SharedMemory.lock()) {
        m_ThreadLock.unlock();
        logError(origin, "Sharedmemory lock failed: %s", qUtf8Printable(m_SharedMemory.errorString()));
        return nullptr;
    }
    return m_pBlock;
}

void VX_SharedMemSocked::unlockBlock()
{
    m_SharedMemory.unlock();
    m_ThreadLock.unlock();
}

bool VX_SharedMemSocked::isStatusPelmoraSet()
{
    SharedMemBlock *b = lockBlock("VX_SharedMemSocked::isStatusPelmoraSet");
    if (!b)
        return false;
    const bool set = b->StatusPelmora != 0;
    unlockBlock();
    return set;
}

bool VX_SharedMemSocked::isStatusProgrammingRequestSet()
{
    SharedMemBlock *b = lockBlock("VX_SharedMemSocked::isStatusProgrammingRequestSet");
    if (!b)
        return false;
    const bool set = b->StatusProgrammingRequest != 0;
    unlockBlock();
    return set;
}

bool VX_SharedMemSocked::isStatusOrbaloConnectionSet()
{
    SharedMemBlock *b = lockBlock("VX_SharedMemSocked::isStatusOrbaloConnectionSet");
    if (!b)
        return false;
    const bool set = b->StatusOrbaloConnection != 0;
    unlockBlock();
    return set;
}

QString VX_SharedMemSocked::getPath2Hexfile()
{
    SharedMemBlock *b = lockBlock("VX_SharedMemSocked::getPath2Hexfile");
    if (!b)
        return QString();
    const QString path = readBoundedText(b->Path2Hexfile, kPath2HexfileWidth);
    unlockBlock();
    return path;
}

QString VX_SharedMemSocked::getNameOfConnectedDevice()
{
    SharedMemBlock *b = lockBlock("VX_SharedMemSocked::getNameOfConnectedDevice");
    if (!b)
        return QString();
    const QString name = readBoundedText(b->NameOfConnectedDevice, kNameOfConnectedDeviceWidth);
    unlockBlock();
    return name;
}

int VX_SharedMemSocked::getProgrammingResult()
{
    SharedMemBlock *b = lockBlock("VX_SharedMemSocked::getProgrammingResult");
    if (!b)
        return kResultNone;
    const int result = readProgrammingResult(*b);
    unlockBlock();
    return result;
}

void VX_SharedMemSocked::setStatusPelmora(quint8 value)
{
    SharedMemBlock *b = lockBlock("VX_SharedMemSocked::setStatusPelmora");
    if (!b)
        return;
    b->StatusPelmora = value;
    // Kept under the thread lock as well: the polling thread reads it to decide on the reset.
    m_LastState.StatusPelmora = value;
    unlockBlock();
}

void VX_SharedMemSocked::setStatusOrbaloConnection(quint8 value)
{
    SharedMemBlock *b = lockBlock("VX_SharedMemSocked::setStatusOrbaloConnection");
    if (!b)
        return;
    b->StatusOrbaloConnection = value;
    unlockBlock();
}

void VX_SharedMemSocked::setNameOfConnectedDevice(const QString &name)
{
    SharedMemBlock *b = lockBlock("VX_SharedMemSocked::setNameOfConnectedDevice");
    if (!b)
        return;
    writeBoundedText(b->NameOfConnectedDevice, kNameOfConnectedDeviceWidth, name);
    unlockBlock();
}

void VX_SharedMemSocked::setProgrammingResult(int result)
{
    SharedMemBlock *b = lockBlock("VX_SharedMemSocked::setProgrammingResult");
    if (!b)
        return;
    writeProgrammingResult(*b, qint32(result));
    unlockBlock();
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

void VX_SharedMemSocked::run()
{
    static const char *const kOrigin = "VX_SharedMemSocked::run";
    logStatus(kOrigin, "Thread Start");
    while (m_RunThread.load(std::memory_order_acquire)) {
        if (m_SharedMemory.isAttached()) {
            PollOutcome out;
            m_ThreadLock.lock();
            if (m_SharedMemory.lock()) {
                out = pollSharedBlock(m_LastState, *m_pBlock);
                m_SharedMemory.unlock();
            }
            m_ThreadLock.unlock();
            // Emitted after unlocking: a receiver connected directly may call the accessors.
            if (out.requestPending)
                emit SIGNAL_ProgrammingRequestPendig();
            if (out.resultReset)
                logStatus(kOrigin, "Set to Idel-Mode");
            if (out.finished) {
                emit SIGNAL_ProgrammingFinished(qint16(out.finishedResult));
                logStatus(kOrigin, "Send SIGNAL Prog Finished");
            }
        }
        QThread::msleep(1);
    }
    logStatus(kOrigin, "Thread END");
}
