// Starting an update, switching the board into and out of its ROM bootloader, and the
// update's console lines.
#include "vx_si_usbxpressdev.h"

#include "app/log.h"
#include "bootloader_steps.h"
#include "console_text.h"

#include <QFileInfo>

namespace {

// Console text can take 64 KiB beyond the ring before anything is given up.
constexpr int kConsoleBacklogMax = 64 * 1024;

} // namespace

void VX_SI_USBXpressDev::SLOT_StartFirmwareUpdate(QString Path2HexFile)
{
    std::unique_lock<std::mutex> lock(m_PendingMutex);
    if (m_BootloaderActive.load(std::memory_order_acquire) || !m_PendingStarts.isEmpty()) {
        // The running update's fields must not change under it; this one waits its turn.
        logStatus("VX_SI_USBXpressDev::SLOT_StartFirmwareUpdate",
                  "Update running, request deferred: %s", qUtf8Printable(Path2HexFile));
        m_PendingStarts.append(Path2HexFile);
        return;
    }
    startUpdate(Path2HexFile);
}

void VX_SI_USBXpressDev::startDeferredUpdate()
{
    std::unique_lock<std::mutex> lock(m_PendingMutex);
    if (m_PendingStarts.isEmpty())
        return;
    startUpdate(m_PendingStarts.takeFirst());
}

void VX_SI_USBXpressDev::startUpdate(const QString &path)
{
    if (!isDeviceOpen()) {
        writeConsoleLine(consoleRed(QStringLiteral("Bootloader Fail -> Device not connected!!")));
    } else if (path.isEmpty() || !QFileInfo(path).isFile()) {
        writeConsoleLine(consoleRed(QStringLiteral("Hex-File not found under-> \"")
                                    + consoleEscape(path) + QStringLiteral("\"")));
        // The failure ending must run, not whatever state an earlier update stopped in.
        m_FwState.store(SM_FW_Idle, std::memory_order_release);
    } else {
        m_HexFilePath = path;
        if (m_HexFile.isOpen())
            m_HexFile.close();
        m_HexFile.setFileName(path);
        m_FwStartAddress = bootseq::kFlashBase;  // a HEX file's image always starts there
        prepareUpdate(SM_FW_ConvertHexFile, UpdatePhase::Convert, false);
    }
    m_BootloaderActive.store(true, std::memory_order_release);
}

void VX_SI_USBXpressDev::prepareUpdate(quint32 firstState, UpdatePhase phase, bool flashRead)
{
    writeConsoleLine(QStringLiteral("<br>Bootloader Start!!"));
    // Each update gets the whole retry budget, whatever the last one used up.
    m_FwRetry = -1;
    m_FwVerify = verifyAfterWrite();
    m_FwBlocksLeft = m_FwBlocksTotal = 0;
    m_ReadBlocksLeft = m_ReadBlocksTotal = 0;
    m_FlashRead = flashRead;
    m_ResetDuringUpdate.store(false, std::memory_order_release);
    storeProgress(phase, 0, 0);
    m_FwState.store(firstState, std::memory_order_release);
}

void VX_SI_USBXpressDev::SetBootModeOrbalo(bool enable)
{
    setReset(true);
    const int status = setLineControl(enable ? kLineControl8E1 : kLineControl8N1);
    if (status == SI_INVALID_HANDLE || status == SI_INVALID_PARAMETER
        || status == SI_DEVICE_IO_FAILED) {
        logError("VX_SI_USBXpressDev::SetBootModeOrbalo", "%s", siStatusName(status));
        return;
    }
    setBoot0(enable);
    QThread::msleep(50);
    setReset(false);
    QThread::msleep(50);
}

void VX_SI_USBXpressDev::writeConsoleLine(const QString &text)
{
    storeConsoleBytes(consoleLatin1(QStringLiteral("<br><b>") + text + QStringLiteral("</b>\n")));
}

void VX_SI_USBXpressDev::writeConsoleText(const QString &text, bool lineBreak)
{
    storeConsoleBytes(consoleLatin1(lineBreak ? QStringLiteral("<br>") + text : text));
}

void VX_SI_USBXpressDev::storeConsoleBytes(const QByteArray &bytes)
{
    {
        std::unique_lock<std::mutex> lock(m_ConsoleMutex);
        if (m_ConsoleBacklog.isEmpty()) {
            const quint16 stored = m_ConsoleBuffer.put(reinterpret_cast<const quint8 *>(bytes.constData()),
                                                       quint16(qMin<int>(bytes.size(), 0xFFFF)));
            if (stored < bytes.size())
                m_ConsoleBacklog = bytes.mid(stored);
        } else if (m_ConsoleBacklog.size() + bytes.size() <= kConsoleBacklogMax) {
            m_ConsoleBacklog.append(bytes);
        } else {
            lock.unlock();
            logError("VX_SI_USBXpressDev::writeConsoleLine",
                     "Console not read, %d bytes of text dropped: %s", int(bytes.size()),
                     bytes.constData());
            return;
        }
    }
    emit SIGNAL_newDataAvailable(1);
}

void VX_SI_USBXpressDev::flushConsoleBacklog()
{
    quint16 stored = 0;
    {
        std::unique_lock<std::mutex> lock(m_ConsoleMutex);
        if (m_ConsoleBacklog.isEmpty())
            return;
        stored = m_ConsoleBuffer.put(reinterpret_cast<const quint8 *>(m_ConsoleBacklog.constData()),
                                     quint16(qMin<int>(m_ConsoleBacklog.size(), 0xFFFF)));
        m_ConsoleBacklog.remove(0, stored);
    }
    if (stored > 0)
        emit SIGNAL_newDataAvailable(1);
}
