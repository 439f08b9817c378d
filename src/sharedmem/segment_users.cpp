#include "sharedmem/segment_users.h"

#include <QtGlobal>

#if defined(Q_OS_LINUX)

#include <QByteArray>
#include <QFile>
#include <QList>

#include <sys/shm.h>

int segmentAttachCount(const void *address)
{
    // The process's map lists a System V segment as "/SYSV<key> (deleted)" with the segment's
    // id in the inode column.
    QFile maps(QStringLiteral("/proc/self/maps"));
    if (!address || !maps.open(QIODevice::ReadOnly))
        return -1;
    const quintptr at = reinterpret_cast<quintptr>(address);
    for (QByteArray line = maps.readLine(); !line.isEmpty(); line = maps.readLine()) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 6 || !fields[5].startsWith("/SYSV"))
            continue;
        const QList<QByteArray> range = fields[0].split('-');
        bool okStart = false;
        bool okEnd = false;
        const quintptr start = quintptr(range.value(0).toULongLong(&okStart, 16));
        const quintptr end = quintptr(range.value(1).toULongLong(&okEnd, 16));
        if (!okStart || !okEnd || at < start || at >= end)
            continue;
        bool okId = false;
        const int id = fields[4].toInt(&okId);
        struct shmid_ds status;
        if (!okId || ::shmctl(id, IPC_STAT, &status) != 0)
            return -1;
        return int(status.shm_nattch);
    }
    return -1;
}

#else

int segmentAttachCount(const void *)
{
    return -1;
}

#endif
