// The STM32 ROM bootloader sequence (USART protocol of ST's AN3155): one step per pass of the
// worker loop, time-outs counted in steps, never waiting for the board.
#include "vx_si_usbxpressdev.h"

#include "app/log.h"
#include "console_text.h"
#include "stm32_usart_protocol.h"

namespace {

constexpr const char *kOrigin = "VX_SI_USBXpressDev::WriteFirmware_Handler";

using stm32::kAck;
using stm32::kCmdErase;
using stm32::kCmdGetId;
using stm32::kCmdWriteMemory;
using stm32::kMassEraseCode;
using stm32::kNack;
using stm32::kSync;
constexpr quint16 kProductId = stm32::kProductIdF10xMedium;
constexpr quint32 kFlashBase = stm32::kFlashBase;
constexpr quint32 kBlockSize = stm32::kMaxBlock;
constexpr qint16 kRetryBudget = 5;
constexpr quint16 kSyncTimeout = 100;
constexpr quint16 kReplyTimeout = 1000;
constexpr quint16 kDataTimeout = 5000;

enum class Reply { None, Ack, Nack, Other };

} // namespace

void VX_SI_USBXpressDev::WriteFirmware_Handler()
{
    if (m_HexFilePath.isEmpty()) {
        writeConsoleLine(consoleRed(QStringLiteral("Bootloader Fail -> invalid file path!!")));
        emit SIGNAL_FirmwareWriteFinish(-1);
        m_BootloaderActive.store(false, std::memory_order_release);
        return;
    }
    if (m_FwTimeout != 0)
        --m_FwTimeout;

    const quint32 state = m_FwState.load(std::memory_order_acquire);
    if (state > SM_FW_WriteFileFinish) {
        writeConsoleLine(consoleRed(QStringLiteral("Bootloader Fail -> invalid State")
                                    + QString::asprintf(" %d", int(state))));
        m_FwState.store(SM_FW_Idle, std::memory_order_release);
        return;
    }

    // The received byte is cleared first, so an empty ring never reads as ACK or NACK.
    auto takeReply = [this]() {
        if (getRxCount() < 1)
            return Reply::None;
        char byte = 0;
        getRxByte(byte);
        if (quint8(byte) == kAck)
            return Reply::Ack;
        if (quint8(byte) == kNack)
            return Reply::Nack;
        return Reply::Other;
    };
    auto takeByte = [this]() {
        char byte = 0;
        getRxByte(byte);
        return quint8(byte);
    };
    auto send = [this](const quint8 *frame, quint16 length) {
        sendData(reinterpret_cast<const char *>(frame), length);
    };
    auto setState = [this](quint32 next) { m_FwState.store(next, std::memory_order_release); };
    auto fail = [this, &setState](const QString &message) {
        writeConsoleLine(consoleRed(message));
        setState(SM_FW_Idle);
    };
    auto dropLeftovers = [this]() {
        char byte = 0;
        while (getRxByte(byte) == 1)
            logStatus(kOrigin, "KILL Byte!");
    };

    switch (state) {
    case SM_FW_Idle:
        if (m_BootloaderActive.load(std::memory_order_acquire)) {
            dropLeftovers();
            writeConsoleLine(consoleRed(QStringLiteral("Bootloader IDEL -> set this->m_BootloaderActive = false")));
            emit SIGNAL_FirmwareWriteFinish(-1);
            SetBootModeOrbalo(false);
            m_BootloaderActive.store(false, std::memory_order_release);
        }
        break;

    case SM_FW_ConvertHexFile: {
        const qint8 result = ConvertHex2BinFile(m_HexFile, m_BinFile);
        if (result != 1) {
            fail(QString::asprintf("Bootloader Fail -> ErrorCode %d", int(result)));
        } else if (m_BinFile.size() == 0) {
            // Refused before the erase: an empty image would leave the board blank.
            fail(QStringLiteral("Bootloader Fail -> Hex-File holds no data"));
        } else {
            m_FwStartAddress = kFlashBase;  // a HEX file's image always starts there
            setState(SM_FW_EnterBootloaderSend);
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
        send(frame, sizeof frame);
        m_FwTimeout = kSyncTimeout;
        if (m_FwRetry == -1)
            m_FwRetry = kRetryBudget;
        setState(SM_FW_EnterBootloaderReceive);
        break;
    }

    case SM_FW_EnterBootloaderReceive:
        if (takeReply() == Reply::Ack) {
            m_FwRetry = -1;
            setState(SM_FW_GetDeviceIDSend);
        }
        if (m_FwTimeout == 0) {
            if (m_FwRetry > 0) {
                --m_FwRetry;
                setState(SM_FW_EnterBootloaderSend);
            } else {
                fail(QStringLiteral("Bootloader Fail -> EnterBootloader Time Error"));
            }
        }
        break;

    case SM_FW_GetDeviceIDSend: {
        flushBuffers();
        const quint8 frame[] = {kCmdGetId, quint8(kCmdGetId ^ 0xFF)};
        send(frame, sizeof frame);
        m_FwTimeout = kReplyTimeout;
        if (m_FwRetry == -1)
            m_FwRetry = kRetryBudget;
        setState(SM_FW_GetDeviceIDReceive);
        break;
    }

    case SM_FW_GetDeviceIDReceive:
        if (getRxCount() >= 5) {
            if (takeByte() != kAck) {
                logError(kOrigin, "SM_FW_GetDeviceIDSend ACK1 miss");
                return;
            }
            const quint8 n = takeByte();
            quint16 id = 0;
            if (n != 0xFF) {
                for (int i = 0; i <= n; ++i)
                    id = quint16((id << 8) + takeByte());
            }
            if (id == kProductId) {
                if (takeByte() != kAck) {
                    logError(kOrigin, "SM_FW_GetDeviceIDSend ACK2 miss");
                    setState(SM_FW_Idle);
                    return;
                }
                setState(SM_FW_EraseSend);
            } else if (m_FwRetry > 0) {
                // The reply's closing ACK must not stay behind, or the next reply is read one
                // byte off and every retry sees a wrong ID.
                takeByte();
                --m_FwRetry;
                setState(SM_FW_GetDeviceIDSend);
            } else {
                fail(QString::asprintf("Bootloader Fail -> STM32 ID: 0x%04x not supported", id));
            }
        }
        if (m_FwTimeout == 0) {
            if (takeByte() == kNack)
                logError(kOrigin, "SM_FW_GetDeviceIDSend NACK");
            fail(QString::asprintf("Bootloader Fail -> Time Error SM_FW_GetDeviceIDReceive %d Bytes",
                                   int(getRxCount())));
        }
        break;

    case SM_FW_EraseSend: {
        const quint8 frame[] = {kCmdErase, quint8(kCmdErase ^ 0xFF)};
        send(frame, sizeof frame);
        m_FwTimeout = kReplyTimeout;
        setState(SM_FW_EraseReceive);
        break;
    }

    case SM_FW_EraseReceive:
        // A NACK here is not told apart from noise: the wait runs on to its time-out.
        if (takeReply() == Reply::Ack)
            setState(SM_FW_GlobalEraseSend);
        if (m_FwTimeout == 0)
            fail(QStringLiteral("Bootloader Fail -> Time Error SM_FW_EraseReceive"));
        break;

    case SM_FW_GlobalEraseSend: {
        const quint8 frame[] = {kMassEraseCode, quint8(kMassEraseCode ^ 0xFF)};
        send(frame, sizeof frame);
        m_FwTimeout = kReplyTimeout;
        setState(SM_FW_GlobalEraseReceive);
        break;
    }

    case SM_FW_GlobalEraseReceive:
        if (takeReply() == Reply::Ack)
            setState(SM_FW_WriteFileStart);
        if (m_FwTimeout == 0)
            fail(QStringLiteral("Bootloader Fail -> Time Error SM_FW_GlobalEraseReceive"));
        break;

    case SM_FW_WriteFileStart: {
        if (!m_BinFile.isOpen()) {
            // Ends through the failure ending so the window and the client still get a result.
            fail(QStringLiteral("Bootloader Fail -> invalid State") + QStringLiteral(" 10"));
            break;
        }
        m_FwAddress = m_FwStartAddress;
        m_FwBytesLeft = quint32(m_BinFile.size());
        m_FwBlocksLeft = quint16(m_FwBytesLeft / kBlockSize + (m_FwBytesLeft % kBlockSize ? 1 : 0));
        writeConsoleLine(QStringLiteral("Write Firmware File:"));
        writeConsoleText(QStringLiteral("\n*"), false);
        setState(SM_FW_WriteFileSendCMD);
        break;
    }

    case SM_FW_WriteFileSendCMD: {
        const quint8 frame[] = {kCmdWriteMemory, quint8(kCmdWriteMemory ^ 0xFF)};
        send(frame, sizeof frame);
        m_FwTimeout = kReplyTimeout;
        setState(SM_FW_WriteFileReceiveCMD);
        break;
    }

    case SM_FW_WriteFileReceiveCMD:
        switch (takeReply()) {
        case Reply::Ack: setState(SM_FW_WriteFileSendAddr); break;
        case Reply::Nack:
            logError(kOrigin, "SM_FW_WriteFileReceiveCMD -> Get NACK %d", int(m_FwBlocksLeft));
            setState(SM_FW_Idle);
            break;
        default: break;
        }
        if (m_FwTimeout == 0)
            fail(QStringLiteral("Bootloader Fail -> Time Error SM_FW_WriteFileReceiveCMD"));
        break;

    case SM_FW_WriteFileSendAddr: {
        const quint8 frame[] = {quint8(m_FwAddress >> 24), quint8(m_FwAddress >> 16),
                                quint8(m_FwAddress >> 8), quint8(m_FwAddress),
                                quint8((m_FwAddress >> 24) ^ (m_FwAddress >> 16)
                                       ^ (m_FwAddress >> 8) ^ m_FwAddress)};
        send(frame, sizeof frame);
        m_FwTimeout = kReplyTimeout;
        setState(SM_FW_WriteFileReceiveAddr);
        break;
    }

    case SM_FW_WriteFileReceiveAddr:
        switch (takeReply()) {
        case Reply::Ack: setState(SM_FW_WriteFileSendData); break;
        case Reply::Nack:
            logError(kOrigin, "SM_FW_WriteFileReceiveAddr -> Get NACK %d", int(m_FwBlocksLeft));
            setState(SM_FW_Idle);
            break;
        default: break;
        }
        if (m_FwTimeout == 0)
            fail(QStringLiteral("Bootloader Fail -> Time Error SM_FW_WriteFileReceiveAddr"));
        break;

    case SM_FW_WriteFileSendData: {
        const quint32 n = m_FwBytesLeft >= kBlockSize ? kBlockSize : m_FwBytesLeft;
        // Count byte, up to 256 data bytes, checksum: a fixed frame, no allocation.
        quint8 frame[kBlockSize + 2];
        if (n == 0 || m_BinFile.read(reinterpret_cast<char *>(frame + 1), qint64(n)) != qint64(n)) {
            fail(QStringLiteral("Bootloader Fail -> Binary Firmware File not readable"));
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
        send(frame, quint16(sent + 2));
        m_FwAddress += n;
        m_FwTimeout = kDataTimeout;
        setState(SM_FW_WriteFileReceiveData);
        break;
    }

    case SM_FW_WriteFileReceiveData:
        switch (takeReply()) {
        case Reply::Ack:
            --m_FwBlocksLeft;
            writeConsoleText(QStringLiteral("*"), false);
            setState(m_FwBlocksLeft != 0 ? SM_FW_WriteFileSendCMD : SM_FW_WriteFileFinish);
            break;
        case Reply::Nack:
            logError(kOrigin, "SM_FW_WriteFileReceiveData -> Get NACK %d", int(m_FwBlocksLeft));
            setState(SM_FW_Idle);
            break;
        default: break;
        }
        if (m_FwTimeout == 0)
            fail(QStringLiteral("Bootloader Fail -> Time Error SM_FW_WriteFileReceiveData"));
        break;

    case SM_FW_WriteFileFinish:
        writeConsoleLine(QString());
        dropLeftovers();
        emit SIGNAL_FirmwareWriteFinish(1);
        SetBootModeOrbalo(false);
        m_BootloaderActive.store(false, std::memory_order_release);
        setState(SM_FW_Idle);
        break;
    }
}
