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
#include <QTextCodec>
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

bool declaresEncoding(const QByteArray &bytes)
{
    if (!bytes.startsWith("<?xml"))
        return false;
    const int end = bytes.indexOf("?>");
    return end > 0 && bytes.left(end).contains("encoding");
}

bool isValidUtf8(const QByteArray &bytes)
{
    QTextCodec::ConverterState state;
    QTextCodec::codecForName("UTF-8")->toUnicode(bytes.constData(), bytes.size(), &state);
    return state.invalidChars == 0 && state.remainingChars == 0;
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
    // A settings file is a few hundred bytes; one far larger is damaged or not ours, and its
    // values would not be usable anyway (a path of megabytes ends in the title bar).
    const qint64 size = m_SettingsFile.size();
    if (size > kSettingsFileMaxBytes) {
        logError(kRead, "Settings file too large (%lld bytes, at most %lld): defaults used", size,
                 kSettingsFileMaxBytes);
        m_Unreadable = true;
        return;
    }
    const QByteArray bytes = m_SettingsFile.readAll();
    if (m_SettingsFile.error() != QFileDevice::NoError) {
        logError(kRead, "Settings file not readable: %s", qUtf8Printable(m_SettingsFile.errorString()));
        m_Unreadable = true;
        return;
    }
    if (bytes.isEmpty())
        return;  // made empty at the first start

    // The file is written as UTF-8 without an encoding in its declaration. The same file saved by
    // a Windows program is in its ANSI code page: bytes that are no UTF-8 are taken as Latin-1.
    QXmlStreamReader xml;
    if (!declaresEncoding(bytes) && !isValidUtf8(bytes)) {
        logStatus(kRead, "Settings file is not UTF-8: read as Latin-1");
        xml.addData(QString::fromLatin1(bytes));
    } else {
        xml.addData(bytes);
    }
    if (!readSettings(xml) || xml.hasError())
        m_Unreadable = true;
}

// False when a value is beyond its bound: reading stops there, as at any fault of the file.
bool VX_XML_Settings::readSettings(QXmlStreamReader &xml)
{
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
                if (name == kPathHexFileElement || name == kUsbDevNameElement) {
                    const QString value = xml.readElementText();
                    const int valueBytes = value.toUtf8().size();
                    if (valueBytes > kSettingsValueMaxBytes) {
                        logError(kRead, "%s too long (%d bytes, at most %d): not used, reading stopped",
                                 qUtf8Printable(name.toString()), valueBytes, kSettingsValueMaxBytes);
                        return false;
                    }
                    (name == kPathHexFileElement ? m_PathHexFile : m_UsbDevName) = value;
                    logElement(name, value);
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
    return true;
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
    if (m_Unreadable && !keepUnreadableFile(path)) {
        if (!m_SettingsFile.open(QIODevice::ReadWrite))
            logError(kWrite, "Unable to open settings file");
        return;
    }
    QSaveFile replacement(path);
    // commit() cannot be trusted to see a failed write (it replaced the file after a failed
    // flush in Qt 5.15): every step is checked here, and nothing is committed after an error.
    if (!replacement.open(QIODevice::WriteOnly) || !writeToDisk(replacement, bytes) || !syncToDisk(replacement)) {
        replacement.cancelWriting();
        replacement.commit();
        logError(kWrite, "Unable to replace settings file");
    } else if (!replacement.commit()) {
        logError(kWrite, "Unable to replace settings file");
    }
    if (!m_SettingsFile.open(QIODevice::ReadWrite))
        logError(kWrite, "Unable to open settings file");
}

// A file whose values could not be read is still the user's: it moves aside before the defaults
// take its name. False (nothing is written then) when it cannot be moved.
bool VX_XML_Settings::keepUnreadableFile(const QString &path)
{
    const QString backup = path + QStringLiteral(".bak");
    QFile::remove(backup);
    if (!QFile::rename(path, backup)) {
        logError(kWrite, "Unable to keep the unreadable settings file as \"%s\": not replaced",
                 qUtf8Printable(backup));
        return false;
    }
    logStatus(kWrite, "Unreadable settings file kept as \"%s\"", qUtf8Printable(backup));
    m_Unreadable = false;
    return true;
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
