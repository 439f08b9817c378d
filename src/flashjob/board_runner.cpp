#include "board_runner.h"

#include "usbdevice/vx_si_usbxpressdev.h"

#include <QHash>
#include <QThread>
#include <QTimer>

namespace {

// Which runner each worker thread works for, so log lines find their board.
std::mutex g_RegistryMutex;
QHash<const QThread *, BoardRunner *> g_Registry;

constexpr int kBlockSize = 256;
// How often the end of an update is looked for after its result: the result comes before the
// board is restarted into its application, which must not be cut off by the close.
constexpr int kEndPollMs = 5;

QString phaseOfState(quint32 state)
{
    switch (state) {
    case VX_SI_USBXpressDev::SM_FW_Idle: return QStringLiteral("start");
    case VX_SI_USBXpressDev::SM_FW_ConvertHexFile: return QStringLiteral("convert");
    case VX_SI_USBXpressDev::SM_FW_EnterBootloaderSend:
    case VX_SI_USBXpressDev::SM_FW_EnterBootloaderReceive: return QStringLiteral("reset/sync");
    case VX_SI_USBXpressDev::SM_FW_GetDeviceIDSend:
    case VX_SI_USBXpressDev::SM_FW_GetDeviceIDReceive: return QStringLiteral("identify");
    case VX_SI_USBXpressDev::SM_FW_EraseSend:
    case VX_SI_USBXpressDev::SM_FW_EraseReceive:
    case VX_SI_USBXpressDev::SM_FW_GlobalEraseSend:
    case VX_SI_USBXpressDev::SM_FW_GlobalEraseReceive: return QStringLiteral("erase");
    default: return QStringLiteral("write");
    }
}

} // namespace

BoardRunner::BoardRunner(std::shared_ptr<BridgeLibrary> library, const QString &boardName, QObject *parent)
    : QObject(parent), m_Library(std::move(library)), m_BoardName(boardName)
{
}

BoardRunner::~BoardRunner()
{
    if (m_Dev)
        finish(State::Interrupted, QStringLiteral("ended"));
}

bool BoardRunner::isDone() const
{
    return m_State == State::Succeeded || m_State == State::Failed || m_State == State::Interrupted;
}

void BoardRunner::startWrite(const FirmwareFile &file, bool verify)
{
    m_File = file;
    m_Verify = verify;
    start(Job::Write);
}

void BoardRunner::startReset()
{
    start(Job::Reset);
}

void BoardRunner::startMonitor(bool tlv)
{
    m_Tlv = tlv;
    start(Job::Monitor);
}

void BoardRunner::start(Job job)
{
    m_Job = job;
    m_State = State::Opening;
    m_Clock.start();
    // Not started before it is connected: its first device list is what the board is looked
    // up in.
    m_Dev = std::make_unique<VX_SI_USBXpressDev>(m_Library, false);
    VX_SI_USBXpressDev *dev = m_Dev.get();
    connect(dev, &VX_SI_USBXpressDev::SIGNAL_newDeviceListAvailable, this, &BoardRunner::onDeviceList,
            Qt::QueuedConnection);
    connect(dev, &VX_SI_USBXpressDev::SIGNAL_newDataAvailable, this, &BoardRunner::onData, Qt::QueuedConnection);
    connect(dev, &VX_SI_USBXpressDev::SIGNAL_FirmwareWriteFinish, this, &BoardRunner::onWriteFinished,
            Qt::QueuedConnection);
    connect(dev, &VX_SI_USBXpressDev::SIGNAL_connectionClosed, this, &BoardRunner::onConnectionClosed,
            Qt::QueuedConnection);
    {
        std::lock_guard<std::mutex> lock(g_RegistryMutex);
        g_Registry.insert(dev, this);
    }
    dev->start(QThread::InheritPriority);
}

void BoardRunner::onDeviceList()
{
    if (!m_Dev || m_Open)
        return;
    if (m_Interrupted) {
        finish(State::Interrupted, QStringLiteral("interrupted"));
        return;
    }
    const int index = m_Dev->getDeviceNameList().indexOf(m_BoardName);
    if (index < 0) {
        finish(State::Failed, QStringLiteral("the board is gone (unplugged?)"));
        return;
    }
    if (m_Dev->openDevice(quint16(index)) != 1) {
        const QString holder = m_Dev->deviceHolder(quint16(index));
        finish(State::Failed, holder.isEmpty() ? QStringLiteral("the bridge cannot be opened")
                                               : QStringLiteral("another program holds the bridge: %1").arg(holder));
        return;
    }
    m_Open = true;
    beginJob();
}

void BoardRunner::beginJob()
{
    m_State = State::Running;
    switch (m_Job) {
    case Job::Write:
        m_Bytes = m_File.image.size();
        if (m_File.kind == FirmwareFile::Kind::IntelHex) {
            // Exactly the window's way: the device object converts the file itself.
            m_Dev->SLOT_StartFirmwareUpdate(m_File.path);
        } else if (!m_Dev->startImageUpdate(m_File.image, m_File.address)) {
            finish(State::Failed, QStringLiteral("the image could not be handed to the board's update"));
        }
        break;
    case Job::Reset:
        m_Dev->resetTarget();
        finish(State::Succeeded);
        break;
    case Job::Monitor:
        m_Dev->setTLVMode(m_Tlv, true);
        break;
    case Job::None:
        break;
    }
}

void BoardRunner::onData(quint8 type)
{
    if (!m_Dev)
        return;
    QByteArray bytes;
    char byte = 0;
    if (type == 1) {
        drainConsole();
        return;
    }
    if (type == 0) {
        while (m_Dev->getRxByte(byte) == 1)
            bytes.append(byte);
    } else if (type == 2) {
        while (m_Dev->getTLVByte(byte) == 1)
            bytes.append(byte);
    }
    if (m_Job == Job::Monitor && !bytes.isEmpty()) {
        m_Bytes += bytes.size();
        emit output(bytes);
    }
}

void BoardRunner::drainConsole()
{
    QByteArray text;
    char byte = 0;
    while (m_Dev->getConsoleByte(byte) == 1)
        text.append(byte);
    std::lock_guard<std::mutex> lock(m_ReportMutex);
    m_Report.addConsole(text);
}

void BoardRunner::onWriteFinished(qint8 result)
{
    if (!m_Dev || m_Job != Job::Write || isDone())
        return;
    waitForUpdateEnd(result);
}

void BoardRunner::waitForUpdateEnd(qint8 result)
{
    if (!m_Dev)
        return;
    if (m_Dev->isBootloaderActive()) {
        QTimer::singleShot(kEndPollMs, this, [this, result] { waitForUpdateEnd(result); });
        return;
    }
    drainConsole();
    if (result == 1)
        finish(State::Succeeded);
    else if (m_Interrupted)
        finish(State::Interrupted, QStringLiteral("interrupted by Ctrl-C during the update"));
    else
        finish(State::Failed);
}

void BoardRunner::onConnectionClosed()
{
    // An update learns of the loss itself and reports it; a monitor has nothing more to show.
    if (m_Dev && m_Job == Job::Monitor && !isDone()) {
        m_Open = false;
        finish(State::Failed, QStringLiteral("the board was unplugged"));
    }
}

void BoardRunner::interrupt()
{
    if (isDone() || m_Interrupted)
        return;
    m_Interrupted = true;
    if (m_State == State::Idle || m_State == State::Opening) {
        finish(State::Interrupted, QStringLiteral("interrupted before the board was opened"));
        return;
    }
    if (m_Job == Job::Monitor) {
        finish(State::Succeeded);
        return;
    }
    // The worker finds the bridge closed in its next pass and ends the update with -1.
    if (m_Open && m_Dev->closeDev() == 1)
        m_Open = false;
}

void BoardRunner::finish(State state, const QString &error)
{
    m_State = state;
    if (!error.isEmpty())
        m_Error = error;
    m_EndMs = m_Clock.isValid() ? m_Clock.elapsed() : 0;
    if (m_Dev) {
        drainConsole();
        if (m_Open)
            m_Dev->closeDev();
        m_Open = false;
        {
            std::lock_guard<std::mutex> lock(g_RegistryMutex);
            g_Registry.remove(m_Dev.get());
        }
        m_Dev->disconnect(this);
        // Waits for the worker's current pass to end.
        m_Dev.reset();
    }
    emit finished();
}

BoardRunner::Progress BoardRunner::progress() const
{
    Progress p;
    p.elapsedMs = m_EndMs >= 0 ? m_EndMs : (m_Clock.isValid() ? m_Clock.elapsed() : 0);
    switch (m_State) {
    case State::Idle: p.phase = QStringLiteral("waiting"); return p;
    case State::Opening: p.phase = QStringLiteral("open"); return p;
    case State::Succeeded: p.phase = QStringLiteral("done"); return p;
    case State::Failed: p.phase = QStringLiteral("failed"); return p;
    case State::Interrupted: p.phase = QStringLiteral("interrupted"); return p;
    case State::Running: break;
    }
    if (m_Job == Job::Monitor) {
        p.phase = QStringLiteral("monitor");
        return p;
    }
    if (m_Job == Job::Reset || !m_Dev) {
        p.phase = QStringLiteral("reset");
        return p;
    }
    p.phase = phaseOfState(m_Dev->firmwareState());
    if (p.phase == QLatin1String("write")) {
        std::lock_guard<std::mutex> lock(m_ReportMutex);
        p.total = int((m_Bytes + kBlockSize - 1) / kBlockSize);
        p.done = qBound(0, m_Report.starsSinceHeading() - 1, p.total);
    }
    return p;
}

QString BoardRunner::firstError() const
{
    if (m_State == State::Interrupted || (m_State == State::Failed && !m_Error.isEmpty()))
        return m_Error;
    std::lock_guard<std::mutex> lock(m_ReportMutex);
    return m_Report.firstError();
}

QString BoardRunner::consoleText() const
{
    std::lock_guard<std::mutex> lock(m_ReportMutex);
    return m_Report.plainText();
}

bool BoardRunner::attributeLogLine(const QString &line)
{
    std::lock_guard<std::mutex> lock(g_RegistryMutex);
    BoardRunner *runner = g_Registry.value(QThread::currentThread());
    if (!runner)
        return false;
    if (line.contains(QLatin1String("ERROR["))) {
        std::lock_guard<std::mutex> report(runner->m_ReportMutex);
        runner->m_Report.addLogError(line);
    }
    return true;
}
