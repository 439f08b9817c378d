// Device side of the bridge object: the bridge list, open/close, send/receive, the pins.
#include "vx_si_usbxpressdev.h"

#include "app/log.h"


#include <algorithm>
#include <initializer_list>

namespace {

bool isOneOf(int status, std::initializer_list<int> codes)
{
    return std::find(codes.begin(), codes.end(), status) != codes.end();
}

const char *statusText(int status)
{
    const char *name = siStatusName(status);
    return name ? name : "SI_UNKNOWN_STATUS";
}

// GPIO latch: bit 0 drives RESET, bit 1 drives BOOT0; both lines are active at latch level 0.
constexpr quint8 kResetMask = 0x01;
constexpr quint8 kBoot0Mask = 0x02;

} // namespace

void VX_SI_USBXpressDev::fillListOfDevice()
{
    quint32 count = 0;
    int numDevices = 0;
    const int countStatus = m_Library->getNumDevices(&count);
    if (countStatus == SI_SUCCESS) {
        numDevices = int(count & 0xFFFF);
    } else if (isOneOf(countStatus, {SI_INVALID_PARAMETER, SI_DEVICE_NOT_FOUND})) {
        logError("VX_SI_USBXpressDev::getNumUSBdevs", "%s", statusText(countStatus));
    }

    for (DeviceInfo *info : qAsConst(m_DeviceList))
        info->Present = false;

    for (int i = 0; i < numDevices; ++i) {
        auto *info = new DeviceInfo;
        if (getDeviceInfo(quint16(i), *info) != 1) {
            delete info;
            break;
        }
        DeviceInfo *known = nullptr;
        for (DeviceInfo *candidate : qAsConst(m_DeviceList)) {
            if (candidate->SerialNumber == info->SerialNumber) {
                known = candidate;
                break;
            }
        }
        if (known) {
            known->Present = true;
            known->DeviceNum = quint16(i);
            delete info;
        } else {
            logStatus("VX_SI_USBXpressDev::fillListOfDevice", "Add Device Index");
            info->Present = true;
            m_DeviceList.append(info);
            m_DeviceListChanged = true;
        }
    }

    for (int pos = 0; pos < m_DeviceList.size();) {
        DeviceInfo *info = m_DeviceList.at(pos);
        if (info->Present) {
            ++pos;
            continue;
        }
        if (m_OpenDeviceNum.load(std::memory_order_acquire) == qint16(info->DeviceNum))
            closeDev(true);
        logStatus("VX_SI_USBXpressDev::fillListOfDevice", "Remove Device Index %d", pos);
        m_DeviceList.removeAt(pos);
        delete info;
        m_DeviceListChanged = true;
    }

    // Device numbers may shift without the list changing; the snapshot always follows them.
    publishDeviceList();
    if (m_DeviceListChanged) {
        m_DeviceListChanged = false;
        emit SIGNAL_newDeviceListAvailable();
    }
}

void VX_SI_USBXpressDev::publishDeviceList()
{
    QStringList names;
    QList<quint16> numbers;
    for (const DeviceInfo *info : qAsConst(m_DeviceList)) {
        names << info->Description + QStringLiteral(" [0x") + info->SerialNumber + QStringLiteral("]");
        numbers << info->DeviceNum;
    }
    std::unique_lock<std::mutex> lock(m_DeviceSnapshotMutex);
    m_DeviceNames = names;
    m_DeviceNumbers = numbers;
}

int VX_SI_USBXpressDev::getDeviceInfo(quint16 DeviceNum, DeviceInfo &Info)
{
    Info.DeviceNum = DeviceNum;
    char buffer[kSiProductStringSize];

    buffer[0] = '\0';
    int status = m_Library->getProductString(DeviceNum, buffer, SI_RETURN_DESCRIPTION);
    if (status == SI_SUCCESS) {
        buffer[kSiProductStringSize - 1] = '\0';  // a backend's text never runs past the buffer
        Info.Description = QString::fromUtf8(buffer);
    } else if (isOneOf(status, {SI_INVALID_PARAMETER, SI_DEVICE_NOT_FOUND})) {
        logError("VX_SI_USBXpressDev::getDeviceInfo", "%s", statusText(status));
        return -1;
    }

    buffer[0] = '\0';
    status = m_Library->getProductString(DeviceNum, buffer, SI_RETURN_SERIAL_NUMBER);
    if (status == SI_SUCCESS) {
        buffer[kSiProductStringSize - 1] = '\0';
        Info.SerialNumber = QString::fromUtf8(buffer);
        return 1;
    }
    if (isOneOf(status, {SI_INVALID_PARAMETER, SI_DEVICE_NOT_FOUND})) {
        logError("VX_SI_USBXpressDev::getDeviceInfo", "%s", statusText(status));
        return -1;
    }
    return 1;
}

QStringList VX_SI_USBXpressDev::getDeviceNameList() const
{
    std::unique_lock<std::mutex> lock(m_DeviceSnapshotMutex);
    return m_DeviceNames;
}

int VX_SI_USBXpressDev::openDevice(quint16 Index)
{
    quint16 deviceNum = 0;
    {
        std::unique_lock<std::mutex> lock(m_DeviceSnapshotMutex);
        if (Index >= m_DeviceNumbers.size()) {
            lock.unlock();
            logError("VX_SI_USBXpressDev::openDevice", "Device to Open not exist");
            return -1;
        }
        deviceNum = m_DeviceNumbers.at(Index);
    }
    std::unique_lock<std::mutex> io(m_IoMutex);
    if (isDeviceOpen()) {
        logError("VX_SI_USBXpressDev::openDevice", "Device already open");
        return -1;
    }

    SiHandle handle = kNoSiHandle;
    int status = m_Library->open(deviceNum, &handle);
    if (isOneOf(status, {SI_INVALID_PARAMETER, SI_GLOBAL_DATA_ERROR, SI_DEVICE_NOT_FOUND})) {
        logError("VX_SI_USBXpressDev::openDevice", "%s", statusText(status));
        return -1;
    }
    m_DeviceHandle.store(handle, std::memory_order_release);

    status = m_Library->setBaudRate(handle, kBaudRate);
    if (isOneOf(status, {SI_INVALID_HANDLE, SI_INVALID_PARAMETER, SI_DEVICE_IO_FAILED,
                         SI_INVALID_BAUDRATE})) {
        logError("VX_SI_USBXpressDev::openDevice", "%s", statusText(status));
        // A half-opened bridge would stay busy for every later attempt: give it back.
        m_Library->close(handle);
        m_DeviceHandle.store(kNoSiHandle, std::memory_order_release);
        return -1;
    }
    status = m_Library->setLineControl(handle, kLineControl8N1);
    if (isOneOf(status, {SI_INVALID_HANDLE, SI_INVALID_PARAMETER, SI_DEVICE_IO_FAILED})) {
        logError("VX_SI_USBXpressDev::openDevice", "%s", statusText(status));
        m_Library->close(handle);
        m_DeviceHandle.store(kNoSiHandle, std::memory_order_release);
        return -1;
    }
    m_OpenDeviceNum.store(qint16(deviceNum), std::memory_order_release);
    m_DeviceOpen.store(true, std::memory_order_release);
    return 1;
}

int VX_SI_USBXpressDev::closeDev(bool Emit)
{
    {
        std::unique_lock<std::mutex> io(m_IoMutex);
        if (!isDeviceOpen()) {
            io.unlock();
            logError("VX_SI_USBXpressDev::closeDev", "Device not open");
            return -1;
        }
        const int status = m_Library->close(m_DeviceHandle.load(std::memory_order_acquire));
        if (isOneOf(status, {SI_INVALID_HANDLE, SI_GLOBAL_DATA_ERROR, SI_SYSTEM_ERROR_CODE,
                             SI_DEVICE_NOT_FOUND})) {
            io.unlock();
            logError("VX_SI_USBXpressDev::closeDev", "%s", statusText(status));
            return -1;
        }
        if (status == SI_SUCCESS) {
            m_DeviceOpen.store(false, std::memory_order_release);
            m_DeviceHandle.store(kNoSiHandle, std::memory_order_release);
        }
    }
    if (Emit)
        emit SIGNAL_connectionClosed();
    return 1;
}

quint16 VX_SI_USBXpressDev::BytesAvailable()
{
    quint32 queued = 0;
    quint32 queueStatus = 0;
    int status;
    {
        std::unique_lock<std::mutex> io(m_IoMutex);
        status = m_Library->checkRxQueue(m_DeviceHandle.load(std::memory_order_acquire), &queued,
                                         &queueStatus);
    }
    if (isOneOf(status, {SI_INVALID_HANDLE, SI_INVALID_PARAMETER, SI_DEVICE_IO_FAILED})) {
        logError("VX_SI_USBXpressDev::BytesAvailable", "%s", statusText(status));
        return 0xFFFF;
    }
    if (status != SI_SUCCESS)
        logError("VX_SI_USBXpressDev::BytesAvailable", "SI Unkown Error %d", status);
    // 0xFFFF is the failure value: a queue that large reads as one byte less, never as failure.
    return quint16(std::min<quint32>(queued, 0xFFFE));
}

int VX_SI_USBXpressDev::ReadData(quint16 Count)
{
    if (!isDeviceOpen() || Count == 0)
        return 0;
    // Never more than the buffer holds nor than the ring can take without losing unread
    // bytes: what is left stays in the bridge's queue for the next pass.
    const quint32 wanted = std::min<quint32>({Count, quint32(kReadBufferSize),
                                              m_RxBuffer.freeSpace()});
    if (wanted == 0)
        return 0;
    quint8 buffer[kReadBufferSize];
    quint32 got = 0;
    int status;
    {
        std::unique_lock<std::mutex> io(m_IoMutex);
        status = m_Library->read(m_DeviceHandle.load(std::memory_order_acquire), buffer, wanted, &got);
    }
    if (isOneOf(status, {SI_INVALID_HANDLE, SI_READ_ERROR, SI_INVALID_PARAMETER,
                         SI_INVALID_REQUEST_LENGTH, SI_DEVICE_IO_FAILED, SI_SYSTEM_ERROR_CODE,
                         SI_READ_TIMED_OUT, SI_IO_PENDING})) {
        logError("VX_SI_USBXpressDev::ReadData", "%s", statusText(status));
        return -1;
    }
    got = std::min(got, wanted);
    return m_RxBuffer.put(buffer, quint16(got));
}

quint16 VX_SI_USBXpressDev::sendData(const char *Data, quint16 Length)
{
    if (!isDeviceOpen())
        return 0xFFFF;
    quint32 written = 0;
    int status;
    {
        std::unique_lock<std::mutex> io(m_IoMutex);
        status = m_Library->write(m_DeviceHandle.load(std::memory_order_acquire), Data, Length,
                                  &written);
    }
    if (isOneOf(status, {SI_INVALID_HANDLE, SI_WRITE_ERROR, SI_INVALID_PARAMETER,
                         SI_INVALID_REQUEST_LENGTH, SI_DEVICE_IO_FAILED,
                         SI_FUNCTION_NOT_SUPPORTED, SI_SYSTEM_ERROR_CODE, SI_WRITE_TIMED_OUT,
                         SI_IO_PENDING, SI_DEVICE_NOT_FOUND})) {
        logError("VX_SI_USBXpressDev::sendData", "%s", statusText(status));
        return 0xFFFF;
    }
    return 1;
}

int VX_SI_USBXpressDev::flushBuffers()
{
    int status;
    {
        std::unique_lock<std::mutex> io(m_IoMutex);
        status = m_Library->flushBuffers(m_DeviceHandle.load(std::memory_order_acquire), 1, 1);
    }
    if (isOneOf(status, {SI_INVALID_HANDLE, SI_SYSTEM_ERROR_CODE})) {
        logError("VX_SI_USBXpressDev::flushBuffers", "%s", statusText(status));
        return -1;
    }
    return 1;
}

int VX_SI_USBXpressDev::setLineControl(quint16 lineControl)
{
    std::unique_lock<std::mutex> io(m_IoMutex);
    return m_Library->setLineControl(m_DeviceHandle.load(std::memory_order_acquire), lineControl);
}

static int writePin(BridgeLibrary &library, std::mutex &io, SiHandle handle, const char *origin,
                    quint8 mask, quint8 value)
{
    int status;
    {
        std::unique_lock<std::mutex> lock(io);
        status = library.writeLatch(handle, mask, value);
    }
    if (isOneOf(status, {SI_INVALID_HANDLE, SI_INVALID_PARAMETER, SI_DEVICE_IO_FAILED,
                         SI_FUNCTION_NOT_SUPPORTED, SI_GLOBAL_DATA_ERROR, SI_DEVICE_NOT_FOUND})) {
        logError(origin, "%s", statusText(status));
        return -1;
    }
    return 1;
}

int VX_SI_USBXpressDev::setReset(bool Reset)
{
    return writePin(*m_Library, m_IoMutex, m_DeviceHandle.load(std::memory_order_acquire),
                    "VX_SI_USBXpressDev::setReset", kResetMask, Reset ? 0x00 : kResetMask);
}

int VX_SI_USBXpressDev::setBoot0(bool Boot0)
{
    return writePin(*m_Library, m_IoMutex, m_DeviceHandle.load(std::memory_order_acquire),
                    "VX_SI_USBXpressDev::setBoot0", kBoot0Mask, Boot0 ? 0x00 : kBoot0Mask);
}

void VX_SI_USBXpressDev::resetTarget()
{
    // Held for the whole pulse: the worker ends the step it is in first and takes no byte while
    // the chip restarts. The restarted application's text holds ACK bytes ('y'), so a running
    // update must end before it takes another reply; its next pass does that.
    std::lock_guard<std::mutex> step(m_StepMutex);
    setReset(true);
    if (m_BootloaderActive.load(std::memory_order_acquire)) {
        m_ResetDuringUpdate.store(true, std::memory_order_release);
        // What the update's own ending would have done: the application's line, and none of
        // the bootloader's last replies left queued for the console.
        setLineControl(kLineControl8N1);
        flushBuffers();
    }
    setBoot0(false);
    QThread::msleep(50);
    setReset(false);
    QThread::msleep(50);
}
