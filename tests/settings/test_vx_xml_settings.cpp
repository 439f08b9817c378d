// The settings store against a private application-data folder: first start, the tolerant
// reader, the exact file written at exit, non-ASCII text, and files that fail half-way.

#include "resources/firmware/firmware_resources.h"
#include "settings/vx_xml_settings.h"
#include "support/log_capture.h"
#include "support/test_files.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

#include <memory>

namespace {

const char *const kCtor = "VX_XML_Settings::VX_XML_Settings";
const char *const kDtor = "VX_XML_Settings::~VX_XML_Settings";
const char *const kRead = "VX_XML_Settings::readXMLFile";
const char *const kWrite = "VX_XML_Settings::writeXMLFile";

QByteArray document(const QByteArray &path, const QByteArray &name, const QByteArray &mode)
{
    return "<?xml version=\"1.0\"?>\n<Settings>\n"
           "    <SettingsPathHexFile>" + path + "</SettingsPathHexFile>\n"
           "    <SettingsUsbDevName>" + name + "</SettingsUsbDevName>\n"
           "    <SettingsDebugComMode>" + mode + "</SettingsDebugComMode>\n"
           "</Settings>\n";
}

const QByteArray kDefaultDocument = document("", "", " 0");

QByteArray readAll(const QString &path) { return readFile(path, "<cannot open>"); }

QByteArray resourceImage()
{
    pelmoraInitFirmwareResources();
    return readAll(QStringLiteral(":/hex/TremlinFix_1_0_37.hex"));
}

} // namespace

class TestVxXmlSettings : public QObject {
    Q_OBJECT

    QTemporaryDir m_Home;
    QString m_Folder;

    QString settingsPath() const { return m_Folder + "/Settings.xml"; }
    QString firmwareFolder() const { return m_Folder + "/firmware"; }
    QString imagePath() const { return firmwareFolder() + "/TremlinFix_1_0_37.hex"; }

    // A folder that holds a settings file and the image already, as after an earlier run.
    void prepareEarlierRun(const QByteArray &settings, const QByteArray &image = resourceImage())
    {
        QVERIFY(QDir().mkpath(firmwareFolder()));
        QVERIFY(writeFile(settingsPath(), settings));
        QVERIFY(writeFile(imagePath(), image));
    }

    // Runs the object's whole life and returns what it left in the settings file.
    QByteArray roundTrip(const QByteArray &settings)
    {
        prepareEarlierRun(settings);
        { VX_XML_Settings s; }
        return readAll(settingsPath());
    }

private slots:
    void initTestCase()
    {
        // The folder must never be the user's own: a private home, and Qt's test locations in it.
        QVERIFY(m_Home.isValid());
        qputenv("HOME", QFile::encodeName(m_Home.path()));
        QStandardPaths::setTestModeEnabled(true);
        m_Folder = QStandardPaths::standardLocations(QStandardPaths::AppDataLocation).value(0);
        QVERIFY2(m_Folder.startsWith(m_Home.path() + "/"), qPrintable(m_Folder));
        // A locale that cannot hold the non-ASCII test texts, so any write through it shows.
        QTextCodec::setCodecForLocale(QTextCodec::codecForName("ISO-8859-1"));
    }

    void init()
    {
        QDir(m_Folder).removeRecursively();
        QVERIFY(!QFileInfo::exists(m_Folder));
        QVERIFY(QDir().mkpath(QFileInfo(m_Folder).path()));
    }

    void firstStart_createsFoldersFileAndImageAndWritesDefaultsAtExit()
    {
        QVERIFY(QDir(QFileInfo(m_Folder).path()).removeRecursively());  // the parents are missing too
        LogCapture log;
        auto settings = std::make_unique<VX_XML_Settings>();

        QCOMPARE(log.messages(kCtor), QStringList({
            QStringLiteral("create Folder \"%1\"").arg(m_Folder),
            QStringLiteral("create Folder \"%1/firmware\"").arg(m_Folder),
            QStringLiteral("Tremlin HexFile not exist"),
            QStringLiteral("Create New Tremlin Hex File")}));
        QCOMPARE(log.errors().size(), 1);  // the missing image is reported as an error line
        QVERIFY(log.messages(kRead).isEmpty());

        QVERIFY(QFileInfo(settingsPath()).isFile());
        QCOMPARE(QFileInfo(settingsPath()).size(), 0);
        QCOMPARE(readAll(imagePath()), resourceImage());
        QCOMPARE(QDir(firmwareFolder()).entryList(QDir::Files | QDir::Hidden),
                 QStringList{QStringLiteral("TremlinFix_1_0_37.hex")});
        QCOMPARE(settings->getPathTremlinHexFile(), imagePath());

        log.clear();
        settings.reset();
        QCOMPARE(readAll(settingsPath()), kDefaultDocument);
        QCOMPARE(log.messages(kWrite), QStringList{QStringLiteral("Write Content")});
        QCOMPARE(log.messages(kDtor), QStringList{QStringLiteral("Close File")});
        QVERIFY(log.errors().isEmpty());
        QCOMPARE(QDir(m_Folder).entryList(QDir::Files | QDir::Hidden),
                 QStringList{QStringLiteral("Settings.xml")});
    }

    void setters_reachTheFileOnlyAtExit_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("name");
        QTest::addColumn<quint32>("mode");
        QTest::addColumn<QByteArray>("written");
        QTest::addColumn<QByteArray>("image");  // an image already there is never replaced
        QTest::newRow("markup") << QStringLiteral("/data/a&b <c>.hex") << QStringLiteral("Orbalo Mini [0x0042]") << 1u
                                << document("/data/a&amp;b &lt;c&gt;.hex", "Orbalo Mini [0x0042]", " 1") << QByteArray();
        // Not through the locale's codec, which cannot hold these.
        const QString path = QStringLiteral("C:/Benutzer/J\u00fcrgen/\u00dcbung \u20ac/\u6f22\u5b57.hex");
        const QString name = QStringLiteral("Orbalo Ger\u00e4t \u00b5C [0x00A1]");
        QTest::newRow("non-ASCII") << path << name << 0u << document(path.toUtf8(), name.toUtf8(), " 0")
                                   << QByteArray(":00000001FF\r\n");
    }
    void setters_reachTheFileOnlyAtExit()
    {
        QFETCH(QString, path);
        QFETCH(QString, name);
        QFETCH(quint32, mode);
        QFETCH(QByteArray, written);
        QFETCH(QByteArray, image);
        const QByteArray stored = document("", "", mode ? " 0" : " 1");  // a picked mode replaces the stored one
        prepareEarlierRun(stored, image);
        LogCapture log;
        auto settings = std::make_unique<VX_XML_Settings>();
        QCOMPARE(settings->getPathTremlinHexFile(), imagePath());
        QCOMPARE(log.count(QStringLiteral("Tremlin")), 0);
        settings->setPathHexFile(path);
        settings->setUsbDevName(name);
        settings->setDebugComMode(mode);
        QCOMPARE(readAll(settingsPath()), stored);
        settings.reset();
        QCOMPARE(readAll(settingsPath()), written);
        QCOMPARE(readAll(imagePath()), image);
        QVERIFY(log.errors().isEmpty());
        VX_XML_Settings again;
        QCOMPARE(again.getPathHexFile(), path);
        QCOMPARE(again.getUsbDevName(), name);
    }

    void storedFile_keepsWhatWasRead_andBacksUpWhatCouldNotBeRead_data()
    {
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<QByteArray>("written");
        QTest::addColumn<bool>("backup");      // the stored file is kept as Settings.xml.bak
        QTest::addColumn<QString>("errorLine");  // "" for none
        // A stored mode that nobody changes during the run goes back to the file as it was read.
        const char *const modes[][2] = {{" 1", " 1"}, {"1", " 1"}, {" 1 ", " 1"}, {" 0", " 0"}, {"a", " 0"},
                                        {"1a", " 0"}, {"-1", " 0"}, {"", " 0"}};
        for (const auto &m : modes)
            QTest::addRow("mode \"%s\"", m[0]) << document("", "", m[0]) << document("", "", m[1]) << false << QString();
        QTest::newRow("children in another order")
            << QByteArray("<?xml version=\"1.0\"?><Settings><SettingsDebugComMode> 1</SettingsDebugComMode>"
                          "<SettingsUsbDevName>Bridge [0x7]</SettingsUsbDevName>"
                          "<SettingsPathHexFile>/x/app.hex</SettingsPathHexFile></Settings>")
            << document("/x/app.hex", "Bridge [0x7]", " 1") << false << QString();
        QTest::newRow("extra child stops the reading")
            << QByteArray("<?xml version=\"1.0\"?>\n<Settings>\n<SettingsPathHexFile>/p.hex</SettingsPathHexFile>\n"
                          "<SettingsUsbDevName>Dev</SettingsUsbDevName>\n<Extra>anything</Extra>\n"
                          "<SettingsDebugComMode> 1</SettingsDebugComMode>\n</Settings>\n")
            << document("/p.hex", "Dev", " 0") << false << QString();
        const QByteArray full = document("/keep.hex", "Kept", " 1");
        QTest::newRow("cut inside the mode element")
            << full.left(full.indexOf("<SettingsDebugComMode>") + 10) << document("/keep.hex", "Kept", " 0") << true
            << QString();
        QTest::newRow("cut after the first child")
            << full.left(full.indexOf("</SettingsPathHexFile>") + 22) << document("/keep.hex", "", " 0") << true
            << QString();
        static const char garbage[] = "\x00\x01\xfe\xff not xml <<<&";
        QTest::newRow("garbage") << QByteArray(garbage, sizeof garbage - 1) << kDefaultDocument << true << QString();
        QTest::newRow("wrong root") << QByteArray("<Other><SettingsUsbDevName>X</SettingsUsbDevName></Other>")
                                    << kDefaultDocument << false << QString();
        QTest::newRow("names differ in case")
            << QByteArray("<settings><SettingsUsbDevName>X</SettingsUsbDevName></settings>") << kDefaultDocument
            << false << QString();
        // Saved by a Windows program in its ANSI code page: Latin-1 bytes, no declared encoding.
        QTest::newRow("Latin-1, no encoding declared")
            << document("C:/Benutzer/J\xfcrgen/\xdc" "bung.hex", "Ger\xe4t \xb5" "C [0x1]", " 1")
            << document("C:/Benutzer/J\xc3\xbcrgen/\xc3\x9c" "bung.hex", "Ger\xc3\xa4t \xc2\xb5" "C [0x1]", " 1")
            << false << QString();
        const QByteArray longest = "/" + QByteArray(4095, 'p');
        QTest::newRow("path of 4096 bytes") << document(longest, "Dev", " 1") << document(longest, "Dev", " 1")
                                            << false << QString();
        QTest::newRow("path of 4097 bytes")
            << QByteArray("<?xml version=\"1.0\"?><Settings><SettingsUsbDevName>Kept</SettingsUsbDevName>"
                          "<SettingsPathHexFile>/" + longest + "</SettingsPathHexFile>"
                          "<SettingsDebugComMode> 1</SettingsDebugComMode></Settings>")
            << document("", "Kept", " 0") << true << QStringLiteral("SettingsPathHexFile too long");
        QTest::newRow("file of 2 MiB") << document("/" + QByteArray(2 * 1024 * 1024, 'x'), "Dev", " 1")
                                       << kDefaultDocument << true << QStringLiteral("Settings file too large");
    }

    void storedFile_keepsWhatWasRead_andBacksUpWhatCouldNotBeRead()
    {
        QFETCH(QByteArray, stored);
        QFETCH(QByteArray, written);
        QFETCH(bool, backup);
        QFETCH(QString, errorLine);
        LogCapture log;
        QCOMPARE(roundTrip(stored), written);
        const QString bak = settingsPath() + ".bak";
        QCOMPARE(QFile::exists(bak), backup);
        if (backup)
            QVERIFY(readAll(bak) == stored);
        if (errorLine.isEmpty()) {
            QVERIFY(log.errors().isEmpty());
        } else {
            QCOMPARE(log.errors().size(), 1);
            QVERIFY2(log.errors().first().contains(errorLine), qPrintable(log.errors().first()));
        }
        // A second run reads what the first one wrote, and keeps the backup as it is.
        QCOMPARE(roundTrip(written), written);
        QCOMPARE(QFile::exists(bak), backup);
    }

    void folderCannotBeCreated_defaultsAreUsedAndNothingIsWritten()
    {
        // A plain file where the folder's parent should be: no folder can be made there.
        const QString parent = QFileInfo(m_Folder).path();
        QVERIFY(QDir(parent).removeRecursively());
        QFile blocker(parent);
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        LogCapture log;
        {
            VX_XML_Settings s;
            QCOMPARE(s.getPathHexFile(), QString());
            QCOMPARE(s.getUsbDevName(), QString());
            QCOMPARE(log.messages(kCtor), QStringList({
                QStringLiteral("create Folder \"%1\"").arg(m_Folder),
                QStringLiteral("Unable to open settings file"),
                QStringLiteral("create Folder \"%1/firmware\"").arg(m_Folder),
                QStringLiteral("Tremlin HexFile not exist"),
                QStringLiteral("Unable to open Tremlin hex file")}));
            QCOMPARE(log.messages(kRead), QStringList{QStringLiteral("File not open!")});
        }
        QVERIFY(log.messages(kWrite).isEmpty());
        QVERIFY(log.messages(kDtor).isEmpty());
        QVERIFY(QFileInfo(parent).isFile());
        QVERIFY(QFile::remove(parent));
    }
};

QTEST_GUILESS_MAIN(TestVxXmlSettings)
#include "test_vx_xml_settings.moc"
