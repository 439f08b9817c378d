#pragma once
// The loader's three settings in "Settings.xml" in the per-user application-data folder, and the
// folder "firmware" beside it holding the fixed Tremlin image copied from the resources.
// Read once by the constructor, written once by the destructor; used by the GUI thread only.

#include <QFile>
#include <QString>
#include <QtGlobal>

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

private:
    void createTremlinHexFile();

    QString m_Folder;
    QFile m_SettingsFile;
    QFile m_TremlinHexFile;
    QFile m_ResourceHexFile;
    QString m_PathHexFile;
    QString m_UsbDevName;
    quint32 m_DebugComMode = 0;
};
