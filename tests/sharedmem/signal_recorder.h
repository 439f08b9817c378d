#pragma once
// Records the link's signals from whichever thread emits them.

#include "sharedmem/vx_sharedmemsocked.h"

#include <QList>
#include <QMutex>
#include <QMutexLocker>

class SignalRecorder {
public:
    explicit SignalRecorder(VX_SharedMemSocked *link)
    {
        QObject::connect(link, &VX_SharedMemSocked::SIGNAL_ProgrammingRequestPendig, link,
                         [this] { QMutexLocker l(&m_Mutex); ++m_Requests; }, Qt::DirectConnection);
        QObject::connect(link, &VX_SharedMemSocked::SIGNAL_ProgrammingFinished, link,
                         [this](qint16 r) { QMutexLocker l(&m_Mutex); m_Results.append(r); }, Qt::DirectConnection);
    }
    int requests() const { QMutexLocker l(&m_Mutex); return m_Requests; }
    QList<qint16> results() const { QMutexLocker l(&m_Mutex); return m_Results; }

private:
    mutable QMutex m_Mutex;
    int m_Requests = 0;
    QList<qint16> m_Results;
};
