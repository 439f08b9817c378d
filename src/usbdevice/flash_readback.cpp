// Reading the flash back through the bootloader's Read Memory command, one step per pass like
// the write: command, address, byte count, then the block's data. The verify job compares each
// block with the image as it was written, so a result of 1 means the chip holds the image, not
// merely that every frame was acknowledged; the store job keeps the blocks (a read of the flash
// into memory, for the command-line tool).
#include "vx_si_usbxpressdev.h"

#include "app/log.h"
#include "bootloader_steps.h"
#include "console_text.h"

using namespace bootseq;
using stm32::kCmdReadMemory;

void VX_SI_USBXpressDev::startVerify()
{
    // The written range: the image and the erased bytes that padded its last block to whole
    // words, which were programmed too.
    if (!m_BinFile.seek(0)) {
        failUpdate(QStringLiteral("Bootloader Fail -> Binary Firmware File not readable"));
        return;
    }
    m_VerifyImage = m_BinFile.readAll();
    if (m_VerifyImage.size() != m_BinFile.size() || m_VerifyImage.isEmpty()) {
        failUpdate(QStringLiteral("Bootloader Fail -> Binary Firmware File not readable"));
        return;
    }
    while (m_VerifyImage.size() % 4 != 0)
        m_VerifyImage.append(char(0xFF));
    m_ReadJob = ReadJob::Verify;
    m_ReadAddress = m_FwStartAddress;
    m_ReadBytesLeft = quint32(m_VerifyImage.size());
    m_ReadBlocksLeft = quint16((m_ReadBytesLeft + kBlockSize - 1) / kBlockSize);
    m_ReadBlocksTotal = m_ReadBlocksLeft;
    writeConsoleLine(QStringLiteral("Verify Firmware:"));
    writeConsoleText(QStringLiteral("\n"), false);
    setFwState(SM_FW_ReadMemSendCMD);
}

void VX_SI_USBXpressDev::startReadToMemory()
{
    m_ReadJob = ReadJob::Store;
    m_FlashReadData.clear();
    m_FlashReadData.reserve(int(m_FlashReadLength));
    m_ReadAddress = m_FlashReadAddress;
    m_ReadBytesLeft = m_FlashReadLength;
    m_ReadBlocksLeft = quint16((m_ReadBytesLeft + kBlockSize - 1) / kBlockSize);
    m_ReadBlocksTotal = m_ReadBlocksLeft;
    writeConsoleLine(QStringLiteral("Read Flash:"));
    writeConsoleText(QStringLiteral("\n"), false);
    setFwState(SM_FW_ReadMemSendCMD);
}

void VX_SI_USBXpressDev::readBackStep(quint32 state)
{
    switch (state) {
    case SM_FW_VerifyStart:
        startVerify();
        break;

    case SM_FW_ReadFlashStart:
        startReadToMemory();
        break;

    case SM_FW_ReadMemSendCMD: {
        const quint8 frame[] = {kCmdReadMemory, quint8(kCmdReadMemory ^ 0xFF)};
        sendFrame(frame, sizeof frame);
        m_FwTimeout = kReplyTimeout;
        setFwState(SM_FW_ReadMemReceiveCMD);
        break;
    }

    case SM_FW_ReadMemReceiveCMD:
        if (strictAckStep("SM_FW_ReadMemReceiveCMD", m_ReadBlocksLeft))
            setFwState(SM_FW_ReadMemSendAddr);
        break;

    case SM_FW_ReadMemSendAddr:
        sendAddressFrame(m_ReadAddress);
        setFwState(SM_FW_ReadMemReceiveAddr);
        break;

    case SM_FW_ReadMemReceiveAddr:
        if (strictAckStep("SM_FW_ReadMemReceiveAddr", m_ReadBlocksLeft))
            setFwState(SM_FW_ReadMemSendCount);
        break;

    case SM_FW_ReadMemSendCount: {
        m_ReadBlockSize = m_ReadBytesLeft < kBlockSize ? m_ReadBytesLeft : kBlockSize;
        const quint8 count = quint8(m_ReadBlockSize - 1);
        const quint8 frame[] = {count, quint8(count ^ 0xFF)};
        sendFrame(frame, sizeof frame);
        m_FwTimeout = kReplyTimeout;
        setFwState(SM_FW_ReadMemReceiveCount);
        break;
    }

    case SM_FW_ReadMemReceiveCount:
        // After this ACK every byte is data, whatever its value.
        if (strictAckStep("SM_FW_ReadMemReceiveCount", m_ReadBlocksLeft)) {
            m_FwTimeout = kReplyTimeout;
            setFwState(SM_FW_ReadMemReceiveData);
        }
        break;

    case SM_FW_ReadMemReceiveData:
        // The block is taken whole in the step in which its last byte is there.
        if (getRxCount() >= m_ReadBlockSize) {
            quint8 block[kBlockSize];
            for (quint32 i = 0; i < m_ReadBlockSize; ++i)
                takeReply(block[i]);
            if (!consumeReadBlock(block, m_ReadBlockSize))
                break;
            m_ReadAddress += m_ReadBlockSize;
            m_ReadBytesLeft -= m_ReadBlockSize;
            --m_ReadBlocksLeft;
            writeConsoleText(QStringLiteral("*"), false);
            setFwState(m_ReadBlocksLeft != 0 ? SM_FW_ReadMemSendCMD : readJobEndState());
        }
        if (m_FwTimeout == 0)
            failUpdate(QString::asprintf("Bootloader Fail -> Time Error SM_FW_ReadMemReceiveData %d Bytes",
                                         int(getRxCount())));
        break;
    }
}

bool VX_SI_USBXpressDev::consumeReadBlock(const quint8 *data, quint32 length)
{
    switch (m_ReadJob) {
    case ReadJob::Verify:
        return verifyBlock(data, length);
    case ReadJob::Store:
        m_FlashReadData.append(reinterpret_cast<const char *>(data), int(length));
        return true;
    }
    return false;
}

quint32 VX_SI_USBXpressDev::readJobEndState() const
{
    // Both end as an update does: the success ending restarts the chip into its application.
    switch (m_ReadJob) {
    case ReadJob::Verify:
    case ReadJob::Store:
        return SM_FW_WriteFileFinish;
    }
    return SM_FW_Idle;
}

bool VX_SI_USBXpressDev::verifyBlock(const quint8 *data, quint32 length)
{
    const quint32 offset = m_ReadAddress - m_FwStartAddress;
    for (quint32 i = 0; i < length; ++i) {
        const quint8 expected = quint8(m_VerifyImage.at(int(offset + i)));
        if (data[i] != expected) {
            const quint32 address = m_ReadAddress + i;
            logError(kOrigin, "Verify Error at 0x%08X: Soll 0x%02X, Ist 0x%02X", address, expected, data[i]);
            failUpdate(QString::asprintf("Bootloader Fail -> Verify Error at 0x%08X: read 0x%02X, expected 0x%02X",
                                         address, data[i], expected));
            return false;
        }
    }
    return true;
}
