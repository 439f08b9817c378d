// Board output and messages on their way into the console: rings of the device object → the
// two queues (under the one mutex) → HTML every 50 ms.
#include "mainwindow/orbalofirmwareloader.h"

#include "app/log.h"
#include "ui_orbalofirmwareloader.h"
#include "usbdevice/vx_si_usbxpressdev.h"

#include <QMutexLocker>

namespace {

// The device object's three rings, by DataType: its count and its byte reader.
struct RingReader {
    quint16 (VX_SI_USBXpressDev::*count)() const;
    qint8 (VX_SI_USBXpressDev::*take)(char &);
};
constexpr RingReader kRings[3] = {
    {&VX_SI_USBXpressDev::getRxCount, &VX_SI_USBXpressDev::getRxByte},
    {&VX_SI_USBXpressDev::getConsoleCount, &VX_SI_USBXpressDev::getConsoleByte},
    {&VX_SI_USBXpressDev::getTLVCount, &VX_SI_USBXpressDev::getTLVByte},
};

} // namespace

void OrbaloFirmwareLoader::SLOT_newDataAvailable(quint8 DataType)
{
    pullRing(DataType, true);
}

void OrbaloFirmwareLoader::pullRing(quint8 DataType, bool notified)
{
    if (DataType > 2)
        return;
    // While an update runs, what the bridge receives are the bootloader's answers: a
    // notification from just before the start must not take them away from the update.
    if (DataType == 0 && m_pUsbDevice->isBootloaderActive())
        return;
    const RingReader &ring = kRings[DataType];
    const quint16 count = (m_pUsbDevice->*ring.count)();
    if (DataType == 0 && notified)
        logStatus("OrbaloFirmwareLoader::SLOT_newDataAvailable", "CALL %d", int(count));
    if (count == 0)
        return;

    QByteArray &queue = DataType == 1 ? m_MessageQueue : m_DebugQueue;
    int room = 0;
    {
        QMutexLocker lock(&m_QueueMutex);
        room = kQueueLimit - queue.size();
    }
    // What does not fit stays unread in the ring; the next flush makes room and comes back.
    const int take = qMin<int>(count, qMax(room, 0));
    m_RingLeftBehind[DataType] = take < count;
    if (take == 0)
        return;

    char buffer[4096];
    int got = 0;
    for (; got < take && got < int(sizeof buffer); ++got) {
        if ((m_pUsbDevice->*ring.take)(buffer[got]) != 1)
            break;
    }
    QMutexLocker lock(&m_QueueMutex);
    queue.append(buffer, got);
}

void OrbaloFirmwareLoader::SLOT_PrintConsole()
{
    // Bytes left in the rings because a queue was full at their notification.
    for (quint8 type = 0; type <= 2; ++type) {
        if (m_RingLeftBehind[type])
            pullRing(type, false);
    }

    QByteArray chunk;
    {
        QMutexLocker lock(&m_QueueMutex);
        chunk.swap(m_DebugQueue);
    }
    if (!chunk.isEmpty()) {
        appendDebugText(chunk.constData(), chunk.size());
    } else if (m_BoardConverter.pendingBytes() > 0) {
        // The board went quiet with a sequence's first bytes held back: show them as they are.
        const QString html = m_BoardConverter.flushPending();
        if (!html.isEmpty())
            consoleAppendParagraph(ui->m_pTEconsole, html);
    }

    QByteArray messages;
    {
        QMutexLocker lock(&m_QueueMutex);
        messages.swap(m_MessageQueue);
    }
    if (!messages.isEmpty())
        insertDebugText(messages.constData(), messages.size());
}

void OrbaloFirmwareLoader::appendDebugText(const char *data, int length)
{
    const QString html = m_BoardConverter.convert(QByteArray::fromRawData(data, length));
    if (!m_BoardConverter.lastChunkHeldBack())
        consoleAppendParagraph(ui->m_pTEconsole, html);
}

void OrbaloFirmwareLoader::insertDebugText(const char *data, int length)
{
    const QString html = m_MessageConverter.convert(QByteArray::fromRawData(data, length));
    if (!m_MessageConverter.lastChunkHeldBack())
        consoleInsertAtEnd(ui->m_pTEconsole, html);
}

void OrbaloFirmwareLoader::queueMessage(const QString &html)
{
    // The window's own messages are small and rare; they are never held back.
    const QByteArray bytes = html.toUtf8();
    QMutexLocker lock(&m_QueueMutex);
    m_MessageQueue.append(bytes);
}
