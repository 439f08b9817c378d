#include "sharedmem/programming_client.h"

#include <cstring>

ProgrammingClient::ProgrammingClient(const QString &key)
{
    m_SharedMemory.setKey(key);
}

ProgrammingClient::~ProgrammingClient()
{
    if (m_SharedMemory.isAttached())
        m_SharedMemory.detach();
}

bool ProgrammingClient::attachExisting(QString *why)
{
    if (!m_SharedMemory.attach(QSharedMemory::ReadWrite)) {
        if (why)
            *why = m_SharedMemory.errorString();
        return false;
    }
    if (m_SharedMemory.size() < kSharedMemBlockSize) {
        if (why)
            *why = QStringLiteral("shared block is only %1 bytes").arg(m_SharedMemory.size());
        m_SharedMemory.detach();
        return false;
    }
    return true;
}

bool ProgrammingClient::attachOrCreate(QString *why)
{
    if (attachExisting(nullptr))
        return true;
    if (m_SharedMemory.create(kSharedMemBlockSize, QSharedMemory::ReadWrite)) {
        m_Created = true;
        if (m_SharedMemory.lock()) {
            std::memset(m_SharedMemory.data(), 0, kSharedMemBlockSize);
            m_SharedMemory.unlock();
        }
        return true;
    }
    // The loader may have created it between the two calls.
    if (m_SharedMemory.error() == QSharedMemory::AlreadyExists && attachExisting(why))
        return true;
    if (why && why->isEmpty())
        *why = m_SharedMemory.errorString();
    return false;
}

bool ProgrammingClient::read(SharedMemSnapshot *snapshot)
{
    if (!m_SharedMemory.isAttached() || !m_SharedMemory.lock())
        return false;
    *snapshot = decodeBlock(*static_cast<const SharedMemBlock *>(m_SharedMemory.constData()));
    m_SharedMemory.unlock();
    return true;
}

ProgrammingClient::Submit ProgrammingClient::submit(const QString &absolutePath)
{
    if (absolutePath.toUtf8().size() > kPath2HexfileMaxBytes)
        return Submit::Failed;
    if (!m_SharedMemory.isAttached() || !m_SharedMemory.lock())
        return Submit::Failed;
    auto *block = static_cast<SharedMemBlock *>(m_SharedMemory.data());
    const bool free = block->StatusProgrammingRequest == 0 && readProgrammingResult(*block) == kResultNone;
    if (free) {
        writeBoundedText(block->Path2Hexfile, kPath2HexfileWidth, absolutePath);
        block->StatusProgrammingRequest = 1;
    }
    m_SharedMemory.unlock();
    return free ? Submit::Taken : Submit::Busy;
}

bool ProgrammingClient::withdraw()
{
    if (!m_SharedMemory.isAttached() || !m_SharedMemory.lock())
        return false;
    static_cast<SharedMemBlock *>(m_SharedMemory.data())->StatusProgrammingRequest = 0;
    m_SharedMemory.unlock();
    return true;
}

bool ProgrammingClient::clearStaleResult()
{
    if (!m_SharedMemory.isAttached() || !m_SharedMemory.lock())
        return false;
    auto *block = static_cast<SharedMemBlock *>(m_SharedMemory.data());
    const bool cleared = block->StatusProgrammingRequest == 0;
    if (cleared)
        writeProgrammingResult(*block, kResultNone);
    m_SharedMemory.unlock();
    return cleared;
}
