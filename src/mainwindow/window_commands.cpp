// What the window does for each button, for the device list, and for the notifications of the
// bridge device object and the shared-memory link.
#include "mainwindow/orbalofirmwareloader.h"

#include "app/log.h"
#include "settings/vx_xml_settings.h"
#include "sharedmem/vx_sharedmemsocked.h"
#include "ui_orbalofirmwareloader.h"
#include "usbdevice/console_text.h"
#include "usbdevice/vx_si_usbxpressdev.h"

#include <QDir>
#include <QFileDialog>
#include <QIcon>

namespace {

const char kDeviceIcon[] = ":/img/Werkstueck_32.png";

} // namespace

QString OrbaloFirmwareLoader::currentRowText() const
{
    const QListWidgetItem *item = ui->m_ListDev->currentItem();
    if (item)
        return item->text();
    return m_ConnectedName;
}

void OrbaloFirmwareLoader::on_m_pBSearch_clicked()
{
    const QStringList names = m_pUsbDevice->getDeviceNameList();
    ui->m_ListDev->clear();
    ui->m_pBConnect->setEnabled(false);
    const QIcon icon(QString::fromLatin1(kDeviceIcon));
    for (const QString &name : names)
        new QListWidgetItem(icon, name, ui->m_ListDev);
}

void OrbaloFirmwareLoader::on_m_ListDev_currentRowChanged(int currentRow)
{
    if (currentRow != -1)
        ui->m_pBConnect->setEnabled(true);
}

void OrbaloFirmwareLoader::SLOT_newDeviceListAvailable()
{
    const QString remembered = m_pSettings->getUsbDevName();
    on_m_pBSearch_clicked();
    int found = -1;
    // An empty remembered name means the user disconnected: nothing to come back to.
    for (int i = 0; !remembered.isEmpty() && i < ui->m_ListDev->count(); ++i) {
        if (ui->m_ListDev->item(i)->text() == remembered)
            found = i;
    }
    if (found == -1)
        return;
    logStatus("OrbaloFirmwareLoader::SLOT_newDeviceListAvailable", "Open Device %d", found);
    ui->m_ListDev->setCurrentRow(found);
    if (!m_pUsbDevice->isDeviceOpen()) {
        on_m_pBConnect_clicked();
        m_pSharedMem->setStatusOrbaloConnection(1);
    }
}

void OrbaloFirmwareLoader::on_m_pBConnect_clicked()
{
    if (!m_pUsbDevice->isDeviceOpen()) {
        const int row = ui->m_ListDev->currentRow();
        if (row < 0) {
            // Connect is enabled before the first list arrives; there is nothing to open yet.
            logError("OrbaloFirmwareLoader::on_m_pBConnect_clicked", "No device selected");
            return;
        }
        const QString name = ui->m_ListDev->currentItem()->text();
        if (m_pUsbDevice->openDevice(quint16(row)) == 1) {
            logStatus("OrbaloFirmwareLoader::on_m_pBConnect_clicked", "Open SiUsbDev");
            const QString message = QStringLiteral("<br><b>Connect %1</b>").arg(consoleEscape(name));
            m_pSettings->setUsbDevName(name);
            queueMessage(message);
            m_ConnectedName = name;
            ui->m_pBConnect->setText(tr("Disconnect"));
            ui->m_pBSearch->setEnabled(false);
            ui->m_ListDev->setEnabled(false);
            ui->m_pBResetOB->setEnabled(true);
            ui->m_pBTremlin->setEnabled(true);
            ui->m_lConnectSymbol->show();
            ui->m_lConnectText->show();
            if (!m_HexFilePath.isEmpty())
                ui->m_pBWriteFirmware->setEnabled(true);
            m_pSharedMem->setStatusOrbaloConnection(1);
            m_pSharedMem->setNameOfConnectedDevice(name);
        } else {
            queueMessage(QStringLiteral("<br><font color=\"Red\"><b>Unabel to open %1</b></font>")
                             .arg(consoleEscape(name)));
            logError("OrbaloFirmwareLoader::on_m_pBConnect_clicked", "Can't open SiUsbDev");
        }
        return;
    }

    if (m_pUsbDevice->closeDev(false) != 1) {
        logError("OrbaloFirmwareLoader::on_m_pBConnect_clicked", "Can't close SiUsbDev");
        return;
    }
    logStatus("OrbaloFirmwareLoader::on_m_pBConnect_clicked", "Close SiUsbDev");
    // Forgetting the name is what keeps the automatic reconnect from undoing the user's click.
    showDisconnected(true);
}

void OrbaloFirmwareLoader::SLOT_connectionClosed()
{
    logStatus("OrbaloFirmwareLoader::SLOT_connectionClosed", "Close SiUsbDev");
    // The name stays remembered, so the bridge is connected again when it comes back.
    showDisconnected(false);
}

void OrbaloFirmwareLoader::showDisconnected(bool forgetName)
{
    const QString kept = currentRowText();
    queueMessage(QStringLiteral("<br><b>Disconnect %1</b>").arg(consoleEscape(kept)));
    if (forgetName) {
        m_pSettings->setUsbDevName(QString());
        m_pSharedMem->setNameOfConnectedDevice(QString());
    }
    ui->m_pBConnect->setText(tr("Connect"));
    ui->m_pBSearch->setEnabled(true);
    ui->m_ListDev->setEnabled(true);
    ui->m_pBResetOB->setEnabled(false);
    ui->m_pBTremlin->setEnabled(false);
    ui->m_lConnectSymbol->hide();
    ui->m_lConnectText->hide();
    on_m_pBSearch_clicked();
    const QList<QListWidgetItem *> same = ui->m_ListDev->findItems(kept, Qt::MatchExactly);
    if (!same.isEmpty())
        ui->m_ListDev->setCurrentItem(same.first());
    m_pSharedMem->setStatusOrbaloConnection(0);
}

void OrbaloFirmwareLoader::on_m_pBResetOB_clicked()
{
    queueMessage(QStringLiteral("<br><b>Reset %1</b>").arg(consoleEscape(currentRowText())));
    m_pUsbDevice->resetTarget();
}

void OrbaloFirmwareLoader::on_m_pBTremlin_clicked()
{
    startUpdate(m_pSettings->getPathTremlinHexFile(), 0);
    ui->m_pBTremlin->setEnabled(false);
}

void OrbaloFirmwareLoader::on_m_pBSearch_2_clicked()
{
    const QString path = QFileDialog::getOpenFileName(this, tr("Open Hex File"), QDir::homePath(),
                                                      tr("Hex Files (*.hex)"));
    if (path.isEmpty())
        return;
    if (m_pUsbDevice->isDeviceOpen())
        ui->m_pBWriteFirmware->setEnabled(true);
    ui->m_pBCloseHexFile->setEnabled(true);
    m_HexFilePath = path;
    m_pSettings->setPathHexFile(path);
    setTitleForHexFile(path);
}

void OrbaloFirmwareLoader::on_m_pBWriteFirmware_clicked()
{
    startUpdate(m_HexFilePath, 0);
    ui->m_pBWriteFirmware->setEnabled(false);
}

void OrbaloFirmwareLoader::on_m_pBCloseHexFile_clicked()
{
    ui->m_pBWriteFirmware->setEnabled(false);
    ui->m_pBCloseHexFile->setEnabled(false);
    ui->m_lProgTitile->setText(QStringLiteral("Orbalo Zorvane"));
    m_HexFilePath.clear();
    m_pSettings->setPathHexFile(QString());
}

void OrbaloFirmwareLoader::on_m_rB_SerialMode_clicked()
{
    quint32 mode = 0;
    m_pSettings->setDebugComMode(mode);
    m_pUsbDevice->setTLVMode(false);
}

void OrbaloFirmwareLoader::on_m_rB_TLVMode_clicked()
{
    quint32 mode = 1;
    m_pSettings->setDebugComMode(mode);
    m_pUsbDevice->setTLVMode(true);
}

void OrbaloFirmwareLoader::on_m_clear_clicked()
{
    ui->m_pTEconsole->clear();
}

void OrbaloFirmwareLoader::on_m_pBclose_clicked()
{
    close();
}

void OrbaloFirmwareLoader::startUpdate(const QString &path, quint32 request)
{
    // Noted before the emission: the device object may answer a refused start at once.
    m_UpdateRequests.append(request);
    emit SIGNAL_StartFirmwareUpdate(path);
}

void OrbaloFirmwareLoader::startClientUpdate(quint32 request)
{
    const QString path = m_pSharedMem->getPath2Hexfile();
    QString why;
    if (!VX_SharedMemSocked::isUsableHexPath(path, &why)) {
        // Still handed on: the device object refuses it with its own console line and answers
        // the client with -1 like any failed update.
        logError("OrbaloFirmwareLoader::SLOT_ProgrammingRequestPendig", "%s", qUtf8Printable(why));
    }
    logStatus("OrbaloFirmwareLoader::SLOT_ProgrammingRequestPendig", "Client update started for request %u",
              request);
    startUpdate(path, request);
}

void OrbaloFirmwareLoader::SLOT_FirmwareWriteFinish(qint8 Result)
{
    if (Result != 1 && Result != -1)
        return;
    const quint32 request = m_UpdateRequests.isEmpty() ? 0 : m_UpdateRequests.takeFirst();
    if (Result == -1)
        queueMessage(QStringLiteral("<br><b><font color=\"Red\">ERROR Bootloader</font></b>"));
    else
        queueMessage(QStringLiteral("<b>Bootloader Finish</b>"));
    ui->m_pBWriteFirmware->setEnabled(true);
    // Only the client's own update answers the client, and only while it still asks; an update
    // from the window's buttons leaves the block alone.
    if (request != 0)
        m_pSharedMem->answerRequest(request, Result);
    if (!m_UpdateRequests.isEmpty() || m_WaitingRequest == 0)
        return;
    const quint32 waiting = m_WaitingRequest;
    m_WaitingRequest = 0;
    if (m_pSharedMem->currentRequestId() == waiting)
        startClientUpdate(waiting);
    else
        logStatus("OrbaloFirmwareLoader::SLOT_FirmwareWriteFinish", "Request %u withdrawn before its update started",
                  waiting);
}

void OrbaloFirmwareLoader::SLOT_ProgrammingRequestPendig()
{
    static const char *const kOrigin = "OrbaloFirmwareLoader::SLOT_ProgrammingRequestPendig";
    logStatus(kOrigin, "Programming Extern");
    // The signal is queued: by now the request may be withdrawn, or raised again (a new one
    // whose own signal follows).
    const quint32 request = m_pSharedMem->currentRequestId();
    if (request == 0) {
        logStatus(kOrigin, "Request withdrawn before its update started");
        return;
    }
    if (request == m_WaitingRequest || m_UpdateRequests.contains(request))
        return;
    ui->m_pBWriteFirmware->setEnabled(false);
    if (m_UpdateRequests.isEmpty()) {
        startClientUpdate(request);
        return;
    }
    // Its update starts when the running one has ended, if the client still asks then.
    logStatus(kOrigin, "Update running, request %u waits", request);
    m_WaitingRequest = request;
}

void OrbaloFirmwareLoader::SLOT_ProgrammingFinished(qint16 eResult)
{
    logStatus("OrbaloFirmwareLoader::SLOT_ProgrammingFinished", "CALL %d", int(eResult));
}
