#include "settings/disk_write.h"

#if defined(Q_OS_WIN)
#include <io.h>
#else
#include <unistd.h>
#endif

bool writeToDisk(QFileDevice &file, const QByteArray &data)
{
    return file.write(data) == data.size();
}

bool syncToDisk(QFileDevice &file)
{
    // A write that failed inside the buffer shows only in the device's error.
    if (!file.flush() || file.error() != QFileDevice::NoError)
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
