#include "bridge_library.h"

#include "app/log.h"
#include "sim_bridge_library.h"
#include "usb/usb_bridge_library.h"

#include <QStringList>

#include <map>
#include <mutex>
#include <vector>

BridgeLibrary::~BridgeLibrary() = default;

QString BridgeLibrary::backendName(quint32)
{
    return QString();
}

QString BridgeLibrary::holder(quint32)
{
    return QString();
}

namespace {

// Several backends behind one library: device numbers run through the backends in order,
// handles are the composite's own and map back to the backend that issued them.
class CompositeBridgeLibrary : public BridgeLibrary {
public:
    explicit CompositeBridgeLibrary(std::vector<std::shared_ptr<BridgeLibrary>> backends)
        : m_Backends(std::move(backends)), m_Counts(m_Backends.size(), 0)
    {
    }

    int getNumDevices(quint32 *numDevices) override
    {
        if (!numDevices)
            return SI_INVALID_PARAMETER;
        // Counted without the lock: a USB enumeration can take a while, and every handle's I/O
        // (several device objects' workers at once) goes through the lock.
        std::vector<quint32> counts(m_Backends.size(), 0);
        quint32 total = 0;
        for (size_t i = 0; i < m_Backends.size(); ++i) {
            quint32 count = 0;
            // One backend that cannot count (no USB access, say) must not hide the others.
            counts[i] = (m_Backends[i]->getNumDevices(&count) == SI_SUCCESS) ? count : 0;
            total += counts[i];
        }
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Counts = counts;
        *numDevices = total;
        return SI_SUCCESS;
    }

    int getProductString(quint32 deviceNum, char *buffer, quint32 selector) override
    {
        quint32 local = 0;
        BridgeLibrary *backend = backendFor(deviceNum, &local);
        return backend ? backend->getProductString(local, buffer, selector) : SI_DEVICE_NOT_FOUND;
    }

    int open(quint32 deviceNum, SiHandle *handle) override
    {
        if (!handle)
            return SI_INVALID_PARAMETER;
        quint32 local = 0;
        BridgeLibrary *backend = backendFor(deviceNum, &local);
        if (!backend)
            return SI_DEVICE_NOT_FOUND;
        SiHandle inner = kNoSiHandle;
        const int status = backend->open(local, &inner);
        if (status == SI_SUCCESS) {
            std::lock_guard<std::mutex> lock(m_Mutex);
            const SiHandle outer = m_NextHandle++;
            m_Handles[outer] = {backend, inner};
            *handle = outer;
        }
        return status;
    }

    int close(SiHandle handle) override
    {
        Target target;
        if (!lookup(handle, &target))
            return SI_INVALID_HANDLE;
        const int status = target.backend->close(target.inner);
        if (status == SI_SUCCESS) {
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_Handles.erase(handle);
        }
        return status;
    }

    int read(SiHandle h, void *buffer, quint32 n, quint32 *got) override
    {
        Target t;
        return lookup(h, &t) ? t.backend->read(t.inner, buffer, n, got) : SI_INVALID_HANDLE;
    }
    int write(SiHandle h, const void *buffer, quint32 n, quint32 *done) override
    {
        Target t;
        return lookup(h, &t) ? t.backend->write(t.inner, buffer, n, done) : SI_INVALID_HANDLE;
    }
    int flushBuffers(SiHandle h, quint8 tx, quint8 rx) override
    {
        Target t;
        return lookup(h, &t) ? t.backend->flushBuffers(t.inner, tx, rx) : SI_INVALID_HANDLE;
    }
    int checkRxQueue(SiHandle h, quint32 *queued, quint32 *status) override
    {
        Target t;
        return lookup(h, &t) ? t.backend->checkRxQueue(t.inner, queued, status) : SI_INVALID_HANDLE;
    }
    int setBaudRate(SiHandle h, quint32 rate) override
    {
        Target t;
        return lookup(h, &t) ? t.backend->setBaudRate(t.inner, rate) : SI_INVALID_HANDLE;
    }
    int setLineControl(SiHandle h, quint16 word) override
    {
        Target t;
        return lookup(h, &t) ? t.backend->setLineControl(t.inner, word) : SI_INVALID_HANDLE;
    }
    int writeLatch(SiHandle h, quint8 mask, quint8 latch) override
    {
        Target t;
        return lookup(h, &t) ? t.backend->writeLatch(t.inner, mask, latch) : SI_INVALID_HANDLE;
    }
    QString backendName(quint32 deviceNum) override
    {
        quint32 local = 0;
        BridgeLibrary *backend = backendFor(deviceNum, &local);
        return backend ? backend->backendName(local) : QString();
    }
    QString holder(quint32 deviceNum) override
    {
        quint32 local = 0;
        BridgeLibrary *backend = backendFor(deviceNum, &local);
        return backend ? backend->holder(local) : QString();
    }

private:
    struct Target {
        BridgeLibrary *backend = nullptr;
        SiHandle inner = kNoSiHandle;
    };

    BridgeLibrary *backendFor(quint32 deviceNum, quint32 *local)
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        for (size_t i = 0; i < m_Backends.size(); ++i) {
            if (deviceNum < m_Counts[i]) {
                *local = deviceNum;
                return m_Backends[i].get();
            }
            deviceNum -= m_Counts[i];
        }
        return nullptr;
    }

    bool lookup(SiHandle handle, Target *target)
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        const auto it = m_Handles.find(handle);
        if (it == m_Handles.end())
            return false;
        *target = it->second;
        return true;
    }

    std::vector<std::shared_ptr<BridgeLibrary>> m_Backends;
    std::vector<quint32> m_Counts;
    std::map<SiHandle, Target> m_Handles;
    SiHandle m_NextHandle = 1;
    std::mutex m_Mutex;
};

std::mutex g_DefaultMutex;
std::shared_ptr<BridgeLibrary> g_DefaultLibrary;

} // namespace

std::shared_ptr<BridgeLibrary> createBridgeLibrary(const QString &backends)
{
    std::vector<std::shared_ptr<BridgeLibrary>> list;
    const QStringList names = backends.split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString &raw : names) {
        const QString name = raw.trimmed().toLower();
        if (name == QLatin1String("sim"))
            list.push_back(SimBridgeLibrary::createDefault());
        else if (name == QLatin1String("usb"))
            list.push_back(createUsbBridgeLibrary());
        else
            logError("createBridgeLibrary", "Unknown bridge backend \"%s\" (use sim, usb)",
                     qUtf8Printable(name));
    }
    if (list.empty())
        list.push_back(SimBridgeLibrary::createDefault());
    if (list.size() == 1)
        return list.front();
    return std::make_shared<CompositeBridgeLibrary>(std::move(list));
}

std::shared_ptr<BridgeLibrary> defaultBridgeLibrary()
{
    std::lock_guard<std::mutex> lock(g_DefaultMutex);
    if (!g_DefaultLibrary) {
        QString backends = qEnvironmentVariable("PELMORA_BRIDGE");
        if (backends.trimmed().isEmpty())
            backends = QStringLiteral("usb,sim");
        g_DefaultLibrary = createBridgeLibrary(backends);
    }
    return g_DefaultLibrary;
}

void setDefaultBridgeLibrary(std::shared_ptr<BridgeLibrary> library)
{
    std::lock_guard<std::mutex> lock(g_DefaultMutex);
    g_DefaultLibrary = std::move(library);
}
