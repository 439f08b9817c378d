#pragma once
// The loader's three settings in "Settings.xml" in the per-user application-data folder, and the
// folder "firmware" beside it holding the fixed Tremlin image copied from the resources.
// Read once by the constructor, written once by the destructor; used by the GUI thread only.

#include <QFile>
#include <QString>
#include <QtGlobal>

class QXmlStreamReader;

class VX_XML_Settings {
public:
    VX_XML_Settings();
    ~VX_XML_Settings();

    VX_XML_Settings(const VX_XML_Settings &) = delete;
    VX_XML_Settings &operator=(const VX_XML_Settings &) = delete;

    void readXMLFile();
    void writeXMLFile();

    QString getPathHexFile() const;
    void setPathHexFile(const QString &path);
    QString getUsbDevName() const;
    void setUsbDevName(const QString &name);
    void setDebugComMode(quint32 &mode);
    QString getPathTremlinHexFile() const;

    // Bounds beyond which a settings file, or a path or name in it, is taken as unreadable.
    static constexpr qint64 kSettingsFileMaxBytes = 1024 * 1024;
    static constexpr int kSettingsValueMaxBytes = 4096;

private:
    void createTremlinHexFile();
    bool readSettings(QXmlStreamReader &xml);
    bool keepUnreadableFile(const QString &path);

    QString m_Folder;
    QFile m_SettingsFile;
    QFile m_TremlinHexFile;
    QFile m_ResourceHexFile;
    QString m_PathHexFile;
    QString m_UsbDevName;
    quint32 m_DebugComMode = 0;
    // The file held something that could not be read: it is kept as Settings.xml.bak at exit.
    bool m_Unreadable = false;
};
