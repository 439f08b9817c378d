#pragma once
// A whole firmware update driven pass by pass (the worker not started): one device object on a
// bridge library with a board behind it, the HEX file in a folder of its own, the result spy.
#include "sim_board.h"
#include "support/hex_writer.h"
#include "support/test_files.h"
#include "usbdevice/sim_bridge_library.h"
#include "usbdevice/vx_si_usbxpressdev.h"

#include <QByteArray>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <memory>

// A simulated bridge library holding one bridge, "Orbalo Mini (simulated) [0x0001]", with peer;
// the bridge's id is kRigBridgeId.
constexpr int kRigBridgeId = 1;
inline std::shared_ptr<SimBridgeLibrary> simLibraryWith(std::shared_ptr<pelsim::SerialPeer> peer)
{
    auto lib = std::make_shared<SimBridgeLibrary>();
    lib->addBridge(QStringLiteral("Orbalo Mini (simulated)"), QStringLiteral("0001"), std::move(peer));
    return lib;
}

// A board's options from a fault list in PELMORA_SIM_FAULTS syntax; a bad list stops the test.
inline pelsim::BoardOptions boardOptions(const char *faults, pelsim::Timing timing = pelsim::BoardOptions().timing)
{
    pelsim::BoardOptions o;
    o.timing = timing;
    if (!pelsim::parseFaults(faults, o))
        qFatal("bad fault list %s", faults);
    return o;
}

// size bytes of pattern behind a plausible vector table (stack in RAM, Thumb reset vector into
// flash) and the name marker the simulated board's banner shows.
inline QByteArray plausibleImage(int size, const QByteArray &name)
{
    QByteArray image(size, '\0');
    for (int i = 0; i < size; ++i)
        image[i] = char((i * 37 + 11) & 0xFF);
    const char vectors[] = {0x00, 0x50, 0x00, 0x20, 0x41, 0x01, 0x00, 0x08};
    image.replace(0, 8, QByteArray(vectors, 8));
    const QByteArray marker = "FWNAME=" + name + '\0';
    image.replace(8, marker.size(), marker);
    return image;
}

// The first size bytes of the simulated board's flash.
inline QByteArray flashBytes(const pelsim::SimBoard &board, int size)
{
    const std::vector<uint8_t> flash = board.flash();
    return QByteArray(reinterpret_cast<const char *>(flash.data()), size);
}

// Everything one of the device object's rings holds now, e.g. drain(dev, &VX_SI_USBXpressDev::getRxByte).
inline QByteArray drain(VX_SI_USBXpressDev &dev, qint8 (VX_SI_USBXpressDev::*take)(char &))
{
    QByteArray bytes;
    char c = 0;
    while ((dev.*take)(c) == 1)
        bytes += c;
    return bytes;
}

// An error line of the device object's log as the console shows it.
inline QString errorText(const char *origin, const char *message)
{
    return QStringLiteral("\x1b[31mERROR[\x1b[32mZorvane\x1b[31m]->%1: %2\x1b[0m")
        .arg(QLatin1String(origin), QLatin1String(message));
}

struct UpdateRig {
    explicit UpdateRig(std::shared_ptr<BridgeLibrary> library)
        : dev(std::move(library), false), finished(&dev, &VX_SI_USBXpressDev::SIGNAL_FirmwareWriteFinish)
    {
    }
    // Lists the bridges and opens the first one; the library's answer (1 when open).
    int open()
    {
        dev.fillListOfDevice();
        return dev.openDevice(0);
    }
    QString writeHex(const QByteArray &image) { return writeFile(QStringLiteral("fw.hex"), toIntelHex(image)); }
    // Writes text as name into the rig's folder; the file's path.
    QString writeFile(const QString &name, const QByteArray &text)
    {
        const QString path = dir.filePath(name);
        ::writeFile(path, text);
        return path;
    }
    // Starts an update from path (none: lets the one begun go on) and passes until it reports
    // (or limit passes), then one pass more, in which a stray second report would show; the
    // passes it took.
    int run(const QString &path = QString(), int limit = 200000)
    {
        const int before = finished.count();
        if (!path.isNull())
            dev.SLOT_StartFirmwareUpdate(path);
        int passes = 0;
        for (; passes < limit && finished.count() == before; ++passes)
            dev.pollOnce();
        dev.pollOnce();
        return passes;
    }
    qint8 result(int i = 0) const { return finished.at(i).at(0).value<qint8>(); }
    QByteArray console() { return drain(dev, &VX_SI_USBXpressDev::getConsoleByte); }

    VX_SI_USBXpressDev dev;
    QSignalSpy finished;
    QTemporaryDir dir;
};
