// What the command-line tool needs of the device object beyond the window's operations: who
// holds a listed bridge, and an update from an image in memory (a raw binary) rather than a
// HEX file.
#include "vx_si_usbxpressdev.h"

#include "app/log.h"
#include "hex_image.h"

namespace {

constexpr const char *kImageOrigin = "VX_SI_USBXpressDev::startImageUpdate";
constexpr quint32 kFlashEnd = kHexFlashBase + kHexFlashSize;

} // namespace

QString VX_SI_USBXpressDev::deviceBackend(quint16 Index) const
{
    quint16 deviceNum = 0;
    {
        std::unique_lock<std::mutex> lock(m_DeviceSnapshotMutex);
        if (Index >= m_DeviceNumbers.size())
            return QString();
        deviceNum = m_DeviceNumbers.at(Index);
    }
    return m_Library->backendName(deviceNum);
}

QString VX_SI_USBXpressDev::deviceHolder(quint16 Index) const
{
    quint16 deviceNum = 0;
    {
        std::unique_lock<std::mutex> lock(m_DeviceSnapshotMutex);
        if (Index >= m_DeviceNumbers.size())
            return QString();
        deviceNum = m_DeviceNumbers.at(Index);
    }
    return m_Library->holder(deviceNum);
}

bool VX_SI_USBXpressDev::startImageUpdate(const QByteArray &image, quint32 address)
{
    if (image.isEmpty() || address % 4 != 0 || address < kHexFlashBase || address >= kFlashEnd
        || quint32(image.size()) > kFlashEnd - address) {
        logError(kImageOrigin, "Image of %d bytes does not fit the flash at 0x%08x", int(image.size()), address);
        return false;
    }
    std::unique_lock<std::mutex> lock(m_PendingMutex);
    if (!isDeviceOpen() || m_BootloaderActive.load(std::memory_order_acquire) || !m_PendingStarts.isEmpty()) {
        logError(kImageOrigin, "%s", isDeviceOpen() ? "Update running" : "Device not open");
        return false;
    }
    // The worker touches the image file only inside an update, and none runs now.
    const bool stored = (m_BinFile.isOpen() ? m_BinFile.resize(0) && m_BinFile.seek(0) : m_BinFile.open())
                        && m_BinFile.write(image) == image.size() && m_BinFile.flush() && m_BinFile.seek(0);
    if (!stored) {
        logError(kImageOrigin, "Image file not writable: %s", qUtf8Printable(m_BinFile.errorString()));
        m_BinFile.close();
        return false;
    }
    // The empty-path guard of the sequence is for HEX files; an image has a name of its own.
    m_HexFilePath = QStringLiteral("image at 0x%1").arg(address, 8, 16, QLatin1Char('0'));
    m_FwStartAddress = address;
    prepareUpdate(SM_FW_EnterBootloaderSend, UpdatePhase::Sync);
    m_BootloaderActive.store(true, std::memory_order_release);
    return true;
}
