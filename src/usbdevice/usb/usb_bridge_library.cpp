#include "usb_bridge_library.h"

#include "app/log.h"
#include "cp210x_protocol.h"
#include "usb_node_holder.h"

#include <QStringList>

#include <algorithm>
#include <cstring>

using pelusb::Cp210xPort;
using pelusb::UsbDeviceRecord;
using pelusb::UsbResult;

namespace {
const char *kUdevHint = "install packaging/udev/60-pelmora-cp210x.rules (cmake --install does; see "
                        "docs/real-bridge.md), run \"udevadm control --reload\" and replug the board";
}

std::vector<UsbId> defaultUsbIds()
{
    return {{pelusb::cp210x::kVendorSiliconLabs, pelusb::cp210x::kProductUartBridge},
            {pelusb::cp210x::kVendorSiliconLabs, pelusb::cp210x::kProductUsbXpress}};
}

std::vector<UsbId> parseUsbIds(const QString &text)
{
    std::vector<UsbId> ids;
    const QStringList entries = text.split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString &raw : entries) {
        const QStringList parts = raw.trimmed().split(QLatin1Char(':'));
        bool vendorOk = false;
        bool productOk = false;
        uint vendor = 0;
        uint product = 0;
        if (parts.size() == 2) {
            vendor = parts.at(0).trimmed().toUInt(&vendorOk, 16);
            product = parts.at(1).trimmed().toUInt(&productOk, 16);
        }
        if (!vendorOk || !productOk || vendor > 0xFFFF || product > 0xFFFF) {
            logError("UsbBridgeLibrary::parseUsbIds", "Ignoring \"%s\" in PELMORA_USB_IDS (use vid:pid in hex)",
                     qUtf8Printable(raw.trimmed()));
            continue;
        }
        const UsbId id{quint16(vendor), quint16(product)};
        if (std::find(ids.begin(), ids.end(), id) == ids.end())
            ids.push_back(id);
    }
    return ids;
}

std::vector<UsbId> usbIdsFromEnvironment()
{
    const QString text = qEnvironmentVariable("PELMORA_USB_IDS");
    if (text.trimmed().isEmpty())
        return defaultUsbIds();
    std::vector<UsbId> ids = parseUsbIds(text);
    return ids.empty() ? defaultUsbIds() : ids;
}

UsbBridgeLibrary::UsbBridgeLibrary(std::shared_ptr<pelusb::UsbTransport> transport, std::vector<UsbId> ids)
    : m_Transport(std::move(transport)), m_Ids(std::move(ids))
{
    if (m_Transport && m_Transport->available())
        m_Hotplug = m_Transport->watchDepartures([this](const std::string &key) { departed(key); });
}

UsbBridgeLibrary::~UsbBridgeLibrary()
{
    // No notice may reach a half-destroyed library; the transport guarantees none runs once
    // this returns.
    if (m_Hotplug)
        m_Transport->watchDepartures(nullptr);
    std::map<SiHandle, Open> open;
    {
        std::lock_guard<std::mutex> lock(m_OpenMutex);
        open.swap(m_Open);
    }
    for (auto &entry : open)
        entry.second.port->stop();
}

bool UsbBridgeLibrary::wanted(const UsbDeviceRecord &record) const
{
    const UsbId id{record.vendorId, record.productId};
    return std::find(m_Ids.begin(), m_Ids.end(), id) != m_Ids.end();
}

void UsbBridgeLibrary::reportNoAccess(const UsbDeviceRecord &record, const std::string &key,
                                      const char *origin)
{
    if (!m_NoAccessReported.insert(key).second)
        return;
    logError(origin, "No permission to open the bridge %04x:%04x at %s: %s", record.vendorId,
             record.productId, pelusb::deviceLocation(record).c_str(), kUdevHint);
}

bool UsbBridgeLibrary::readStrings(const UsbDeviceRecord &record, const std::string &key, Strings *out)
{
    std::unique_ptr<pelusb::UsbLink> link;
    const UsbResult result = m_Transport->open(record, &link);
    if (result == UsbResult::Access) {
        reportNoAccess(record, key, "UsbBridgeLibrary::getNumDevices");
        return false;
    }
    if (result != UsbResult::Ok || !link)
        return false;
    // A bridge without a string has an empty text; one that does not answer is tried again
    // at the next enumeration.
    if (record.productStringIndex &&
        link->stringDescriptor(record.productStringIndex, &out->description) != UsbResult::Ok)
        return false;
    if (record.serialStringIndex &&
        link->stringDescriptor(record.serialStringIndex, &out->serialNumber) != UsbResult::Ok)
        return false;
    return true;
}

int UsbBridgeLibrary::getNumDevices(quint32 *numDevices)
{
    if (!numDevices)
        return SI_INVALID_PARAMETER;
    *numDevices = 0;
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Listed.clear();
    if (!m_Transport || !m_Transport->available()) {
        if (!m_UnavailableReported)
            logStatus("UsbBridgeLibrary::getNumDevices", "USB is not available: no real bridges");
        m_UnavailableReported = true;
        return SI_SUCCESS;
    }
    std::vector<UsbDeviceRecord> all;
    const UsbResult result = m_Transport->enumerate(&all);
    if (result != UsbResult::Ok)
        return SI_DEVICE_NOT_FOUND;
    std::vector<UsbDeviceRecord> bridges;
    for (const UsbDeviceRecord &record : all)
        if (wanted(record))
            bridges.push_back(record);
    std::sort(bridges.begin(), bridges.end(), pelusb::locationLess);

    std::set<std::string> present;
    for (const UsbDeviceRecord &record : bridges) {
        const std::string key = pelusb::deviceKey(record);
        present.insert(key);
        auto cached = m_StringCache.find(key);
        if (cached == m_StringCache.end()) {
            Strings strings;
            if (!readStrings(record, key, &strings))
                continue;
            cached = m_StringCache.emplace(key, strings).first;
        }
        m_Listed.push_back({record, key, cached->second.description, cached->second.serialNumber});
    }
    // Without hot-plug notices this is where a pulled bridge is found; with them it is a
    // second net for a notice that came before the bridge was opened.
    {
        std::lock_guard<std::mutex> open(m_OpenMutex);
        for (auto &entry : m_Open)
            if (!present.count(entry.second.key))
                entry.second.port->markGone();
    }
    for (auto it = m_StringCache.begin(); it != m_StringCache.end();)
        it = present.count(it->first) ? std::next(it) : m_StringCache.erase(it);
    for (auto it = m_NoAccessReported.begin(); it != m_NoAccessReported.end();)
        it = present.count(*it) ? std::next(it) : m_NoAccessReported.erase(it);

    *numDevices = quint32(m_Listed.size());
    return SI_SUCCESS;
}

int UsbBridgeLibrary::getProductString(quint32 deviceNum, char *buffer, quint32 selector)
{
    if (!buffer || (selector != SI_RETURN_SERIAL_NUMBER && selector != SI_RETURN_DESCRIPTION))
        return SI_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (deviceNum >= m_Listed.size())
        return SI_DEVICE_NOT_FOUND;
    const Listed &listed = m_Listed[deviceNum];
    const std::string &text = selector == SI_RETURN_DESCRIPTION ? listed.description : listed.serialNumber;
    const size_t length = std::min(text.size(), size_t(kSiProductStringSize - 1));
    std::memcpy(buffer, text.data(), length);
    buffer[length] = '\0';
    return SI_SUCCESS;
}

int UsbBridgeLibrary::open(quint32 deviceNum, SiHandle *handle)
{
    if (!handle)
        return SI_INVALID_PARAMETER;
    Listed listed;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (deviceNum >= m_Listed.size())
            return SI_DEVICE_NOT_FOUND;
        listed = m_Listed[deviceNum];
        // One program, one handle: a bridge already open is busy, as on the vendor's library.
        std::lock_guard<std::mutex> open(m_OpenMutex);
        for (const auto &entry : m_Open)
            if (entry.second.key == listed.key)
                return SI_DEVICE_NOT_FOUND;
    }
    std::unique_ptr<pelusb::UsbLink> link;
    const UsbResult result = m_Transport->open(listed.record, &link);
    if (result != UsbResult::Ok || !link) {
        if (result == UsbResult::Access) {
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_NoAccessReported.erase(listed.key);  // asked for by the user: say it again
            reportNoAccess(listed.record, listed.key, "UsbBridgeLibrary::open");
        }
        return SI_DEVICE_NOT_FOUND;
    }
    auto port = std::make_shared<Cp210xPort>(std::move(link), pelusb::deviceLocation(listed.record));
    const int status = port->start();
    if (status != SI_SUCCESS)
        return status;
    {
        std::lock_guard<std::mutex> lock(m_OpenMutex);
        const SiHandle outer = m_NextHandle++;
        m_Open[outer] = {listed.key, port};
        *handle = outer;
    }
    logStatus("UsbBridgeLibrary::open", "Opened %s at %s%s", pelusb::cp210x::partName(port->partNumber()),
              pelusb::deviceLocation(listed.record).c_str(),
              port->kernelDriverDetached() ? ", kernel serial driver detached" : "");
    return SI_SUCCESS;
}

int UsbBridgeLibrary::close(SiHandle handle)
{
    std::shared_ptr<Cp210xPort> port;
    {
        std::lock_guard<std::mutex> lock(m_OpenMutex);
        const auto it = m_Open.find(handle);
        if (it == m_Open.end())
            return SI_INVALID_HANDLE;
        port = it->second.port;
        m_Open.erase(it);
    }
    // Outside the lock: stopping waits for the event thread, which may be waiting for the
    // lock with a hot-plug notice. Closing releases the handle even after an unplug.
    port->stop();
    return SI_SUCCESS;
}

QString UsbBridgeLibrary::backendName(quint32)
{
    return QStringLiteral("usb");
}

QString UsbBridgeLibrary::holder(quint32 deviceNum)
{
    Listed listed;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (deviceNum >= m_Listed.size())
            return QString();
        listed = m_Listed[deviceNum];
        std::lock_guard<std::mutex> open(m_OpenMutex);
        for (const auto &entry : m_Open)
            if (entry.second.key == listed.key)
                return QStringLiteral("this program");
    }
    std::unique_ptr<pelusb::UsbLink> link;
    if (m_Transport->open(listed.record, &link) != UsbResult::Ok || !link)
        return QString();
    bool kernelDriver = false;
    if (link->kernelDriverActive(pelusb::cp210x::kInterface, &kernelDriver) != UsbResult::Ok || kernelDriver)
        return QString();
    const UsbResult claim = link->claimInterface(pelusb::cp210x::kInterface);
    if (claim == UsbResult::Ok) {
        link->releaseInterface(pelusb::cp210x::kInterface);
        return QString();
    }
    if (claim != UsbResult::Busy)
        return QString();
    const QString named = usbNodeHolder(listed.record.bus, listed.record.address);
    return named.isEmpty() ? QStringLiteral("another program") : named;
}

void UsbBridgeLibrary::departed(const std::string &key)
{
    std::lock_guard<std::mutex> lock(m_OpenMutex);
    for (auto &entry : m_Open)
        if (entry.second.key == key)
            entry.second.port->markGone();
}

std::shared_ptr<Cp210xPort> UsbBridgeLibrary::portFor(SiHandle handle, int *status)
{
    std::lock_guard<std::mutex> lock(m_OpenMutex);
    const auto it = m_Open.find(handle);
    if (it == m_Open.end()) {
        *status = SI_INVALID_HANDLE;
        return nullptr;
    }
    *status = SI_SUCCESS;
    return it->second.port;
}

int UsbBridgeLibrary::read(SiHandle handle, void *buffer, quint32 bytesToRead, quint32 *bytesReturned)
{
    if (bytesReturned)
        *bytesReturned = 0;
    int status = SI_SUCCESS;
    const auto port = portFor(handle, &status);
    return port ? port->read(buffer, bytesToRead, bytesReturned) : status;
}

int UsbBridgeLibrary::write(SiHandle handle, const void *buffer, quint32 bytesToWrite, quint32 *bytesWritten)
{
    if (bytesWritten)
        *bytesWritten = 0;
    int status = SI_SUCCESS;
    const auto port = portFor(handle, &status);
    return port ? port->write(buffer, bytesToWrite, bytesWritten) : status;
}

int UsbBridgeLibrary::flushBuffers(SiHandle handle, quint8 flushTransmit, quint8 flushReceive)
{
    int status = SI_SUCCESS;
    const auto port = portFor(handle, &status);
    return port ? port->purge(flushTransmit != 0, flushReceive != 0) : status;
}

int UsbBridgeLibrary::checkRxQueue(SiHandle handle, quint32 *numBytesInQueue, quint32 *queueStatus)
{
    int status = SI_SUCCESS;
    const auto port = portFor(handle, &status);
    if (!port) {
        if (numBytesInQueue)
            *numBytesInQueue = 0;
        if (queueStatus)
            *queueStatus = 0;
        return status;
    }
    return port->checkRxQueue(numBytesInQueue, queueStatus);
}

int UsbBridgeLibrary::setBaudRate(SiHandle handle, quint32 baudRate)
{
    int status = SI_SUCCESS;
    const auto port = portFor(handle, &status);
    return port ? port->setBaudRate(baudRate) : status;
}

int UsbBridgeLibrary::setLineControl(SiHandle handle, quint16 lineControl)
{
    int status = SI_SUCCESS;
    const auto port = portFor(handle, &status);
    return port ? port->setLineControl(lineControl) : status;
}

int UsbBridgeLibrary::writeLatch(SiHandle handle, quint8 mask, quint8 latch)
{
    int status = SI_SUCCESS;
    const auto port = portFor(handle, &status);
    return port ? port->writeLatch(mask, latch) : status;
}
