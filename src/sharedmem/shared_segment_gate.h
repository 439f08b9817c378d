#pragma once
// QSharedMemory takes the segment's inter-process lock inside attach(), create(), lock() and
// detach(), and waits for it without a time-out, so a client that keeps the lock would stop any
// thread that calls them. The gate makes these calls on a thread of its own; a caller waits for
// them only as long as it chooses. A call still waiting when the gate is closed is left to that
// thread, which owns everything it touches and ends once the lock is free (or with the process).

#include <QString>

#include <memory>
#include <thread>

class SharedSegmentGate {
public:
    enum class Join { Pending, Joined, Created, Failed };
    // Called on the gate's thread, under the lock, on a segment the gate has just created.
    using Initialise = void (*)(void *data, int size);

    explicit SharedSegmentGate(const QString &key);
    ~SharedSegmentGate();

    SharedSegmentGate(const SharedSegmentGate &) = delete;
    SharedSegmentGate &operator=(const SharedSegmentGate &) = delete;

    // Attaches to the segment, or creates it with `size` bytes when there is none. The first
    // call asks for it; every call waits at most waitMs and returns the outcome known by then.
    Join join(int size, Initialise initialise, int waitMs);
    // Why the join failed.
    QString errorString() const;
    int size() const;
    void *data() const;

    // True: the caller holds the lock and must unlock(). One caller at a time.
    bool lock(int waitMs);
    void unlock();

    // Detaches, waiting at most waitMs; false when that was not enough, and the gate's thread
    // then finishes on its own.
    bool close(int waitMs);

private:
    struct State;
    // The gate's thread: it owns the QSharedMemory and makes every call that may wait.
    static void loop(std::shared_ptr<State> s, QString key);

    std::shared_ptr<State> m_State;
    std::thread m_Thread;
};
