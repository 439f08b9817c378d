// What the command-line tool needs of the device object beyond the window's operations: who
// holds a listed bridge, an update from an image in memory (a raw binary) rather than a HEX
// file, and a read of the flash into memory. The last two run the bootloader sequence of the
// window's updates; they only start it differently.
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
    if (!idleForStart(kImageOrigin))
        return false;
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
    prepareUpdate(SM_FW_EnterBootloaderSend, UpdatePhase::Sync, false);
    m_BootloaderActive.store(true, std::memory_order_release);
    return true;
}

bool VX_SI_USBXpressDev::startFlashRead(quint32 address, quint32 length)
{
    const char *origin = "VX_SI_USBXpressDev::startFlashRead";
    if (length == 0 || address < kHexFlashBase || address >= kFlashEnd || length > kFlashEnd - address) {
        logError(origin, "%u bytes from 0x%08x are not all flash", length, address);
        return false;
    }
    std::unique_lock<std::mutex> lock(m_PendingMutex);
    if (!idleForStart(origin))
        return false;
    m_HexFilePath = QStringLiteral("flash read at 0x%1").arg(address, 8, 16, QLatin1Char('0'));
    m_FlashReadAddress = address;
    m_FlashReadLength = length;
    m_FlashReadData.clear();
    prepareUpdate(SM_FW_EnterBootloaderSend, UpdatePhase::Sync, true);
    m_BootloaderActive.store(true, std::memory_order_release);
    return true;
}

bool VX_SI_USBXpressDev::idleForStart(const char *origin)
{
    if (!isDeviceOpen() || m_BootloaderActive.load(std::memory_order_acquire) || !m_PendingStarts.isEmpty()) {
        logError(origin, "%s", isDeviceOpen() ? "Update running" : "Device not open");
        return false;
    }
    return true;
}
