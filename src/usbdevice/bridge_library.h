#pragma once
// The layer that stands in the vendor bridge library's place: one operation per library entry
// point the device object uses, each returning the library's status codes (si_status.h).
// Backends: the simulated bridge (sim_bridge_library.h) and real CP210x bridges over libusb
// (usb/usb_bridge_library.h). All operations must be safe to call from any thread.

#include "si_status.h"

#include <QString>
#include <QtGlobal>

#include <memory>

using SiHandle = quintptr;
constexpr SiHandle kNoSiHandle = 0;

// Size of the buffer handed to getProductString, terminating NUL included.
constexpr int kSiProductStringSize = 256;

enum SiProductSelector : quint32 {
    SI_RETURN_SERIAL_NUMBER = 0x00,
    SI_RETURN_DESCRIPTION = 0x01,
};

class BridgeLibrary {
public:
    virtual ~BridgeLibrary();

    virtual int getNumDevices(quint32 *numDevices) = 0;
    // Writes a NUL-terminated 8-bit text (UTF-8) of at most 255 bytes into buffer.
    virtual int getProductString(quint32 deviceNum, char *buffer, quint32 selector) = 0;
    virtual int open(quint32 deviceNum, SiHandle *handle) = 0;
    virtual int close(SiHandle handle) = 0;
    // Never waits: returns at most bytesToRead of the bytes already queued.
    virtual int read(SiHandle handle, void *buffer, quint32 bytesToRead, quint32 *bytesReturned) = 0;
    virtual int write(SiHandle handle, const void *buffer, quint32 bytesToWrite,
                      quint32 *bytesWritten) = 0;
    virtual int flushBuffers(SiHandle handle, quint8 flushTransmit, quint8 flushReceive) = 0;
    virtual int checkRxQueue(SiHandle handle, quint32 *numBytesInQueue, quint32 *queueStatus) = 0;
    virtual int setBaudRate(SiHandle handle, quint32 baudRate) = 0;
    virtual int setLineControl(SiHandle handle, quint16 lineControl) = 0;
    virtual int writeLatch(SiHandle handle, quint8 mask, quint8 latch) = 0;

    // Not in the vendor's library; what the tools show beside a bridge (device numbers as
    // the latest count gave them). The backend the bridge belongs to ("sim", "usb").
    virtual QString backendName(quint32 deviceNum);
    // Who else has the bridge open: empty when it is free or the backend cannot tell, else
    // the holder as well as it is known ("pelmora (pid 4711)").
    virtual QString holder(quint32 deviceNum);
};

// Builds the backends named by a comma list ("sim", "usb", "usb,sim"): bridges of the first
// backend get the lowest device numbers. Unknown names are logged and skipped.
std::shared_ptr<BridgeLibrary> createBridgeLibrary(const QString &backends);

// The library the device object uses when none is handed to it: the one installed with
// setDefaultBridgeLibrary, or else one built once from PELMORA_BRIDGE (default "usb,sim").
std::shared_ptr<BridgeLibrary> defaultBridgeLibrary();
void setDefaultBridgeLibrary(std::shared_ptr<BridgeLibrary> library);
