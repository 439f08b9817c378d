#pragma once
// The client's memory as umockdev hands it to an ioctl handler: a pointer in it is resolved
// into a local copy, which umockdev writes back when the ioctl completes.

#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>

#include <umockdev.h>

#include <cstddef>

namespace pelsim {

inline UMockdevIoctlData *resolve(UMockdevIoctlData *data, size_t offset, size_t length)
{
    GError *error = nullptr;
    UMockdevIoctlData *resolved = umockdev_ioctl_data_resolve(data, offset, length, &error);
    if (error)
        g_error_free(error);
    return resolved;
}

inline usbdevfs_urb *urbOf(UMockdevIoctlData *data)
{
    return reinterpret_cast<usbdevfs_urb *>(data->data);
}

} // namespace pelsim
