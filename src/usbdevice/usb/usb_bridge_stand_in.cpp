#include "usb_bridge_library.h"

// Built when libusb is left out at configure time (-DPELMORA_WITH_LIBUSB=OFF).

namespace {

// Stands in while no real backend is built: no bridges, so every handle is invalid.
class NoUsbBridgeLibrary : public BridgeLibrary {
public:
    int getNumDevices(quint32 *numDevices) override
    {
        if (!numDevices)
            return SI_INVALID_PARAMETER;
        *numDevices = 0;
        return SI_SUCCESS;
    }
    int getProductString(quint32, char *, quint32) override { return SI_DEVICE_NOT_FOUND; }
    int open(quint32, SiHandle *) override { return SI_DEVICE_NOT_FOUND; }
    int close(SiHandle) override { return SI_INVALID_HANDLE; }
    int read(SiHandle, void *, quint32, quint32 *) override { return SI_INVALID_HANDLE; }
    int write(SiHandle, const void *, quint32, quint32 *) override { return SI_INVALID_HANDLE; }
    int flushBuffers(SiHandle, quint8, quint8) override { return SI_INVALID_HANDLE; }
    int checkRxQueue(SiHandle, quint32 *, quint32 *) override { return SI_INVALID_HANDLE; }
    int setBaudRate(SiHandle, quint32) override { return SI_INVALID_HANDLE; }
    int setLineControl(SiHandle, quint16) override { return SI_INVALID_HANDLE; }
    int writeLatch(SiHandle, quint8, quint8) override { return SI_INVALID_HANDLE; }
};

} // namespace

std::shared_ptr<BridgeLibrary> createUsbBridgeLibrary()
{
    return std::make_shared<NoUsbBridgeLibrary>();
}
