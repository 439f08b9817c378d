#include "settings/disk_write.h"

#include <atomic>

#if defined(Q_OS_WIN)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {
std::atomic<qint64> g_DiskSpace{-1};
} // namespace

bool writeToDisk(QFileDevice &file, const QByteArray &data)
{
    const qint64 space = g_DiskSpace.load(std::memory_order_relaxed);
    if (space >= 0 && space < data.size()) {
        file.write(data.constData(), space);
        return false;
    }
    return file.write(data) == data.size();
}

bool syncToDisk(QFileDevice &file)
{
    if (!file.flush())
        return false;
    const int handle = file.handle();
    if (handle < 0)
        return false;
#if defined(Q_OS_WIN)
    return _commit(handle) == 0;
#else
    return ::fsync(handle) == 0;
#endif
}

void setDiskSpaceForTesting(qint64 bytes)
{
    g_DiskSpace.store(bytes, std::memory_order_relaxed);
}
