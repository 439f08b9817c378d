#include "sharedmem/shared_segment_gate.h"

#include <QSharedMemory>

#include <chrono>
#include <condition_variable>
#include <mutex>

struct SharedSegmentGate::State {
    std::mutex mutex;
    std::condition_variable changed;
    // Lives on the gate's thread; the holder of the lock only calls unlock() on it.
    QSharedMemory *memory = nullptr;

    bool joinAsked = false;
    int wantedSize = 0;
    Initialise initialise = nullptr;
    Join join = Join::Pending;
    QString error;
    int size = 0;
    void *data = nullptr;

    bool lockWanted = false;
    bool lockHeld = false;
    bool lockFailed = false;

    bool closeAsked = false;
    bool closed = false;
};

namespace {

using Gate = SharedSegmentGate;

void attachOrCreate(QSharedMemory &memory, int size, Gate::Initialise initialise, Gate::Join &outcome,
                    QString &error)
{
    if (memory.attach(QSharedMemory::ReadWrite)) {
        outcome = Gate::Join::Joined;
    } else if (memory.create(size, QSharedMemory::ReadWrite)) {
        outcome = Gate::Join::Created;
        if (initialise && memory.lock()) {
            initialise(memory.data(), memory.size());
            memory.unlock();
        }
    } else if (memory.error() == QSharedMemory::AlreadyExists && memory.attach(QSharedMemory::ReadWrite)) {
        // The other side created it between the two calls.
        outcome = Gate::Join::Joined;
    } else {
        outcome = Gate::Join::Failed;
        error = memory.errorString();
    }
}

} // namespace

void SharedSegmentGate::loop(std::shared_ptr<State> s, QString key)
{
    QSharedMemory memory;
    memory.setKey(key);
    std::unique_lock<std::mutex> l(s->mutex);
    s->memory = &memory;
    const auto work = [&s] {
        return (s->joinAsked && s->join == Gate::Join::Pending)
               || (s->lockWanted && !s->lockHeld && !s->lockFailed && s->data)
               || (s->closeAsked && !s->lockHeld);
    };
    for (;;) {
        s->changed.wait(l, work);
        if (s->joinAsked && s->join == Gate::Join::Pending) {
            const int size = s->wantedSize;
            const Gate::Initialise initialise = s->initialise;
            l.unlock();
            Gate::Join outcome = Gate::Join::Failed;
            QString error;
            attachOrCreate(memory, size, initialise, outcome, error);
            l.lock();
            s->join = outcome;
            s->error = error;
            s->size = memory.isAttached() ? memory.size() : 0;
            s->data = memory.isAttached() ? memory.data() : nullptr;
        } else if (s->lockWanted && !s->lockHeld && !s->lockFailed && s->data) {
            l.unlock();
            const bool locked = memory.lock();
            l.lock();
            if (!locked) {
                s->lockFailed = true;
                s->error = memory.errorString();
            } else if (s->lockWanted) {
                s->lockHeld = true;
            } else {
                memory.unlock();  // its caller stopped waiting for it
            }
        } else {
            l.unlock();
            if (memory.isAttached())
                memory.detach();
            l.lock();
            s->data = nullptr;
            s->memory = nullptr;
            s->closed = true;
            s->changed.notify_all();
            return;
        }
        s->changed.notify_all();
    }
}

SharedSegmentGate::SharedSegmentGate(const QString &key) : m_State(std::make_shared<State>())
{
    m_Thread = std::thread(&SharedSegmentGate::loop, m_State, key);
}

SharedSegmentGate::~SharedSegmentGate()
{
    close(0);
}

SharedSegmentGate::Join SharedSegmentGate::join(int size, Initialise initialise, int waitMs)
{
    std::unique_lock<std::mutex> l(m_State->mutex);
    if (!m_State->joinAsked) {
        m_State->joinAsked = true;
        m_State->wantedSize = size;
        m_State->initialise = initialise;
        m_State->changed.notify_all();
    }
    m_State->changed.wait_for(l, std::chrono::milliseconds(waitMs),
                              [this] { return m_State->join != Join::Pending; });
    return m_State->join;
}

QString SharedSegmentGate::errorString() const
{
    std::lock_guard<std::mutex> l(m_State->mutex);
    return m_State->error;
}

int SharedSegmentGate::size() const
{
    std::lock_guard<std::mutex> l(m_State->mutex);
    return m_State->size;
}

void *SharedSegmentGate::data() const
{
    std::lock_guard<std::mutex> l(m_State->mutex);
    return m_State->data;
}

bool SharedSegmentGate::lock(int waitMs)
{
    std::unique_lock<std::mutex> l(m_State->mutex);
    if (!m_State->data || m_State->closeAsked)
        return false;
    m_State->lockWanted = true;
    m_State->lockFailed = false;
    m_State->changed.notify_all();
    const bool answered = m_State->changed.wait_for(l, std::chrono::milliseconds(waitMs), [this] {
        return m_State->lockHeld || m_State->lockFailed;
    });
    if (answered && m_State->lockHeld)
        return true;
    // A lock that arrives after this is given back by the gate's thread.
    m_State->lockWanted = false;
    return false;
}

void SharedSegmentGate::unlock()
{
    std::lock_guard<std::mutex> l(m_State->mutex);
    if (!m_State->lockHeld)
        return;
    m_State->memory->unlock();
    m_State->lockHeld = false;
    m_State->lockWanted = false;
    m_State->changed.notify_all();
}

bool SharedSegmentGate::close(int waitMs)
{
    if (!m_Thread.joinable())
        return true;
    bool closed = false;
    {
        std::unique_lock<std::mutex> l(m_State->mutex);
        m_State->closeAsked = true;
        m_State->changed.notify_all();
        closed = m_State->changed.wait_for(l, std::chrono::milliseconds(waitMs), [this] { return m_State->closed; });
    }
    if (closed)
        m_Thread.join();
    else
        m_Thread.detach();
    return closed;
}
