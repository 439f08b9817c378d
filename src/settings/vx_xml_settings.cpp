#include "settings/vx_xml_settings.h"

#include "app/log.h"
#include "resources/firmware/firmware_resources.h"
#include "settings/disk_write.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryFile>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

namespace {

constexpr const char *kConstructor = "VX_XML_Settings::VX_XML_Settings";
constexpr const char *kDestructor = "VX_XML_Settings::~VX_XML_Settings";
constexpr const char *kRead = "VX_XML_Settings::readXMLFile";
constexpr const char *kWrite = "VX_XML_Settings::writeXMLFile";

const QString kSettingsFileName = QStringLiteral("/Settings.xml");
const QString kFirmwareFolderName = QStringLiteral("/firmware");
const QString kTremlinFileName = QStringLiteral("TremlinFix_1_0_37.hex");
constexpr const char *kResourcePattern = ":/hex/%s";

const QString kRootElement = QStringLiteral("Settings");
const QString kPathHexFileElement = QStringLiteral("SettingsPathHexFile");
const QString kUsbDevNameElement = QStringLiteral("SettingsUsbDevName");
const QString kDebugComModeElement = QStringLiteral("SettingsDebugComMode");

QString modeText(quint32 mode)
{
    return QString::asprintf(" %d", int(mode));
}

void logElement(const QStringRef &name, const QString &value)
{
    logStatus(kRead, "SE: %s->\"%s\"", qUtf8Printable(name.toString()), qUtf8Printable(value));
}

} // namespace

VX_XML_Settings::VX_XML_Settings()
{
    const QStringList locations = QStandardPaths::standardLocations(QStandardPaths::AppDataLocation);
    if (!locations.isEmpty())
        m_Folder = locations.first();

    if (!QFileInfo::exists(m_Folder)) {
        logStatus(kConstructor, "create Folder \"%s\"", qUtf8Printable(m_Folder));
        // The folder's parents (the organisation's folder) need not exist yet either; without
        // them nothing the user sets would ever be saved.
        QDir().mkpath(m_Folder);
    }

    // Without a folder the names below would point at the root of the file system.
    if (!m_Folder.isEmpty())
        m_SettingsFile.setFileName(m_Folder + kSettingsFileName);
    if (m_Folder.isEmpty() || !m_SettingsFile.open(QIODevice::ReadWrite))
        logError(kConstructor, "Unable to open settings file");

    m_DebugComMode = 0;
    m_PathHexFile.clear();
    m_UsbDevName.clear();

    readXMLFile();

    if (!QFileInfo::exists(m_Folder + kFirmwareFolderName)) {
        logStatus(kConstructor, "create Folder \"%s/firmware\"", qUtf8Printable(m_Folder));
        QDir().mkdir(m_Folder + kFirmwareFolderName);
    }

    m_TremlinHexFile.setFileName(getPathTremlinHexFile());
    if (m_TremlinHexFile.exists())
        return;
    createTremlinHexFile();
}

// The image is written under a temporary name in the firmware folder and only renamed into place
// once it is complete, so a copy that fails half-way leaves nothing that a later start would take
// for the image. The rename does not replace a file that appeared meanwhile.
void VX_XML_Settings::createTremlinHexFile()
{
    logError(kConstructor, "Tremlin HexFile not exist");

    QTemporaryFile temporary(m_Folder + kFirmwareFolderName + QLatin1Char('/') + kTremlinFileName
                             + QStringLiteral(".XXXXXX"));
    if (m_Folder.isEmpty() || !temporary.open()) {
        logError(kConstructor, "Unable to open Tremlin hex file");
        return;
    }

    pelmoraInitFirmwareResources();
    m_ResourceHexFile.setFileName(QString::asprintf(kResourcePattern, qUtf8Printable(kTremlinFileName)));
    if (!m_ResourceHexFile.open(QIODevice::ReadOnly)) {
        logError(kConstructor, "Unable to open Temp hex file");
        return;
    }
    const QByteArray image = m_ResourceHexFile.readAll();
    m_ResourceHexFile.close();

    if (!writeToDisk(temporary, image) || !syncToDisk(temporary)) {
        logError(kConstructor, "Unable to write Tremlin hex file");
        return;
    }
    temporary.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
                             | QFileDevice::ReadOther);
    // Once renamed, the file under the final name must outlive the temporary object.
    temporary.setAutoRemove(false);
    if (!temporary.rename(m_TremlinHexFile.fileName())) {
        temporary.remove();
        logError(kConstructor, "Unable to place Tremlin hex file");
        return;
    }
    logStatus(kConstructor, "Create New Tremlin Hex File");
}

VX_XML_Settings::~VX_XML_Settings()
{
    if (m_SettingsFile.isOpen()) {
        writeXMLFile();
        logStatus(kDestructor, "Close File");
        m_SettingsFile.close();
    }
}

void VX_XML_Settings::readXMLFile()
{
    if (!m_SettingsFile.isOpen()) {
        logError(kRead, "File not open!");
        return;
    }

    // No encoding in the declaration, so the reader takes the bytes as UTF-8, as they are written.
    QXmlStreamReader xml(&m_SettingsFile);
    while (!xml.atEnd()) {
        xml.readNext();
        if (!xml.isStartElement() || xml.name() != kRootElement)
            continue;
        // The walk stops at the first end tag it meets as a token of its own: the end of
        // "Settings", or the end of a child it does not know.
        xml.readNext();
        while (!xml.atEnd() && !xml.isEndElement()) {
            if (xml.isStartElement()) {
                const QStringRef name = xml.name();
                if (name == kPathHexFileElement) {
                    m_PathHexFile = xml.readElementText();
                    logElement(name, m_PathHexFile);
                } else if (name == kUsbDevNameElement) {
                    m_UsbDevName = xml.readElementText();
                    logElement(name, m_UsbDevName);
                } else if (name == kDebugComModeElement) {
                    bool ok = false;
                    const quint32 mode = xml.readElementText().trimmed().toUInt(&ok, 10);
                    m_DebugComMode = ok ? mode : 0;
                    logElement(name, modeText(m_DebugComMode));
                }
            }
            xml.readNext();
        }
    }
}

void VX_XML_Settings::writeXMLFile()
{
    logStatus(kWrite, "Write Content");
    if (!m_SettingsFile.isOpen()) {
        logError(kWrite, "File not open!");
        return;
    }

    // Built in a string, the writer puts no encoding into the declaration.
    QString document;
    QXmlStreamWriter xml(&document);
    xml.setAutoFormatting(true);
    xml.setAutoFormattingIndent(4);
    xml.writeStartDocument();
    xml.writeStartElement(kRootElement);
    xml.writeTextElement(kPathHexFileElement, m_PathHexFile);
    xml.writeTextElement(kUsbDevNameElement, m_UsbDevName);
    xml.writeTextElement(kDebugComModeElement, modeText(m_DebugComMode));
    xml.writeEndElement();
    xml.writeEndDocument();
    const QByteArray bytes = document.toUtf8();

    // The new content goes to a file of its own that replaces the old one only when complete, so
    // a full disk or a crash never leaves an empty or half-written settings file. Windows does not
    // rename over a file that is still open, hence the old one is closed first and the file at the
    // name is opened again afterwards (the old one when the replacement failed).
    const QString path = m_SettingsFile.fileName();
    m_SettingsFile.close();
    QSaveFile replacement(path);
    if (!replacement.open(QIODevice::WriteOnly) || !writeToDisk(replacement, bytes)) {
        replacement.cancelWriting();
        replacement.commit();
        logError(kWrite, "Unable to replace settings file");
    } else if (!replacement.commit()) {
        logError(kWrite, "Unable to replace settings file");
    }
    if (!m_SettingsFile.open(QIODevice::ReadWrite))
        logError(kWrite, "Unable to open settings file");
}

QString VX_XML_Settings::getPathHexFile() const
{
    return m_PathHexFile;
}

void VX_XML_Settings::setPathHexFile(const QString &path)
{
    m_PathHexFile = path;
}

QString VX_XML_Settings::getUsbDevName() const
{
    return m_UsbDevName;
}

void VX_XML_Settings::setUsbDevName(const QString &name)
{
    m_UsbDevName = name;
}

void VX_XML_Settings::setDebugComMode(quint32 &mode)
{
    m_DebugComMode = mode;
}

QString VX_XML_Settings::getPathTremlinHexFile() const
{
    return m_Folder + kFirmwareFolderName + QLatin1Char('/') + kTremlinFileName;
}
