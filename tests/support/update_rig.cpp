#include "support/update_rig.h"

#include "sim_board.h"
#include "support/hex_writer.h"

#include <QFile>

std::shared_ptr<SimBridgeLibrary> simLibraryWith(std::shared_ptr<pelsim::SerialPeer> peer)
{
    auto lib = std::make_shared<SimBridgeLibrary>();
    lib->addBridge(QStringLiteral("Orbalo Mini (simulated)"), QStringLiteral("0001"), std::move(peer));
    return lib;
}

QByteArray plausibleImage(int size, const QByteArray &name)
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

QByteArray flashBytes(const pelsim::SimBoard &board, int size)
{
    const std::vector<uint8_t> flash = board.flash();
    return QByteArray(reinterpret_cast<const char *>(flash.data()), size);
}

UpdateRig::UpdateRig(std::shared_ptr<BridgeLibrary> library)
    : dev(std::move(library), false)
    , finished(&dev, &VX_SI_USBXpressDev::SIGNAL_FirmwareWriteFinish)
{
}

int UpdateRig::open()
{
    dev.fillListOfDevice();
    return dev.openDevice(0);
}

QString UpdateRig::writeHex(const QByteArray &image)
{
    return writeFile(QStringLiteral("fw.hex"), toIntelHex(image));
}

QString UpdateRig::writeFile(const QString &name, const QByteArray &text)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(text);
    return path;
}

void UpdateRig::run(const QString &path, int limit)
{
    const int before = finished.count();
    dev.SLOT_StartFirmwareUpdate(path);
    for (int pass = 0; pass < limit && finished.count() == before; ++pass)
        dev.pollOnce();
    dev.pollOnce();
}

QByteArray UpdateRig::console()
{
    QByteArray text;
    char c = 0;
    while (dev.getConsoleByte(c) == 1)
        text += c;
    return text;
}
