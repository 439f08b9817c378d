#pragma once
// A USB transport with emulated CP210x bridges on it, for the tests of the real backend.
// Every call the backend makes is recorded (with the exact setup packet and data), any call
// can be made to fail with a chosen transport result, and each bridge answers its requests
// like the part does: line settings and latch go to a SerialPeer behind it (the simulated
// board, a script), its bytes come back through the queued IN transfers at once.

#include "usbdevice/usb/usb_transport.h"

#include "serial_peer.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class FakeCp210xTransport : public pelusb::UsbTransport {
public:
    enum class Kind {
        Open,
        String,
        Endpoints,
        KernelActive,
        Detach,
        Attach,
        Claim,
        Release,
        Control,
        BulkOut,
        ClearHalt,
        StartIn,
        StopIn,
    };

    struct BridgeModel {
        uint8_t bus = 1;
        std::vector<uint8_t> ports{1};
        uint16_t vendorId = 0x10C4;
        uint16_t productId = 0xEA60;
        std::string product = "Orbalo Mini";
        std::string serial = "0001";
        uint8_t partNumber = 0x20;  // CP2102N
        bool kernelDriverBound = true;
        uint8_t inEndpoint = 0x82;
        uint8_t outEndpoint = 0x02;
        std::shared_ptr<pelsim::SerialPeer> peer;
    };

    ~FakeCp210xTransport() override;

    int addBridge(BridgeModel model);
    // Pulls the bridge: its links answer NoDevice from now on. With notify, queued IN
    // transfers end with NoDevice (what the kernel does) and, when hot-plug is on, the
    // departure is announced; without, only the next call finds out.
    void unplug(int id, bool notify = true);
    // Back in, under a new address: a new device to the host.
    void plug(int id);
    void setHotplug(bool on) { m_Hotplug = on; }

    // The next `count` calls of kind (of a control request: with that bRequest, and wValue
    // unless it is -1) answer result and have no other effect.
    void failNext(Kind kind, pelusb::UsbResult result, int count = 1, int request = -1, int value = -1);
    // Opening this bridge answers result until cleared with Ok.
    void setOpenResult(int id, pelusb::UsbResult result);
    // Ends the queued IN transfers of the bridge with result (a stall, a broken transfer).
    void endReception(int id, pelusb::UsbResult result);
    // Hands what the peers have sent to the queued IN transfers (done after every call too).
    void deliver();

    // The calls in order, one line each: "control 41 1e 0000 0000 [00 c2 01 00]",
    // "bulk-out 02 [61 62]", "claim 0", ...
    QStringList calls() const;
    void clearCalls();

    bool uartEnabled(int id) const;
    quint32 baudRate(int id) const;
    quint16 lineControl(int id) const;
    uint8_t latch(int id) const;
    bool claimed(int id) const;
    bool kernelDriverBound(int id) const;
    bool receiving(int id) const;

    bool available() const override { return true; }
    pelusb::UsbResult enumerate(std::vector<pelusb::UsbDeviceRecord> *out) override;
    pelusb::UsbResult open(const pelusb::UsbDeviceRecord &record, std::unique_ptr<pelusb::UsbLink> *link) override;
    bool watchDepartures(std::function<void(const std::string &key)> departed) override;

private:
    class Link;
    friend class Link;

    struct Bridge {
        int id = 0;
        BridgeModel model;
        uint8_t address = 0;
        bool plugged = true;
        pelusb::UsbResult openResult = pelusb::UsbResult::Ok;
        bool enabled = false;
        quint32 baudRate = 0;
        quint16 lineControl = 0;
        uint8_t latch = 0xFF;
        bool claimed = false;
        bool kernelDriverBound = true;
        pelusb::BulkInSink sink;  // set while IN transfers are queued
        size_t transferSize = 0;
    };
    struct Failure {
        Kind kind;
        pelusb::UsbResult result;
        int count;
        int request;
        int value;
    };

    pelusb::UsbDeviceRecord recordOf(const Bridge &bridge) const;
    Bridge *byId(int id);
    const Bridge *byId(int id) const;
    // The bridge a link talks to while it is plugged in under that address.
    Bridge *live(int id, uint8_t address);
    bool injected(Kind kind, pelusb::UsbResult *result, int request = -1, int value = -1);
    void record(const QString &line);
    void deliverLocked(Bridge &bridge);
    pelusb::UsbResult controlLocked(Bridge &bridge, const pelusb::ControlSetup &setup, uint8_t *data,
                                    uint16_t length, size_t *transferred);

    mutable std::recursive_mutex m_Mutex;
    std::vector<Bridge> m_Bridges;
    std::deque<Failure> m_Failures;
    QStringList m_Calls;
    int m_NextId = 1;
    uint8_t m_NextAddress = 2;
    bool m_Hotplug = true;
    std::function<void(const std::string &key)> m_Departed;
};
