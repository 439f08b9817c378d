// Start-up and shutdown of the main window, and the wiring between its owned objects.
#include "mainwindow/orbalofirmwareloader.h"

#include "app/log.h"
#include "settings/vx_xml_settings.h"
#include "sharedmem/shared_mem_key.h"
#include "sharedmem/vx_sharedmemsocked.h"
#include "ui_orbalofirmwareloader.h"
#include "usbdevice/vx_si_usbxpressdev.h"

#include <QApplication>
#include <QErrorMessage>
#include <QFileInfo>
#include <QFont>
#include <QFontDatabase>
#include <QTextDocument>

namespace {

// The form asks for "Segoe UI", which Linux lacks; the usual fallback (DejaVu Sans) is so wide
// that "Disconnect" no longer fits its 64-pixel button. A metric-compatible narrow face is
// asked for first.
void substituteMissingFormFont()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    const QString form = QStringLiteral("Segoe UI");
    if (QFontDatabase().families().contains(form))
        return;
    QFont::insertSubstitutions(form, {QStringLiteral("Liberation Sans"), QStringLiteral("Arimo"),
                                      QStringLiteral("Arial"), QStringLiteral("DejaVu Sans Condensed")});
}

} // namespace

OrbaloFirmwareLoader::OrbaloFirmwareLoader(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::OrbaloFirmwareLoader)
{
    substituteMissingFormFont();
    ui->setupUi(this);
    // Under the window's style sheet, children that set no font of their own (the console, the
    // radio buttons, the pages) do not inherit the window's font but take the application's;
    // the form's font made the application's reaches them, and the dialogs too.
    QApplication::setFont(font());
    // Platform themes give item views a font of their own; the list is meant to read like the
    // rest of the window (and its long bridge names to fit).
    ui->m_ListDev->setFont(font());
    connect(ui->m_lProgTitile, &VX_MainToolBar::SIGNAL_window_pos_change, this,
            &OrbaloFirmwareLoader::SLOT_window_pos_change);

    logStatus("OrbaloFirmwareLoader::OrbaloFirmwareLoader", "Start Programm");

    m_pSettings = new VX_XML_Settings();
    // The worker and the polling thread start only once every connection below is made, so
    // the first device list and a request the client left waiting are not signalled into the
    // void.
    m_pUsbDevice = new VX_SI_USBXpressDev(nullptr, false);
    m_pSharedMem = new VX_SharedMemSocked(pelmoraSharedMemoryKey(), false);

    if (m_pSharedMem->isStatusPelmoraSet()) {
        // Not modal: the second instance starts all the same.
        m_pInstanceWarning = new QErrorMessage(this);
        m_pInstanceWarning->showMessage(QStringLiteral("A instance is allready run"));
    }
    m_pSharedMem->setStatusPelmora(1);

    connect(m_pUsbDevice, &VX_SI_USBXpressDev::SIGNAL_newDataAvailable, this,
            &OrbaloFirmwareLoader::SLOT_newDataAvailable);
    connect(m_pUsbDevice, &VX_SI_USBXpressDev::SIGNAL_newDeviceListAvailable, this,
            &OrbaloFirmwareLoader::SLOT_newDeviceListAvailable);
    connect(m_pUsbDevice, &VX_SI_USBXpressDev::SIGNAL_connectionClosed, this,
            &OrbaloFirmwareLoader::SLOT_connectionClosed);
    connect(this, &OrbaloFirmwareLoader::SIGNAL_StartFirmwareUpdate, m_pUsbDevice,
            &VX_SI_USBXpressDev::SLOT_StartFirmwareUpdate);
    connect(m_pUsbDevice, &VX_SI_USBXpressDev::SIGNAL_FirmwareWriteFinish, this,
            &OrbaloFirmwareLoader::SLOT_FirmwareWriteFinish);
    connect(m_pSharedMem, &VX_SharedMemSocked::SIGNAL_ProgrammingRequestPendig, this,
            &OrbaloFirmwareLoader::SLOT_ProgrammingRequestPendig);
    connect(m_pSharedMem, &VX_SharedMemSocked::SIGNAL_ProgrammingFinished, this,
            &OrbaloFirmwareLoader::SLOT_ProgrammingFinished);
    m_pUsbDevice->start();
    m_pSharedMem->start();

    setFixedSize(size());
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);

    ui->m_lConnectSymbol->hide();
    ui->m_lConnectText->hide();

    const QString hexPath = m_pSettings->getPathHexFile();
    if (!hexPath.isEmpty()) {
        logStatus("OrbaloFirmwareLoader::OrbaloFirmwareLoader", "SetHexPath");
        m_HexFilePath = hexPath;
        if (m_pUsbDevice->isDeviceOpen())
            ui->m_pBWriteFirmware->setEnabled(true);
        ui->m_pBCloseHexFile->setEnabled(true);
        setTitleForHexFile(hexPath);
    }

    ui->m_pTEconsole->clear();
    ui->m_pTEconsole->document()->setMaximumBlockCount(200);
    ui->m_pTEconsole->setReadOnly(true);

    connect(&m_ConsoleTimer, &QTimer::timeout, this, &OrbaloFirmwareLoader::SLOT_PrintConsole);
    m_ConsoleTimer.start(50);
}

OrbaloFirmwareLoader::~OrbaloFirmwareLoader()
{
    m_ConsoleTimer.stop();
    m_pSharedMem->setStatusPelmora(0);
    delete ui;
    ui = nullptr;
    delete m_pUsbDevice;
    delete m_pSettings;
    delete m_pSharedMem;
}

void OrbaloFirmwareLoader::SLOT_window_pos_change(int DeltaX, int DeltaY)
{
    move(DeltaX, DeltaY);
}

void OrbaloFirmwareLoader::setTitleForHexFile(const QString &path)
{
    ui->m_lProgTitile->setText(QStringLiteral("Orbalo Zorvane - ") + QFileInfo(path).fileName());
}
