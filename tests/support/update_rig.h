#pragma once
// A whole firmware update driven pass by pass (the worker not started): one device object on a
// bridge library with a board behind it, the HEX file in a folder of its own, the result spy.
#include "usbdevice/sim_bridge_library.h"
#include "usbdevice/vx_si_usbxpressdev.h"

#include <QByteArray>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <memory>

namespace pelsim {
class SerialPeer;
class SimBoard;
}

// A simulated bridge library holding one bridge, "Orbalo Mini (simulated) [0x0001]", with peer;
// the bridge's id is kRigBridgeId.
constexpr int kRigBridgeId = 1;
std::shared_ptr<SimBridgeLibrary> simLibraryWith(std::shared_ptr<pelsim::SerialPeer> peer);

// size bytes of pattern behind a plausible vector table (stack in RAM, Thumb reset vector into
// flash) and the name marker the simulated board's banner shows.
QByteArray plausibleImage(int size, const QByteArray &name);

// The first size bytes of the simulated board's flash.
QByteArray flashBytes(const pelsim::SimBoard &board, int size);

struct UpdateRig {
    explicit UpdateRig(std::shared_ptr<BridgeLibrary> library);

    // Lists the bridges and opens the first one; the library's answer (1 when open).
    int open();
    // Writes image as Intel HEX into the rig's folder; the file's path.
    QString writeHex(const QByteArray &image);
    // Writes text as name into the rig's folder; the file's path.
    QString writeFile(const QString &name, const QByteArray &text);
    // Starts an update from path and passes until it reports (or limit passes), then one pass
    // more, in which a stray second report would show.
    void run(const QString &path, int limit = 200000);
    qint8 result(int i = 0) const { return finished.at(i).at(0).value<qint8>(); }
    // Takes the console text written so far.
    QByteArray console();

    VX_SI_USBXpressDev dev;
    QSignalSpy finished;
    QTemporaryDir dir;
};
