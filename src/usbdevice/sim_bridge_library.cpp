#include "sim_bridge_library.h"

#include "serial_peer.h"
#include "sim_board.h"
#include "sim_board_factory.h"

#include <QByteArray>
#include <QDir>
#include <QLockFile>

#include <algorithm>
#include <climits>
#include <cstring>

namespace {

SiOp bridgeOp(pelsim::BridgeCall call)
{
    switch (call) {
    case pelsim::BridgeCall::Write: return SiOp::Write;
    case pelsim::BridgeCall::Flush: return SiOp::FlushBuffers;
    case pelsim::BridgeCall::Latch: return SiOp::WriteLatch;
    case pelsim::BridgeCall::Queue: return SiOp::CheckRxQueue;
    case pelsim::BridgeCall::Read: return SiOp::Read;
    default: return SiOp::SetLineControl;
    }
}

} // namespace

SimBridgeLibrary::SimBridgeLibrary() = default;
SimBridgeLibrary::~SimBridgeLibrary() = default;

std::shared_ptr<SimBridgeLibrary> SimBridgeLibrary::createDefault()
{
    auto library = std::make_shared<SimBridgeLibrary>();
    bool ok = false;
    int count = qEnvironmentVariableIntValue("PELMORA_SIM_BRIDGES", &ok);
    if (!ok || count < 0)
        count = 1;
    count = std::min(count, 16);
    const QString lockDir = qEnvironmentVariableIsEmpty("PELMORA_SIM_LOCK_DIR") ? QDir::tempPath()
                                                                              : qEnvironmentVariable("PELMORA_SIM_LOCK_DIR");
    for (int i = 0; i < count; ++i) {
        const QString serial = QStringLiteral("%1").arg(i + 1, 4, 10, QLatin1Char('0'));
        const int id = library->addBridge(QStringLiteral("Orbalo Mini (simulated)"), serial,
                                          pelsim::createDefaultBoard(i));
        // Keyed by the flash file when there is one: two programs given the same file would
        // otherwise program one board's flash at once.
        const QString flash = QString::fromStdString(pelsim::defaultBoardFlashPath(i));
        library->setLockFile(id, flash.isEmpty()
                                     ? QDir(lockDir).filePath(QStringLiteral("pelmora-sim-%1.lock").arg(serial))
                                     : QDir::cleanPath(QDir::current().absoluteFilePath(flash)) + QStringLiteral(".lock"));
    }
    return library;
}

int SimBridgeLibrary::addBridge(const QString &description, const QString &serialNumber,
                                std::shared_ptr<pelsim::SerialPeer> peer)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    Bridge bridge;
    bridge.id = m_NextId++;
    bridge.description = description;
    bridge.serialNumber = serialNumber;
    bridge.peer = std::move(peer);
    if (auto board = std::dynamic_pointer_cast<pelsim::SimBoard>(bridge.peer)) {
        for (const pelsim::BridgeFault &fault : board->options().bridgeFaults) {
            const pelsim::FrameRule after = fault.after;
            m_Armed.push_back({bridgeOp(fault.call), fault.status, fault.every ? 0 : 1,
                               [board, after]() { return board->framesSeen(after.kind) >= after.first; }});
        }
    }
    m_Bridges.push_back(bridge);
    return bridge.id;
}

void SimBridgeLibrary::unplug(int id)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (Bridge *bridge = byId(id))
        bridge->plugged = false;
}

void SimBridgeLibrary::plug(int id)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    Bridge *bridge = byId(id);
    if (!bridge || bridge->plugged)
        return;
    // A replugged bridge is a new USB device: the handle of its earlier life stays dead.
    bridge->plugged = true;
    bridge->openHandle = kNoSiHandle;
    bridge->lock.reset();
    if (bridge->peer)
        bridge->peer->reattach();
}

void SimBridgeLibrary::setLockFile(int id, const QString &path)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (Bridge *bridge = byId(id))
        bridge->lockPath = path;
}

bool SimBridgeLibrary::isPlugged(int id) const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    const Bridge *bridge = byId(id);
    return bridge && bridge->plugged;
}

bool SimBridgeLibrary::isOpen(int id) const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    const Bridge *bridge = byId(id);
    return bridge && bridge->openHandle != kNoSiHandle;
}

int SimBridgeLibrary::bridgeCount() const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return int(m_Bridges.size());
}

std::shared_ptr<pelsim::SerialPeer> SimBridgeLibrary::peer(int id) const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    const Bridge *bridge = byId(id);
    return bridge ? bridge->peer : nullptr;
}

quint16 SimBridgeLibrary::lineControl(int id) const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    const Bridge *bridge = byId(id);
    return bridge ? bridge->lineControl : 0;
}

quint8 SimBridgeLibrary::latch(int id) const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    const Bridge *bridge = byId(id);
    return bridge ? bridge->latch : 0;
}

quint32 SimBridgeLibrary::baudRate(int id) const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    const Bridge *bridge = byId(id);
    return bridge ? bridge->baudRate : 0;
}

void SimBridgeLibrary::injectStatus(SiOp op, int k, int status, int repeat)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Injections.push_back({op, Injection{k, k + std::max(repeat, 1) - 1, status}});
}

void SimBridgeLibrary::injectNext(SiOp op, int status, int repeat)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    const int k = m_Calls[size_t(op)] + 1;
    m_Injections.push_back({op, Injection{k, k + std::max(repeat, 1) - 1, status}});
}

void SimBridgeLibrary::injectWhen(SiOp op, int status, int repeat, std::function<bool()> armed)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Armed.push_back({op, status, std::max(repeat, 0), std::move(armed)});
}

int SimBridgeLibrary::callCount(SiOp op) const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Calls[size_t(op)];
}

int SimBridgeLibrary::countCall(SiOp op)
{
    const int call = ++m_Calls[size_t(op)];
    for (auto it = m_Armed.begin(); it != m_Armed.end();) {
        if (it->op == op && it->armed()) {
            m_Injections.push_back({op, Injection{call, it->repeat ? call + it->repeat - 1 : INT_MAX, it->status}});
            it = m_Armed.erase(it);
        } else {
            ++it;
        }
    }
    for (const auto &entry : m_Injections) {
        if (entry.first == op && call >= entry.second.from && call <= entry.second.to)
            return entry.second.status;
    }
    return -1;
}

SimBridgeLibrary::Bridge *SimBridgeLibrary::byId(int id)
{
    for (Bridge &bridge : m_Bridges)
        if (bridge.id == id)
            return &bridge;
    return nullptr;
}

const SimBridgeLibrary::Bridge *SimBridgeLibrary::byId(int id) const
{
    for (const Bridge &bridge : m_Bridges)
        if (bridge.id == id)
            return &bridge;
    return nullptr;
}

SimBridgeLibrary::Bridge *SimBridgeLibrary::pluggedByNumber(quint32 deviceNum)
{
    quint32 number = 0;
    for (Bridge &bridge : m_Bridges) {
        if (bridge.peer && bridge.peer->detached())
            bridge.plugged = false;
        if (!bridge.plugged)
            continue;
        if (number == deviceNum)
            return &bridge;
        ++number;
    }
    return nullptr;
}

SimBridgeLibrary::Bridge *SimBridgeLibrary::byHandle(SiHandle handle, int *status)
{
    if (handle != kNoSiHandle) {
        for (Bridge &bridge : m_Bridges) {
            if (bridge.openHandle != handle)
                continue;
            if (bridge.peer && bridge.peer->detached())
                bridge.plugged = false;
            if (!bridge.plugged) {
                *status = SI_DEVICE_IO_FAILED;
                return nullptr;
            }
            *status = SI_SUCCESS;
            return &bridge;
        }
    }
    *status = SI_INVALID_HANDLE;
    return nullptr;
}

int SimBridgeLibrary::getNumDevices(quint32 *numDevices)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    const int injected = countCall(SiOp::GetNumDevices);
    for (Bridge &bridge : m_Bridges)
        if (bridge.peer && bridge.peer->detached())
            bridge.plugged = false;
    if (numDevices) {
        *numDevices = quint32(std::count_if(m_Bridges.begin(), m_Bridges.end(),
                                            [](const Bridge &b) { return b.plugged; }));
    }
    if (injected >= 0)
        return injected;
    return numDevices ? SI_SUCCESS : SI_INVALID_PARAMETER;
}

int SimBridgeLibrary::getProductString(quint32 deviceNum, char *buffer, quint32 selector)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    const int injected = countCall(SiOp::GetProductString);
    if (injected >= 0)
        return injected;
    if (!buffer || (selector != SI_RETURN_SERIAL_NUMBER && selector != SI_RETURN_DESCRIPTION))
        return SI_INVALID_PARAMETER;
    const Bridge *bridge = pluggedByNumber(deviceNum);
    if (!bridge)
        return SI_DEVICE_NOT_FOUND;
    const QByteArray text = (selector == SI_RETURN_DESCRIPTION ? bridge->description
                                                               : bridge->serialNumber).toUtf8();
    const int length = std::min(int(text.size()), kSiProductStringSize - 1);
    std::memcpy(buffer, text.constData(), size_t(length));
    buffer[length] = '\0';
    return SI_SUCCESS;
}

int SimBridgeLibrary::open(quint32 deviceNum, SiHandle *handle)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    const int injected = countCall(SiOp::Open);
    if (injected >= 0)
        return injected;
    if (!handle)
        return SI_INVALID_PARAMETER;
    Bridge *bridge = pluggedByNumber(deviceNum);
    // A bridge is opened by one program at a time; a busy one is not found, like on USB.
    if (!bridge || bridge->openHandle != kNoSiHandle)
        return SI_DEVICE_NOT_FOUND;
    if (!bridge->lockPath.isEmpty()) {
        auto lock = std::make_shared<QLockFile>(bridge->lockPath);
        // Only a live holder counts; the lock of a program that died is taken over.
        lock->setStaleLockTime(0);
        if (!lock->tryLock(0) && lock->error() == QLockFile::LockFailedError)
            return SI_DEVICE_NOT_FOUND;
        // A folder where no lock can be written leaves the bridge usable, only unguarded.
        if (lock->isLocked())
            bridge->lock = std::move(lock);
    }
    bridge->openHandle = m_NextHandle++;
    *handle = bridge->openHandle;
    if (bridge->peer)
        bridge->peer->hostOpened(true);
    return SI_SUCCESS;
}

int SimBridgeLibrary::close(SiHandle handle)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    const int injected = countCall(SiOp::Close);
    if (injected >= 0)
        return injected;
    if (handle == kNoSiHandle)
        return SI_INVALID_HANDLE;
    for (Bridge &bridge : m_Bridges) {
        if (bridge.openHandle == handle) {
            // Closing releases the handle even after the bridge was pulled out.
            bridge.openHandle = kNoSiHandle;
            bridge.lock.reset();
            if (bridge.plugged && bridge.peer)
                bridge.peer->hostOpened(false);
            return SI_SUCCESS;
        }
    }
    return SI_INVALID_HANDLE;
}

int SimBridgeLibrary::read(SiHandle handle, void *buffer, quint32 bytesToRead,
                           quint32 *bytesReturned)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    const int injected = countCall(SiOp::Read);
    if (bytesReturned)
        *bytesReturned = 0;
    if (injected >= 0)
        return injected;
    int status = SI_SUCCESS;
    Bridge *bridge = byHandle(handle, &status);
    if (!bridge)
        return status;
    if (!buffer || !bytesReturned)
        return SI_INVALID_PARAMETER;
    if (bytesToRead == 0 || bytesToRead > 0x10000)
        return SI_INVALID_REQUEST_LENGTH;
    if (bridge->peer)
        *bytesReturned = quint32(bridge->peer->hostRead(static_cast<uint8_t *>(buffer), bytesToRead));
    return SI_SUCCESS;
}

int SimBridgeLibrary::write(SiHandle handle, const void *buffer, quint32 bytesToWrite,
                            quint32 *bytesWritten)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    const int injected = countCall(SiOp::Write);
    if (bytesWritten)
        *bytesWritten = 0;
    if (injected >= 0)
        return injected;
    int status = SI_SUCCESS;
    Bridge *bridge = byHandle(handle, &status);
    if (!bridge)
        return status;
    if (!buffer || bytesToWrite == 0 || bytesToWrite > 0x10000)
        return SI_INVALID_REQUEST_LENGTH;
    if (bridge->peer)
        bridge->peer->hostWrite(static_cast<const uint8_t *>(buffer), bytesToWrite,
                                bridge->lineControl);
    if (bytesWritten)
        *bytesWritten = bytesToWrite;
    return SI_SUCCESS;
}

int SimBridgeLibrary::flushBuffers(SiHandle handle, quint8 flushTransmit, quint8 flushReceive)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    const int injected = countCall(SiOp::FlushBuffers);
    if (injected >= 0)
        return injected;
    int status = SI_SUCCESS;
    Bridge *bridge = byHandle(handle, &status);
    if (!bridge)
        return status;
    // Transmission is immediate here, so only the receive side holds anything to purge.
    Q_UNUSED(flushTransmit);
    if (flushReceive && bridge->peer)
        bridge->peer->hostPurge();
    return SI_SUCCESS;
}

int SimBridgeLibrary::checkRxQueue(SiHandle handle, quint32 *numBytesInQueue, quint32 *queueStatus)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    const int injected = countCall(SiOp::CheckRxQueue);
    int status = SI_SUCCESS;
    Bridge *bridge = byHandle(handle, &status);
    const quint32 queued = (bridge && bridge->peer) ? quint32(bridge->peer->hostAvailable()) : 0;
    if (numBytesInQueue)
        *numBytesInQueue = queued;
    if (queueStatus)
        *queueStatus = queued ? 0x02 /* SI_RX_READY */ : 0x00;
    if (injected >= 0)
        return injected;
    if (!numBytesInQueue || !queueStatus)
        return SI_INVALID_PARAMETER;
    return status;
}

int SimBridgeLibrary::setBaudRate(SiHandle handle, quint32 baudRate)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    const int injected = countCall(SiOp::SetBaudRate);
    if (injected >= 0)
        return injected;
    int status = SI_SUCCESS;
    Bridge *bridge = byHandle(handle, &status);
    if (!bridge)
        return status;
    // The CP210x takes rates from 300 baud to 3 Mbaud.
    if (baudRate < 300 || baudRate > 3000000)
        return SI_INVALID_BAUDRATE;
    bridge->baudRate = baudRate;
    return SI_SUCCESS;
}

int SimBridgeLibrary::setLineControl(SiHandle handle, quint16 lineControl)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    const int injected = countCall(SiOp::SetLineControl);
    if (injected >= 0)
        return injected;
    int status = SI_SUCCESS;
    Bridge *bridge = byHandle(handle, &status);
    if (!bridge)
        return status;
    const int dataBits = lineControl >> 8;
    const int parity = (lineControl >> 4) & 0x0F;
    const int stopBits = lineControl & 0x0F;
    if (dataBits < 5 || dataBits > 8 || parity > 4 || stopBits > 2)
        return SI_INVALID_PARAMETER;
    bridge->lineControl = lineControl;
    return SI_SUCCESS;
}

int SimBridgeLibrary::writeLatch(SiHandle handle, quint8 mask, quint8 latch)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    const int injected = countCall(SiOp::WriteLatch);
    if (injected >= 0)
        return injected;
    int status = SI_SUCCESS;
    Bridge *bridge = byHandle(handle, &status);
    if (!bridge)
        return status;
    bridge->latch = quint8((bridge->latch & ~mask) | (latch & mask));
    if (bridge->peer)
        bridge->peer->setLatch(bridge->latch);
    return SI_SUCCESS;
}

QString SimBridgeLibrary::backendName(quint32)
{
    return QStringLiteral("sim");
}

QString SimBridgeLibrary::holder(quint32 deviceNum)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    const Bridge *bridge = pluggedByNumber(deviceNum);
    if (!bridge)
        return QString();
    if (bridge->openHandle != kNoSiHandle)
        return QStringLiteral("this program");
    if (bridge->lockPath.isEmpty())
        return QString();
    QLockFile probe(bridge->lockPath);
    probe.setStaleLockTime(0);
    if (probe.tryLock(0) || probe.error() != QLockFile::LockFailedError)
        return QString();
    qint64 pid = 0;
    QString host;
    QString application;
    if (!probe.getLockInfo(&pid, &host, &application))
        return QStringLiteral("another program");
    return QStringLiteral("%1 (pid %2)").arg(application.isEmpty() ? QStringLiteral("a program") : application)
        .arg(pid);
}
