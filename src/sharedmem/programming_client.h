#pragma once
// The programming client's side of the shared block: the loader is asked to program a HEX file
// by writing the path and raising the request, and answers through ProgrammingResult.

#include "sharedmem/shared_mem_block.h"

#include <QSharedMemory>
#include <QString>

class ProgrammingClient {
public:
    explicit ProgrammingClient(const QString &key);
    ~ProgrammingClient();

    ProgrammingClient(const ProgrammingClient &) = delete;
    ProgrammingClient &operator=(const ProgrammingClient &) = delete;

    // Joins the block, or creates it with every field zero when the loader has not started.
    bool attachOrCreate(QString *why);
    // Joins an existing block only (a status query should not make one).
    bool attachExisting(QString *why);
    bool isAttached() const { return m_SharedMemory.isAttached(); }
    bool createdBlock() const { return m_Created; }

    // False when detached or the lock fails; snapshot untouched then.
    bool read(SharedMemSnapshot *snapshot);
    // Writes the path and raises the request in one locked step, so the loader never sees the
    // request beside a half-written path. False if the path does not fit its field.
    bool submit(const QString &absolutePath);
    bool withdraw();
    // Clears a result that no loader will reset (it ended before the previous withdrawal was
    // seen); only while no request is pending, which is when the loader itself would clear it.
    bool clearStaleResult();

private:
    QSharedMemory m_SharedMemory;
    bool m_Created = false;
};
