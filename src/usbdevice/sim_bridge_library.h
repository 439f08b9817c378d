#pragma once
// Simulated bridges: each stands for one CP210x with a peer (normally the simulated Orbalo
// board) behind its UART and GPIO latch. Bridges can be plugged and unplugged at any moment;
// a handle of an unplugged bridge fails its I/O the way the vendor library does
// (SI_DEVICE_IO_FAILED) and is released by close. Every operation's k-th call can be made to
// return a chosen status, so each failure branch of the device object can be driven; so can
// the calls that follow a moment of the board's conversation (the "bridge=" faults of a
// simulated board's fault list are armed that way when the board is added).

#include "bridge_library.h"

#include <QString>

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace pelsim {
class SerialPeer;
}

enum class SiOp {
    GetNumDevices,
    GetProductString,
    Open,
    Close,
    Read,
    Write,
    FlushBuffers,
    CheckRxQueue,
    SetBaudRate,
    SetLineControl,
    WriteLatch,
    Count
};

class QLockFile;

class SimBridgeLibrary : public BridgeLibrary {
public:
    SimBridgeLibrary();
    ~SimBridgeLibrary() override;

    // Bridges as the application shows them without a real one: "Orbalo Mini (simulated)"
    // with the serial numbers "0001", "0002", ... (count from PELMORA_SIM_BRIDGES, default 1,
    // 0 for none), each with a simulated board from the board factory behind it. Each takes
    // a lock file while open (beside its flash file, or named after its serial number in
    // PELMORA_SIM_LOCK_DIR, default the temporary folder), so two programs never drive the
    // same simulated board.
    static std::shared_ptr<SimBridgeLibrary> createDefault();

    // Adds a plugged-in bridge; returns its id (stable for the bridge's life, not its number).
    int addBridge(const QString &description, const QString &serialNumber,
                  std::shared_ptr<pelsim::SerialPeer> peer);
    void unplug(int id);
    void plug(int id);
    // Opening the bridge then also takes this lock file, which other processes see; a bridge
    // whose lock another process holds cannot be opened (SI_DEVICE_NOT_FOUND, as busy USB).
    void setLockFile(int id, const QString &path);
    bool isPlugged(int id) const;
    bool isOpen(int id) const;
    int bridgeCount() const;
    std::shared_ptr<pelsim::SerialPeer> peer(int id) const;

    // What the host last set on the bridge.
    quint16 lineControl(int id) const;
    quint8 latch(int id) const;
    quint32 baudRate(int id) const;

    // The k-th call (1-based, counted from creation) of op returns status, for `repeat`
    // consecutive calls. An injected failure has no other effect; the queue and count
    // queries still fill in their counts.
    void injectStatus(SiOp op, int k, int status, int repeat = 1);
    // Shorthand: the next call of op returns status.
    void injectNext(SiOp op, int status, int repeat = 1);
    // The first call of op at which armed() holds, and the repeat - 1 calls after it (every
    // call from it on when repeat is 0), return status. armed() runs inside the library's
    // lock, so it may ask the board but not the library.
    void injectWhen(SiOp op, int status, int repeat, std::function<bool()> armed);
    int callCount(SiOp op) const;

    int getNumDevices(quint32 *numDevices) override;
    int getProductString(quint32 deviceNum, char *buffer, quint32 selector) override;
    int open(quint32 deviceNum, SiHandle *handle) override;
    int close(SiHandle handle) override;
    int read(SiHandle handle, void *buffer, quint32 bytesToRead, quint32 *bytesReturned) override;
    int write(SiHandle handle, const void *buffer, quint32 bytesToWrite,
              quint32 *bytesWritten) override;
    int flushBuffers(SiHandle handle, quint8 flushTransmit, quint8 flushReceive) override;
    int checkRxQueue(SiHandle handle, quint32 *numBytesInQueue, quint32 *queueStatus) override;
    int setBaudRate(SiHandle handle, quint32 baudRate) override;
    int setLineControl(SiHandle handle, quint16 lineControl) override;
    int writeLatch(SiHandle handle, quint8 mask, quint8 latch) override;
    QString backendName(quint32 deviceNum) override;
    QString holder(quint32 deviceNum) override;

private:
    struct Bridge {
        int id = 0;
        QString description;
        QString serialNumber;
        std::shared_ptr<pelsim::SerialPeer> peer;
        bool plugged = true;
        SiHandle openHandle = kNoSiHandle;
        quint16 lineControl = 0x0800;
        quint8 latch = 0xFF;
        quint32 baudRate = 115200;
        QString lockPath;
        std::shared_ptr<QLockFile> lock;  // held while open
    };
    struct Injection {
        int from;
        int to;
        int status;
    };
    struct ArmedInjection {
        SiOp op;
        int status;
        int repeat;
        std::function<bool()> armed;
    };

    // Counts the call and returns an injected status, or -1 when none applies.
    int countCall(SiOp op);
    Bridge *byId(int id);
    const Bridge *byId(int id) const;
    Bridge *pluggedByNumber(quint32 deviceNum);
    // Resolves a handle; sets status to the library's answer for a bad or stale one.
    Bridge *byHandle(SiHandle handle, int *status);

    mutable std::mutex m_Mutex;
    std::vector<Bridge> m_Bridges;
    std::array<int, size_t(SiOp::Count)> m_Calls{};
    std::vector<std::pair<SiOp, Injection>> m_Injections;
    std::vector<ArmedInjection> m_Armed;
    int m_NextId = 1;
    SiHandle m_NextHandle = 0x100;
};
