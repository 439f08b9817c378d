// The window's form as a user meets it: the on_ slots bound by name, the images shown, which
// controls start enabled, the colours on screen, the title bar that drags the frameless window,
// and the drawn images (committed = generated, every path used exists, the ICO is well formed).

#include "drawn_images.h"
#include "mainwindow/vx_maintoolbar.h"
#include "resources/images/image_resources.h"
#include "support/test_files.h"
#include "ui_orbalofirmwareloader.h"

#include <QBuffer>
#include <QDir>
#include <QImageReader>
#include <QMouseEvent>
#include <QSet>
#include <QSignalSpy>
#include <QtEndian>
#include <QtTest>

namespace {

// Premultiplied: unpremultiplying rounds differently on different CPUs (Qt picks SIMD paths at
// run time), premultiplying the same source does not.
QImage argb(const QImage &img) { return img.convertToFormat(QImage::Format_ARGB32_Premultiplied); }

// Largest difference of one premultiplied channel (256: null or sizes differ). Encoding
// unpremultiplies, so a redrawn image may come out a step off the committed one where it is
// translucent.
int maxChannelDelta(const QImage &a, const QImage &b)
{
    if (a.isNull() || a.size() != b.size())
        return 256;
    const QImage pa = argb(a), pb = argb(b);
    int most = 0;
    for (int y = 0; y < pa.height(); ++y)
        for (int x = 0; x < pa.width(); ++x)
            for (int shift : {0, 8, 16, 24})
                most = qMax(most, qAbs(int((pa.pixel(x, y) >> shift) & 0xFF) - int((pb.pixel(x, y) >> shift) & 0xFF)));
    return most;
}

QVector<QImage> decodeAll(const QByteArray &bytes)
{
    QBuffer buffer;
    buffer.setData(bytes);
    QImageReader reader(&buffer);
    QVector<QImage> images;
    for (int i = 0; i < qMax(1, reader.imageCount()) && (i == 0 || reader.jumpToImage(i)); ++i)
        images << reader.read();
    return images;
}

// Every image of an encoded file (one for PNG, every entry for ICO) within two steps of the other's.
bool sameDrawing(const QByteArray &encoded, const QByteArray &drawn)
{
    const QVector<QImage> a = decodeAll(encoded), b = decodeAll(drawn);
    bool same = a.size() == b.size();
    for (int i = 0; same && i < a.size(); ++i)
        same = maxChannelDelta(a[i], b[i]) <= 2;
    return same;
}

// Stands in for the window: a QMainWindow with the on_ slots the window declares.
class SlotProbe : public QMainWindow {
    Q_OBJECT
public:
    QStringList calls;
public slots:
    void on_m_pBConnect_clicked() { calls << "m_pBConnect"; }
    void on_m_clear_clicked() { calls << "m_clear"; }
    void on_m_pBclose_clicked() { calls << "m_pBclose"; }
    void on_m_pBSearch_clicked() { calls << "m_pBSearch"; }
    void on_m_ListDev_currentRowChanged(int row) { calls << QStringLiteral("m_ListDev:%1").arg(row); }
    void on_m_pBSearch_2_clicked() { calls << "m_pBSearch_2"; }
    void on_m_pBWriteFirmware_clicked() { calls << "m_pBWriteFirmware"; }
    void on_m_pBCloseHexFile_clicked() { calls << "m_pBCloseHexFile"; }
    void on_m_pBTremlin_clicked() { calls << "m_pBTremlin"; }
    void on_m_pBResetOB_clicked() { calls << "m_pBResetOB"; }
    void on_m_rB_SerialMode_clicked() { calls << "m_rB_SerialMode"; }
    void on_m_rB_TLVMode_clicked() { calls << "m_rB_TLVMode"; }
};

// Mouse events with explicit screen positions far from the local ones, so that a mix-up of
// local and global shows whatever the platform does with the window.
void mouse(QWidget *w, QEvent::Type type, QPoint local, QPoint global, Qt::MouseButton button)
{
    const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(button);
    QMouseEvent event(type, QPointF(local), QPointF(local), QPointF(global),
                      type == QEvent::MouseMove ? Qt::NoButton : button, held, Qt::NoModifier);
    QCoreApplication::sendEvent(w, &event);
}

struct MouseStep {
    QEvent::Type type;
    QPoint local, global;
    Qt::MouseButton button;  // NoButton on a move: tracking with no button held
};

} // namespace

Q_DECLARE_METATYPE(QVector<MouseStep>)

class TestForm : public QObject {
    Q_OBJECT

    QMainWindow *m_window = nullptr;
    Ui::OrbaloFirmwareLoader m_ui;

private slots:
    void initTestCase()
    {
        pelmoraInitImageResources();
        m_window = new QMainWindow;
        m_ui.setupUi(m_window);
    }
    void cleanupTestCase() { delete m_window; }

    void windowSlots_areBoundByObjectName()
    {
        SlotProbe probe;
        Ui::OrbaloFirmwareLoader ui;
        ui.setupUi(&probe);
        const QList<QAbstractButton *> buttons = {
            ui.m_pBConnect, ui.m_clear, ui.m_pBclose, ui.m_pBSearch, ui.m_pBSearch_2, ui.m_pBWriteFirmware,
            ui.m_pBCloseHexFile, ui.m_pBTremlin, ui.m_pBResetOB, ui.m_rB_SerialMode, ui.m_rB_TLVMode};
        for (QAbstractButton *b : buttons)
            emit b->clicked(false);
        ui.m_ListDev->addItems({QStringLiteral("first"), QStringLiteral("second")});
        ui.m_ListDev->setCurrentRow(1);
        QCOMPARE(probe.calls, QStringList({"m_pBConnect", "m_clear", "m_pBclose", "m_pBSearch", "m_pBSearch_2",
                                           "m_pBWriteFirmware", "m_pBCloseHexFile", "m_pBTremlin", "m_pBResetOB",
                                           "m_rB_SerialMode", "m_rB_TLVMode", "m_ListDev:1"}));
    }

    // What a user sees before anything is connected: which controls work and what they show.
    void startState_imagesAndEnabledControls()
    {
        const struct { const char *name, *image; bool enabled; } rows[] = {  // image "": none checked
            {"m_pBSearch", ":/img/Scan_1_32x32.png", true},       {"m_pBConnect", ":/img/Connect_32.png", true},
            {"m_clear", ":/img/Delete_1_32x32.png", true},        {"m_pBResetOB", ":/img/Reset_32.png", false},
            {"m_pBTremlin", ":/img/Werkstueck_32.png", false},    {"m_pBSearch_2", ":/img/Document_32x32.png", true},
            {"m_pBWriteFirmware", ":/img/Update_32x32.png", false}, {"m_pBCloseHexFile", ":/img/DocClose_32.png", false},
            {"m_pBclose", ":/img/Close_8.png", true},             {"lTarvo", ":/img/Tarvo2.png", true},
            {"m_lConnectSymbol", ":/img/Connect_16.png", true},   {"m_ListDev", "", true},
            {"m_rB_SerialMode", "", true},
        };
        for (const auto &row : rows) {
            QWidget *w = m_window->findChild<QWidget *>(QString::fromLatin1(row.name));
            QVERIFY2(w, row.name);
            // The control's own flag, whatever its page says.
            QVERIFY2(w->isEnabledTo(w->parentWidget()) == row.enabled, row.name);
            if (!*row.image)
                continue;
            const QImage expected(QString::fromLatin1(row.image));
            QVERIFY2(!expected.isNull(), row.image);
            QImage shown;
            if (auto *label = qobject_cast<QLabel *>(w))
                shown = label->pixmap(Qt::ReturnByValue).toImage();
            else
                shown = qobject_cast<QAbstractButton *>(w)->icon().pixmap(expected.size()).toImage();
            QVERIFY2(argb(shown) == argb(expected), row.name);
        }
    }

    void settingsPage_isDisabledWithEverythingOnIt_deviceTabFirst()
    {
        QCOMPARE(m_ui.tabWidget->count(), 2);
        QCOMPARE(m_ui.tabWidget->currentWidget(), m_ui.tab);
        QVERIFY(m_ui.tab->isEnabled());
        const QList<QWidget *> onSettings = m_ui.tab_2->findChildren<QWidget *>();
        QVERIFY(onSettings.size() >= 7);
        for (QWidget *w : onSettings)
            QVERIFY2(!w->isEnabled(), qPrintable(w->objectName()));
        QVERIFY(m_ui.m_rB_SerialMode->isChecked() && !m_ui.m_rB_TLVMode->isChecked());
        const QList<QSize> sizes = m_window->windowIcon().availableSizes();
        for (int side : {16, 32, 48})
            QVERIFY2(sizes.contains(QSize(side, side)), qPrintable(QString::number(side)));
    }

    // The title bar reports where the window's corner must go (screen position minus press
    // point, absolute, not differences), only while a button is held.
    void titleBarDrag_data()
    {
        QTest::addColumn<QVector<MouseStep>>("steps");
        QTest::addColumn<QList<QPoint>>("reported");
        const auto P = QEvent::MouseButtonPress, M = QEvent::MouseMove, R = QEvent::MouseButtonRelease;
        QTest::newRow("left drag") << QVector<MouseStep>{{P, {30, 10}, {1030, 710}, Qt::LeftButton},
                                                         {M, {35, 12}, {500, 300}, Qt::LeftButton},
                                                         {M, {60, 20}, {520, 310}, Qt::LeftButton},
                                                         {M, {5, 3}, {10, 4}, Qt::LeftButton}}
                                   << QList<QPoint>{{470, 290}, {490, 300}, {-20, -6}};
        for (Qt::MouseButton b : {Qt::RightButton, Qt::MiddleButton})
            QTest::newRow(b == Qt::RightButton ? "right drag" : "middle drag")
                << QVector<MouseStep>{{P, {100, 5}, {300, 200}, b}, {M, {110, 6}, {310, 201}, b}} << QList<QPoint>{{210, 196}};
        QTest::newRow("press alone") << QVector<MouseStep>{{P, {30, 10}, {1030, 710}, Qt::LeftButton}} << QList<QPoint>{};
        QTest::newRow("move without press") << QVector<MouseStep>{{M, {10, 10}, {400, 300}, Qt::NoButton},
                                                                  {M, {200, 20}, {590, 310}, Qt::NoButton}}
                                            << QList<QPoint>{};
        QTest::newRow("release ends, next press takes its own point")
            << QVector<MouseStep>{{P, {30, 10}, {130, 110}, Qt::LeftButton}, {M, {40, 10}, {140, 110}, Qt::LeftButton},
                                  {R, {40, 10}, {140, 110}, Qt::LeftButton}, {M, {80, 15}, {180, 115}, Qt::NoButton},
                                  {P, {200, 20}, {700, 420}, Qt::LeftButton}, {M, {205, 21}, {705, 421}, Qt::LeftButton}}
            << QList<QPoint>{{110, 100}, {505, 401}};
    }
    void titleBarDrag()
    {
        QFETCH(QVector<MouseStep>, steps);
        QFETCH(QList<QPoint>, reported);
        QWidget window;
        auto *bar = new VX_MainToolBar(&window);
        bar->setGeometry(1, 1, 698, 27);
        bar->setMouseTracking(true);
        QSignalSpy spy(bar, &VX_MainToolBar::SIGNAL_window_pos_change);
        for (const MouseStep &s : steps)
            mouse(bar, s.type, s.local, s.global, s.button);
        QList<QPoint> got;
        for (const QList<QVariant> &args : spy)
            got << QPoint(args.at(0).toInt(), args.at(1).toInt());
        QCOMPARE(got, reported);
    }

    void committedImagesAndResources_areWhatTheGeneratorDraws()
    {
        const QVector<pelmora_images::DrawnImageFile> drawn = pelmora_images::drawPelmoraImages();
        QVERIFY(!drawn.isEmpty());
        const QDir committed(QStringLiteral(PELMORA_COMMITTED_IMAGES));
        QSet<QString> names;
        for (const auto &file : drawn) {
            names << file.name;
            QVERIFY2(sameDrawing(readFile(committed.filePath(file.name)), file.bytes),
                     qPrintable(file.name + " differs from the generator's; run the gen-icons target"));
            QVERIFY2(sameDrawing(readFile(":/img/" + file.name), file.bytes), qPrintable(":/img/" + file.name));
        }
        QVERIFY2(readFile(committed.filePath("images.qrc")) == pelmora_images::imagesQrc(drawn), "images.qrc");
        const QStringList onDisk = committed.entryList({"*.png", "*.ico"}, QDir::Files);
        QCOMPARE(QSet<QString>(onDisk.cbegin(), onDisk.cend()), names);
    }

    // The ICO as Windows reads it: entries packed in directory order, 32-bit DIBs (doubled height,
    // 1-bit mask) up to 128 px and PNG above, each as the generator draws it.
    void icoFile_isPackedInDirectoryOrder_andQtReadsEverySize()
    {
        const QByteArray ico = readFile(":/img/OBPelmora.ico");
        const auto u16 = [&](int at) { return int(qFromLittleEndian<quint16>(ico.constData() + at)); };
        const auto u32 = [&](int at) { return int(qFromLittleEndian<qint32>(ico.constData() + at)); };
        const QVector<int> sizes = pelmora_images::appIconSizes();
        QVERIFY(ico.size() > 6 + 16 * sizes.size());
        QCOMPARE(QVector<int>({u16(0), u16(2), u16(4)}), QVector<int>({0, 1, sizes.size()}));  // an icon, not a cursor
        QImageReader reader(QStringLiteral(":/img/OBPelmora.ico"));
        QCOMPARE(reader.imageCount(), sizes.size());
        int offset = 6 + 16 * sizes.size();
        for (int i = 0; i < sizes.size(); ++i) {
            const int e = 6 + 16 * i, side = sizes[i], dim = side == 256 ? 0 : side, bytes = u32(e + 8);
            // width, height, planes, bits per pixel, offset
            QCOMPARE(QVector<int>({quint8(ico[e]), quint8(ico[e + 1]), u16(e + 4), u16(e + 6), u32(e + 12)}),
                     QVector<int>({dim, dim, 1, 32, offset}));
            if (side <= 128)  // header size, width, doubled height; colour and mask rows
                QCOMPARE(QVector<int>({u32(offset), u32(offset + 4), u32(offset + 8), bytes}),
                         QVector<int>({40, side, 2 * side, 40 + side * side * 4 + ((side + 31) / 32) * 4 * side}));
            else
                QVERIFY(ico.mid(offset, 8) == "\x89PNG\r\n\x1a\n");
            offset += bytes;
            // Straight colour and alpha come back unchanged, from DIB and PNG entries alike.
            QVERIFY(reader.jumpToImage(i));
            QVERIFY2(maxChannelDelta(reader.read(), pelmora_images::drawAppIconImage(side)) <= 2, qPrintable(QString::number(side)));
        }
        QCOMPARE(offset, ico.size());
    }
};

QTEST_MAIN(TestForm)
#include "test_form.moc"
