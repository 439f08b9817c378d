// The worker loop: one pass per millisecond moves the bridge's bytes into the receive ring,
// hands them on by mode, steps a firmware update and refreshes the device list.
#include "vx_si_usbxpressdev.h"

#include "app/log.h"
#include "console_text.h"
#include "tlv/vx_debug_tlv_server.h"


VX_SI_USBXpressDev::VX_SI_USBXpressDev(std::shared_ptr<BridgeLibrary> library, bool startWorker)
    : QThread(nullptr),
      m_Library(library ? std::move(library) : defaultBridgeLibrary()),
      m_TLVServer(new VX_Debug_TLV_Server)
{
    m_VerifyAfterWrite.store(qEnvironmentVariable("PELMORA_VERIFY") != QLatin1String("0"),
                             std::memory_order_release);
    if (startWorker)
        start(QThread::InheritPriority);
}

VX_SI_USBXpressDev::~VX_SI_USBXpressDev()
{
    m_RunThread.store(false, std::memory_order_release);
    // The update's files are closed only once no step of the worker can be using them.
    wait();
    if (m_BinFile.isOpen()) {
        m_BinFile.close();
        logStatus("VX_SI_USBXpressDev::~VX_SI_USBXpressDev", "Close Binary Firmware File");
    }
    if (m_HexFile.isOpen()) {
        m_HexFile.close();
        logStatus("VX_SI_USBXpressDev::~VX_SI_USBXpressDev", "Close Hex Firmware File");
    }
    qDeleteAll(m_DeviceList);
    m_DeviceList.clear();
    delete m_TLVServer;
}

qint8 VX_SI_USBXpressDev::takeByte(ByteRing &ring, char &byte)
{
    quint8 value = 0;
    if (!ring.take(value))
        return -1;
    byte = char(value);
    return 1;
}

void VX_SI_USBXpressDev::setTLVMode(bool TLVMode, bool resetDecoder)
{
    if (TLVMode && resetDecoder && !m_TLVMode.load(std::memory_order_acquire))
        m_TLVResetRequest.store(true, std::memory_order_release);
    m_TLVMode.store(TLVMode, std::memory_order_release);
}

void VX_SI_USBXpressDev::run()
{
    while (m_RunThread.load(std::memory_order_acquire)) {
        pollOnce();
        QThread::msleep(1);
    }
    logStatus("VX_SI_USBXpressDev::run", "Thread END");
}

void VX_SI_USBXpressDev::pollOnce()
{
    {
        std::lock_guard<std::mutex> step(m_StepMutex);
        // Before anything is received: what comes now is the restarted application's.
        if (m_ResetDuringUpdate.exchange(false, std::memory_order_acq_rel)
            && m_BootloaderActive.load(std::memory_order_acquire))
            endUpdateResetByHost();

        if (isDeviceOpen())
            receiveStep();

        if (m_BootloaderActive.load(std::memory_order_acquire))
            updateStep();
        else
            startDeferredUpdate();
    }

    flushConsoleBacklog();

    if (m_ListRefreshCount > 0) {
        --m_ListRefreshCount;
    } else {
        m_ListRefreshCount = 1000;
        fillListOfDevice();
    }
}

void VX_SI_USBXpressDev::updateStep()
{
    if (!isDeviceOpen()) {
        writeConsoleLine(consoleRed(QStringLiteral("Bootloader Fail -> disconnect \u00b5C during write firmware!!")));
        endUpdate(-1, false);
        return;
    }
    quint32 before = m_FwState.load(std::memory_order_acquire);
    WriteFirmware_Handler();
    for (;;) {
        const quint32 after = m_FwState.load(std::memory_order_acquire);
        if (!m_BootloaderActive.load(std::memory_order_acquire) || !continuesInSamePass(before, after))
            break;
        before = after;
        WriteFirmware_Handler();
    }
    if (m_BootloaderActive.load(std::memory_order_acquire))
        publishProgress();
}

void VX_SI_USBXpressDev::receiveStep()
{
    const quint16 queued = BytesAvailable();
    // 0xFFFF is a failed query, already logged; reading 65535 bytes on it would be wrong.
    if (queued != 0 && queued != 0xFFFF) {
        ReadData(queued);
        if (m_BootloaderActive.load(std::memory_order_acquire))
            return;  // the update alone consumes what the bootloader says
        if (!m_TLVMode.load(std::memory_order_acquire)) {
            emit SIGNAL_newDataAvailable(0);
            return;
        }
        feedDecoder();
    }
    if (m_TLVMode.load(std::memory_order_acquire) && !m_BootloaderActive.load(std::memory_order_acquire))
        drainDecoder();
}

void VX_SI_USBXpressDev::feedDecoder()
{
    if (m_TLVResetRequest.exchange(false, std::memory_order_acq_rel))
        m_TLVServer->reset();
    const quint16 unread = m_RxBuffer.count();
    if (unread == 0)
        return;
    quint8 chunk[ByteRing::kSize];
    for (quint16 i = 0; i < unread; ++i)
        chunk[i] = m_RxBuffer.peek(i);
    const quint16 consumed = m_TLVServer->WriteReceiveBuffer(chunk, 0, unread, ByteRing::kSize);
    if (consumed > 0)
        m_RxBuffer.skip(consumed);
}

void VX_SI_USBXpressDev::drainDecoder()
{
    // Decoded bytes that do not fit the TLV ring wait in the decoder for a later pass.
    quint16 moved = 0;
    quint16 waiting = m_TLVServer->OutBufferLength();
    while (waiting > 0 && m_TLVBuffer.freeSpace() > 0) {
        quint8 byte = 0;
        if (m_TLVServer->ReadOutBuffer(byte) != 1)
            break;
        m_TLVBuffer.put(byte);
        ++moved;
        --waiting;
    }
    if (m_TLVServer->hasPendingOutput() && m_TLVServer->OutBufferLength() == 0)
        m_TLVServer->TLV_Handler();
    if (moved > 0)
        emit SIGNAL_newDataAvailable(2);
}
