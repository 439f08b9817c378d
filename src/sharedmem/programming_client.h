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
    enum class Submit { Taken, Busy, Failed };
    // Takes the request if it is free (no request set, no result waiting to be reset) and writes
    // the path, in one locked step: the loader never sees the request beside a half-written
    // path, and of two clients asking at once only one gets it (Busy for the other). Failed when
    // the path does not fit its field or the block cannot be locked.
    Submit submit(const QString &absolutePath);
    bool withdraw();
    // Clears a result that no loader will reset (it ended before the previous withdrawal was
    // seen); only while no request is pending, which is when the loader itself would clear it.
    bool clearStaleResult();

private:
    QSharedMemory m_SharedMemory;
    bool m_Created = false;
};
