// The STM32 ROM bootloader sequence (USART protocol of ST's AN3155): one step per pass of the
// worker loop, time-outs counted in steps, never waiting for the board.
#include "vx_si_usbxpressdev.h"

#include "app/log.h"
#include "bootloader_steps.h"
#include "console_text.h"

using namespace bootseq;
using stm32::kAck;
using stm32::kCmdErase;
using stm32::kCmdGetId;
using stm32::kCmdWriteMemory;
using stm32::kMassEraseCode;
using stm32::kNack;
using stm32::kSync;

// The received byte is cleared first, so an empty ring never reads as ACK or NACK.
VX_SI_USBXpressDev::Reply VX_SI_USBXpressDev::takeReply(quint8 &byte)
{
    byte = 0;
    if (getRxCount() < 1)
        return Reply::None;
    char c = 0;
    getRxByte(c);
    byte = quint8(c);
    if (byte == kAck)
        return Reply::Ack;
    if (byte == kNack)
        return Reply::Nack;
    return Reply::Other;
}

void VX_SI_USBXpressDev::sendFrame(const quint8 *frame, quint16 length)
{
    sendData(reinterpret_cast<const char *>(frame), length);
}

void VX_SI_USBXpressDev::failUpdate(const QString &message)
{
    writeConsoleLine(consoleRed(message));
    setFwState(SM_FW_Idle);
}

// One step of a wait in which the bootloader sends nothing but ACK or NACK (the write and the
// read-back): any other byte is not its answer, and taking it for noise could let a later
// stray ACK stand for a block that was never programmed. A NACK or such a byte ends the wait
// at once, with a red line that says which. True when the ACK was taken in time; the next
// state is then the caller's to set.
bool VX_SI_USBXpressDev::strictAckStep(const char *wait, quint16 blocksLeft)
{
    quint8 byte = 0;
    const Reply reply = takeReply(byte);
    if (reply == Reply::Other) {
        logError(kOrigin, "%s -> unexpected Byte 0x%02x in State %u", wait, byte,
                 unsigned(m_FwState.load(std::memory_order_acquire)));
        failUpdate(QString::asprintf("Bootloader Fail -> unexpected Byte 0x%02x in %s", byte, wait));
        return false;
    }
    if (reply == Reply::Nack) {
        logError(kOrigin, "%s -> Get NACK %d", wait, int(blocksLeft));
        failUpdate(QStringLiteral("Bootloader Fail -> Get NACK in ") + QLatin1String(wait));
        return false;
    }
    if (m_FwTimeout == 0) {
        failUpdate(QStringLiteral("Bootloader Fail -> Time Error ") + QLatin1String(wait));
        return false;
    }
    return reply == Reply::Ack;
}

void VX_SI_USBXpressDev::WriteFirmware_Handler()
{
    if (m_HexFilePath.isEmpty()) {
        writeConsoleLine(consoleRed(QStringLiteral("Bootloader Fail -> invalid file path!!")));
        endUpdate(-1, false);
        return;
    }
    if (m_FwTimeout != 0)
        --m_FwTimeout;

    const quint32 state = m_FwState.load(std::memory_order_acquire);
    if (state > SM_FW_LastState) {
        writeConsoleLine(consoleRed(QStringLiteral("Bootloader Fail -> invalid State")
                                    + QString::asprintf(" %d", int(state))));
        m_FwState.store(SM_FW_Idle, std::memory_order_release);
        return;
    }

    switch (state) {
    case SM_FW_Idle:
        if (m_BootloaderActive.load(std::memory_order_acquire))
            failureEnding(true);
        break;

    case SM_FW_ConvertHexFile: {
        const qint8 result = ConvertHex2BinFile(m_HexFile, m_BinFile);
        if (result != 1) {
            failUpdate(QString::asprintf("Bootloader Fail -> ErrorCode %d", int(result)));
        } else if (m_BinFile.size() == 0) {
            // Refused before the erase: an empty image would leave the board blank.
            failUpdate(QStringLiteral("Bootloader Fail -> Hex-File holds no data"));
        } else {
            setFwState(SM_FW_EnterBootloaderSend);
        }
        break;
    }

    case SM_FW_EnterBootloaderSend: {
        SetBootModeOrbalo(true);
        flushBuffers();
        // The application's output from before the reset may still wait in the ring; a 'y' in
        // it is the ACK byte and would pass for the bootloader's answer to the sync.
        if (const quint16 stale = m_RxBuffer.skip(m_RxBuffer.count()))
            logStatus(kOrigin, "Dropped %d bytes received before the sync", int(stale));
        const quint8 frame[] = {kSync};
        sendFrame(frame, sizeof frame);
        m_FwTimeout = kSyncTimeout;
        if (m_FwRetry == -1)
            m_FwRetry = kRetryBudget;
        setFwState(SM_FW_EnterBootloaderReceive);
        break;
    }

    case SM_FW_EnterBootloaderReceive: {
        // Anything before the sync's ACK is line noise or the application's last words.
        quint8 byte = 0;
        if (takeReply(byte) == Reply::Ack) {
            m_FwRetry = -1;
            setFwState(SM_FW_GetDeviceIDSend);
        }
        if (m_FwTimeout == 0) {
            if (m_FwRetry > 0) {
                --m_FwRetry;
                setFwState(SM_FW_EnterBootloaderSend);
            } else {
                failUpdate(QStringLiteral("Bootloader Fail -> EnterBootloader Time Error"));
            }
        }
        break;
    }

    case SM_FW_GetDeviceIDSend: {
        flushBuffers();
        const quint8 frame[] = {kCmdGetId, quint8(kCmdGetId ^ 0xFF)};
        sendFrame(frame, sizeof frame);
        m_FwTimeout = kReplyTimeout;
        if (m_FwRetry == -1)
            m_FwRetry = kRetryBudget;
        setFwState(SM_FW_GetDeviceIDReceive);
        break;
    }

    case SM_FW_GetDeviceIDReceive:
        getDeviceIdStep();
        break;

    case SM_FW_EraseSend: {
        const quint8 frame[] = {kCmdErase, quint8(kCmdErase ^ 0xFF)};
        sendFrame(frame, sizeof frame);
        m_FwTimeout = kReplyTimeout;
        setFwState(SM_FW_EraseReceive);
        break;
    }

    case SM_FW_EraseReceive: {
        // A NACK here is not told apart from noise: the wait runs on to its time-out.
        quint8 byte = 0;
        if (takeReply(byte) == Reply::Ack)
            setFwState(SM_FW_GlobalEraseSend);
        if (m_FwTimeout == 0)
            failUpdate(QStringLiteral("Bootloader Fail -> Time Error SM_FW_EraseReceive"));
        break;
    }

    case SM_FW_GlobalEraseSend: {
        const quint8 frame[] = {kMassEraseCode, quint8(kMassEraseCode ^ 0xFF)};
        sendFrame(frame, sizeof frame);
        m_FwTimeout = kReplyTimeout;
        setFwState(SM_FW_GlobalEraseReceive);
        break;
    }

    case SM_FW_GlobalEraseReceive: {
        quint8 byte = 0;
        if (takeReply(byte) == Reply::Ack)
            setFwState(SM_FW_WriteFileStart);
        if (m_FwTimeout == 0)
            failUpdate(QStringLiteral("Bootloader Fail -> Time Error SM_FW_GlobalEraseReceive"));
        break;
    }

    case SM_FW_WriteFileStart: {
        if (!m_BinFile.isOpen()) {
            // Ends through the failure ending so the window and the client still get a result.
            failUpdate(QStringLiteral("Bootloader Fail -> invalid State") + QStringLiteral(" 10"));
            break;
        }
        m_FwAddress = m_FwStartAddress;
        m_FwBytesLeft = quint32(m_BinFile.size());
        m_FwBlocksLeft = quint16(m_FwBytesLeft / kBlockSize + (m_FwBytesLeft % kBlockSize ? 1 : 0));
        m_FwBlocksTotal = m_FwBlocksLeft;
        writeConsoleLine(QStringLiteral("Write Firmware File:"));
        writeConsoleText(QStringLiteral("\n*"), false);
        setFwState(SM_FW_WriteFileSendCMD);
        break;
    }

    case SM_FW_WriteFileSendCMD: {
        const quint8 frame[] = {kCmdWriteMemory, quint8(kCmdWriteMemory ^ 0xFF)};
        sendFrame(frame, sizeof frame);
        m_FwTimeout = kReplyTimeout;
        setFwState(SM_FW_WriteFileReceiveCMD);
        break;
    }

    case SM_FW_WriteFileReceiveCMD:
        if (strictAckStep("SM_FW_WriteFileReceiveCMD", m_FwBlocksLeft))
            setFwState(SM_FW_WriteFileSendAddr);
        break;

    case SM_FW_WriteFileSendAddr:
        sendAddressFrame(m_FwAddress);
        setFwState(SM_FW_WriteFileReceiveAddr);
        break;

    case SM_FW_WriteFileReceiveAddr:
        if (strictAckStep("SM_FW_WriteFileReceiveAddr", m_FwBlocksLeft))
            setFwState(SM_FW_WriteFileSendData);
        break;

    case SM_FW_WriteFileSendData: {
        const quint32 n = m_FwBytesLeft >= kBlockSize ? kBlockSize : m_FwBytesLeft;
        // Count byte, up to 256 data bytes, checksum: a fixed frame, no allocation.
        quint8 frame[kBlockSize + 2];
        if (n == 0 || m_BinFile.read(reinterpret_cast<char *>(frame + 1), qint64(n)) != qint64(n)) {
            failUpdate(QStringLiteral("Bootloader Fail -> Binary Firmware File not readable"));
            break;
        }
        // The bootloader programs flash by whole words: a short tail is padded with erased bytes.
        quint32 sent = n;
        while (sent % 4 != 0)
            frame[1 + sent++] = 0xFF;
        frame[0] = quint8(sent - 1);
        quint8 checksum = frame[0];
        for (quint32 i = 1; i <= sent; ++i)
            checksum ^= frame[i];
        frame[sent + 1] = checksum;
        m_FwBytesLeft -= n;
        sendFrame(frame, quint16(sent + 2));
        m_FwAddress += n;
        m_FwTimeout = kDataTimeout;
        setFwState(SM_FW_WriteFileReceiveData);
        break;
    }

    case SM_FW_WriteFileReceiveData:
        if (strictAckStep("SM_FW_WriteFileReceiveData", m_FwBlocksLeft)) {
            --m_FwBlocksLeft;
            writeConsoleText(QStringLiteral("*"), false);
            if (m_FwBlocksLeft != 0) {
                setFwState(SM_FW_WriteFileSendCMD);
            } else if (m_FwVerify) {
                setFwState(SM_FW_VerifyStart);
            } else {
                // A stray 0x79 taken for the last ACK while the block was still on the wire
                // would otherwise end the update as written: the real ACK comes after it.
                const quint16 waited = quint16(kDataTimeout - m_FwTimeout);
                m_FwTimeout = waited < kLastBlockQuietSteps ? quint16(kLastBlockQuietSteps - waited) : 1;
                setFwState(SM_FW_WriteFileSettle);
            }
        }
        break;

    case SM_FW_WriteFileSettle: {
        quint8 byte = 0;
        if (takeReply(byte) != Reply::None) {
            logError(kOrigin, "SM_FW_WriteFileSettle -> unexpected Byte 0x%02x after the last block", byte);
            failUpdate(QString::asprintf("Bootloader Fail -> unexpected Byte 0x%02x after the last block", byte));
        } else if (m_FwTimeout == 0) {
            setFwState(SM_FW_WriteFileFinish);
        }
        break;
    }

    case SM_FW_WriteFileFinish:
        writeConsoleLine(QString());
        dropLeftovers();
        setFwState(SM_FW_Idle);
        endUpdate(1, true);
        break;

    default:
        readBackStep(state);
        break;
    }
}

// Four address bytes, most significant first, and their XOR.
void VX_SI_USBXpressDev::sendAddressFrame(quint32 address)
{
    const quint8 frame[] = {quint8(address >> 24), quint8(address >> 16), quint8(address >> 8),
                            quint8(address),
                            quint8((address >> 24) ^ (address >> 16) ^ (address >> 8) ^ address)};
    sendFrame(frame, sizeof frame);
    m_FwTimeout = kReplyTimeout;
}

// The Get ID reply is ACK, the count 1 (every STM32 reports two ID bytes), the ID and ACK. A
// 'y' of the application's text is the ACK byte, but the count never follows it: such bytes
// are not a reply of another chip, they are dropped like noise until the wait runs out.
void VX_SI_USBXpressDev::getDeviceIdStep()
{
    if (getRxCount() >= 5) {
        quint8 first = 0;
        takeReply(first);
        if (first != kAck || m_RxBuffer.peek(0) != 1) {
            logError(kOrigin, "SM_FW_GetDeviceIDSend ACK1 miss");
        } else {
            quint8 byte = 0;
            takeReply(byte);  // the count
            quint16 id = 0;
            for (int i = 0; i < 2; ++i) {
                takeReply(byte);
                id = quint16((id << 8) + byte);
            }
            takeReply(byte);  // the closing ACK
            if (id == kProductId) {
                if (byte != kAck) {
                    logError(kOrigin, "SM_FW_GetDeviceIDSend ACK2 miss");
                    setFwState(SM_FW_Idle);
                    return;
                }
                // A read leaves the flash as it is.
                setFwState(m_FlashRead ? SM_FW_ReadFlashStart : SM_FW_EraseSend);
            } else if (m_FwRetry > 0) {
                --m_FwRetry;
                setFwState(SM_FW_GetDeviceIDSend);
            } else {
                failUpdate(QString::asprintf("Bootloader Fail -> STM32 ID: 0x%04x not supported", id));
            }
        }
    }
    if (m_FwTimeout == 0) {
        quint8 byte = 0;
        if (takeReply(byte) == Reply::Nack)
            logError(kOrigin, "SM_FW_GetDeviceIDSend NACK");
        failUpdate(QString::asprintf("Bootloader Fail -> Time Error SM_FW_GetDeviceIDReceive %d Bytes",
                                     int(getRxCount())));
    }
}

// A reply taken in the block loops is answered with the next frame in the same pass: the chip
// waits for it, and a pass per frame would add a millisecond to every frame (about a tenth of
// the whole update).
bool VX_SI_USBXpressDev::continuesInSamePass(quint32 from, quint32 to)
{
    switch (from) {
    case SM_FW_WriteFileReceiveCMD:
    case SM_FW_WriteFileReceiveAddr:
    case SM_FW_WriteFileReceiveData:
    case SM_FW_VerifyStart:
    case SM_FW_ReadFlashStart:
    case SM_FW_ReadMemReceiveCMD:
    case SM_FW_ReadMemReceiveAddr:
    case SM_FW_ReadMemReceiveCount:  // the data follow the ACK at once
    case SM_FW_ReadMemReceiveData:
        return to != from && to != SM_FW_Idle && to != SM_FW_WriteFileFinish;
    default:
        return false;
    }
}
