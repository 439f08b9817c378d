#include "board_runner.h"

#include "usbdevice/vx_si_usbxpressdev.h"

#include <QHash>
#include <QThread>
#include <QTimer>

namespace {

// Which runner each worker thread works for, so log lines find their board.
std::mutex g_RegistryMutex;
QHash<const QThread *, BoardRunner *> g_Registry;

// How often the end of an update is looked for after its result: the result comes before the
// board is restarted into its application, which must not be cut off by the close.
constexpr int kEndPollMs = 5;

QString phaseName(VX_SI_USBXpressDev::UpdatePhase phase)
{
    using Phase = VX_SI_USBXpressDev::UpdatePhase;
    switch (phase) {
    case Phase::Idle: return QStringLiteral("start");
    case Phase::Convert: return QStringLiteral("convert");
    case Phase::Sync: return QStringLiteral("reset/sync");
    case Phase::Identify: return QStringLiteral("identify");
    case Phase::Erase: return QStringLiteral("erase");
    case Phase::Write: return QStringLiteral("write");
    case Phase::Verify: return QStringLiteral("verify");
    case Phase::Read: return QStringLiteral("read");
    case Phase::Done: return QStringLiteral("ending");
    case Phase::Failed: return QStringLiteral("failing");
    }
    return QString();
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

void BoardRunner::startRead(quint32 address, quint32 length)
{
    m_ReadAddress = address;
    m_ReadLength = length;
    start(Job::Read);
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
        m_Dev->setVerifyAfterWrite(m_Verify);
        // The image the tool converted (a HEX file through the window's converter) goes to
        // every board: all get the same bytes, also from a file that can be read only once.
        if (!m_Dev->startImageUpdate(m_File.image, m_File.address))
            finish(State::Failed, QStringLiteral("the image could not be handed to the board's update"));
        break;
    case Job::Read:
        if (!m_Dev->startFlashRead(m_ReadAddress, m_ReadLength))
            finish(State::Failed, QStringLiteral("the read could not be started"));
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
    if (!m_Dev || (m_Job != Job::Write && m_Job != Job::Read) || isDone())
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
    if (result == 1 && m_Job == Job::Read) {
        m_ReadData = m_Dev->flashReadData();
        m_Bytes = m_ReadData.size();
    }
    if (result == 1)
        finish(State::Succeeded);
    else if (m_Interrupted)
        finish(State::Interrupted, m_Job == Job::Read ? QStringLiteral("interrupted during the read")
                                                      : QStringLiteral("interrupted during the update (not programmed)"));
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

void BoardRunner::failAfterwards(const QString &error)
{
    m_State = State::Failed;
    m_Error = error;
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
    const VX_SI_USBXpressDev::UpdateProgress update = m_Dev->updateProgress();
    p.phase = phaseName(update.phase);
    // The counts belong to the write, verify and read phases; an ending has none of its own.
    if (update.phase != VX_SI_USBXpressDev::UpdatePhase::Done && update.phase != VX_SI_USBXpressDev::UpdatePhase::Failed) {
        p.done = update.blocksDone;
        p.total = update.blocksTotal;
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
