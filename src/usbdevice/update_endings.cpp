// How an update ends (one result, whichever way) and what it tells about its progress on the
// way, for a reader on another thread.
#include "vx_si_usbxpressdev.h"

#include "app/log.h"
#include "bootloader_steps.h"
#include "console_text.h"

using bootseq::kOrigin;

void VX_SI_USBXpressDev::dropLeftovers()
{
    char byte = 0;
    while (getRxByte(byte) == 1)
        logStatus(kOrigin, "KILL Byte!");
}

// The failure ending: what the bootloader still said is dropped, then the one result.
void VX_SI_USBXpressDev::failureEnding(bool leaveBootMode)
{
    dropLeftovers();
    writeConsoleLine(consoleRed(QStringLiteral("Bootloader IDEL -> set this->m_BootloaderActive = false")));
    endUpdate(-1, leaveBootMode);
}

void VX_SI_USBXpressDev::endUpdate(qint8 result, bool leaveBootMode)
{
    const UpdateProgress last = updateProgress();
    storeProgress(result == 1 ? UpdatePhase::Done : UpdatePhase::Failed, last.blocksDone, last.blocksTotal);
    m_VerifyImage.clear();
    emit SIGNAL_FirmwareWriteFinish(result);
    if (leaveBootMode)
        SetBootModeOrbalo(false);
    m_BootloaderActive.store(false, std::memory_order_release);
}

// The host restarted the chip in the middle of the dialogue (resetTarget, which has already
// put it back into its application): whatever comes now is the application's.
void VX_SI_USBXpressDev::endUpdateResetByHost()
{
    writeConsoleLine(consoleRed(QStringLiteral("Bootloader Fail -> reset \u00b5C during write firmware!!")));
    setFwState(SM_FW_Idle);
    failureEnding(false);
}

void VX_SI_USBXpressDev::storeProgress(UpdatePhase phase, quint16 done, quint16 total)
{
    m_Progress.store(quint64(quint8(phase)) << 32 | quint64(done) << 16 | total,
                     std::memory_order_release);
}

VX_SI_USBXpressDev::UpdateProgress VX_SI_USBXpressDev::updateProgress() const
{
    const quint64 packed = m_Progress.load(std::memory_order_acquire);
    UpdateProgress p;
    p.phase = UpdatePhase(quint8(packed >> 32));
    p.blocksDone = quint16(packed >> 16);
    p.blocksTotal = quint16(packed);
    return p;
}

void VX_SI_USBXpressDev::publishProgress()
{
    switch (m_FwState.load(std::memory_order_acquire)) {
    case SM_FW_Idle:
    case SM_FW_WriteFileFinish:
        return;  // an ending reports the outcome itself
    case SM_FW_ConvertHexFile:
        storeProgress(UpdatePhase::Convert, 0, 0);
        return;
    case SM_FW_EnterBootloaderSend:
    case SM_FW_EnterBootloaderReceive:
        storeProgress(UpdatePhase::Sync, 0, 0);
        return;
    case SM_FW_GetDeviceIDSend:
    case SM_FW_GetDeviceIDReceive:
        storeProgress(UpdatePhase::Identify, 0, 0);
        return;
    case SM_FW_EraseSend:
    case SM_FW_EraseReceive:
    case SM_FW_GlobalEraseSend:
    case SM_FW_GlobalEraseReceive:
    case SM_FW_WriteFileStart:  // the block count is known once it has run
        storeProgress(UpdatePhase::Erase, 0, 0);
        return;
    case SM_FW_WriteFileSendCMD:
    case SM_FW_WriteFileReceiveCMD:
    case SM_FW_WriteFileSendAddr:
    case SM_FW_WriteFileReceiveAddr:
    case SM_FW_WriteFileSendData:
    case SM_FW_WriteFileReceiveData:
    case SM_FW_VerifyStart:
    case SM_FW_WriteFileSettle:
        storeProgress(UpdatePhase::Write, quint16(m_FwBlocksTotal - m_FwBlocksLeft), m_FwBlocksTotal);
        return;
    default:
        storeProgress(m_ReadJob == ReadJob::Store ? UpdatePhase::Read : UpdatePhase::Verify,
                      quint16(m_ReadBlocksTotal - m_ReadBlocksLeft), m_ReadBlocksTotal);
        return;
    }
}
