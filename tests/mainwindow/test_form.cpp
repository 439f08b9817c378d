// The window's form: every widget by its object name with class, place, text, font, state and
// image; the stacking among the central widget's children; the tabs; the colours the style
// sheets put on screen; and the by-name binding the window's on_ slots rely on.

#include "mainwindow/vx_maintoolbar.h"
#include "resources/images/image_resources.h"
#include "ui_orbalofirmwareloader.h"

#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QMainWindow>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabBar>
#include <QTabWidget>
#include <QToolButton>
#include <QtTest>

namespace {

// Inherited: the form gives the widget no font of its own.
enum FontKind { F9, D9, F10, Inherited };

struct WidgetRow {
    const char *name;
    const char *className;
    const char *parent;
    QRect geometry;  // null: placed by its tab widget
    const char *text;
    FontKind font;
    bool ownEnabled;  // its own flag, whatever its page says
};

// The form, widget by widget.
const WidgetRow kWidgets[] = {
    {"m_lProgTitile", "VX_MainToolBar", "centralWidget", {1, 1, 698, 27}, "Zorvane Orbalo Mini", F9, true},
    {"m_lProgTitile_2", "QLabel", "centralWidget", {1, 28, 698, 24}, "", D9, true},
    {"m_lProgTitile_3", "QLabel", "centralWidget", {0, 468, 700, 32}, "", D9, true},
    {"lTarvo", "QLabel", "centralWidget", {599, 23, 85, 15}, "", Inherited, true},
    {"m_pBclose", "QPushButton", "centralWidget", {671, 5, 18, 18}, "", Inherited, true},
    {"m_lProgTitile_6", "QLabel", "centralWidget", {1, 137, 698, 331}, "", D9, true},
    {"tabWidget", "QTabWidget", "centralWidget", {0, 28, 700, 109}, "", F9, true},
    {"tab", "QWidget", "tabWidget", {}, "", Inherited, true},
    {"m_pBSearch", "QToolButton", "tab", {6, 0, 64, 85}, "Search", F9, true},
    {"m_pBConnect", "QToolButton", "tab", {72, 0, 64, 85}, "Connect", F9, true},
    {"m_ListDev", "QListWidget", "tab", {144, 6, 250, 73}, "", Inherited, true},
    {"m_clear", "QToolButton", "tab", {400, 0, 64, 85}, "Clear\nConsole", F9, true},
    {"m_pBResetOB", "QToolButton", "tab", {464, 0, 64, 85}, "Reset\nOrbalo", F9, false},
    {"m_pBTremlin", "QToolButton", "tab", {528, 0, 64, 85}, "Prog as\nTremlin", F9, false},
    {"tab_2", "QWidget", "tabWidget", {}, "", Inherited, false},
    {"m_pBSearch_2", "QToolButton", "tab_2", {6, 0, 64, 85}, "Open\nHex-File", F9, true},
    {"m_pBWriteFirmware", "QToolButton", "tab_2", {134, 0, 64, 85}, "Write\nHex-File", F9, false},
    {"m_pBCloseHexFile", "QToolButton", "tab_2", {70, 0, 64, 85}, "Close\nHex-File", F9, false},
    {"m_HexFile", "QGroupBox", "tab_2", {210, 9, 111, 71}, "Debug Com Mode", F9, true},
    {"m_rB_SerialMode", "QRadioButton", "m_HexFile", {10, 20, 111, 20}, "Serial Ascii", Inherited, true},
    {"m_rB_TLVMode", "QRadioButton", "m_HexFile", {10, 40, 111, 20}, "TLV Binär", Inherited, true},
    {"m_lBoarder", "QLabel", "tab_2", {330, 0, 1, 85}, "TextLabel", Inherited, true},
    {"m_lProgTitile_4", "QLabel", "centralWidget", {7, 143, 686, 34}, "Debug Console", F10, true},
    {"m_lProgTitile_5", "QLabel", "centralWidget", {614, 468, 80, 32}, "V.1.0.2", F9, true},
    {"m_lConnectSymbol", "QLabel", "centralWidget", {8, 468, 32, 32}, "", F9, true},
    {"m_lConnectText", "QLabel", "centralWidget", {40, 468, 100, 32}, "Verbunden", F10, true},
    {"m_pTEconsole", "QPlainTextEdit", "centralWidget", {7, 176, 686, 286}, "", Inherited, true},
};

struct ToolRow {
    const char *name;
    const char *image;
};

const ToolRow kToolButtons[] = {
    {"m_pBSearch", ":/img/Scan_1_32x32.png"},     {"m_pBConnect", ":/img/Connect_32.png"},
    {"m_clear", ":/img/Delete_1_32x32.png"},      {"m_pBResetOB", ":/img/Reset_32.png"},
    {"m_pBTremlin", ":/img/Werkstueck_32.png"},   {"m_pBSearch_2", ":/img/Document_32x32.png"},
    {"m_pBWriteFirmware", ":/img/Update_32x32.png"}, {"m_pBCloseHexFile", ":/img/DocClose_32.png"},
};

QString textOf(const QWidget *w)
{
    if (auto label = qobject_cast<const QLabel *>(w))
        return label->text();
    if (auto button = qobject_cast<const QAbstractButton *>(w))
        return button->text();
    if (auto box = qobject_cast<const QGroupBox *>(w))
        return box->title();
    if (auto edit = qobject_cast<const QPlainTextEdit *>(w))
        return edit->toPlainText();
    return QString();
}

// Premultiplied, the form the pixmap holds: unpremultiplying rounds differently on different
// CPUs (Qt picks SIMD paths at run time), premultiplying the same source does not.
QImage argb(const QImage &img)
{
    return img.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

bool near(QColor a, QColor b, int tolerance)
{
    return qAbs(a.red() - b.red()) <= tolerance && qAbs(a.green() - b.green()) <= tolerance
           && qAbs(a.blue() - b.blue()) <= tolerance;
}

// Stands in for the window: a QMainWindow with the on_ slots the window declares, recording
// which ones the form bound.
class SlotProbe : public QMainWindow {
    Q_OBJECT
public:
    QStringList calls;
public slots:
    void on_m_pBConnect_clicked() { calls << "m_pBConnect"; }
    void on_m_clear_clicked() { calls << "m_clear"; }
    void on_m_pBclose_clicked() { calls << "m_pBclose"; }
    void on_m_pBSearch_clicked() { calls << "m_pBSearch"; }
    void on_m_ListDev_currentRowChanged(int currentRow)
    {
        calls << QStringLiteral("m_ListDev:%1").arg(currentRow);
    }
    void on_m_pBSearch_2_clicked() { calls << "m_pBSearch_2"; }
    void on_m_pBWriteFirmware_clicked() { calls << "m_pBWriteFirmware"; }
    void on_m_pBCloseHexFile_clicked() { calls << "m_pBCloseHexFile"; }
    void on_m_pBTremlin_clicked() { calls << "m_pBTremlin"; }
    void on_m_pBResetOB_clicked() { calls << "m_pBResetOB"; }
    void on_m_rB_SerialMode_clicked() { calls << "m_rB_SerialMode"; }
    void on_m_rB_TLVMode_clicked() { calls << "m_rB_TLVMode"; }
};

}  // namespace

class TestForm : public QObject {
    Q_OBJECT

private:
    QMainWindow *m_window = nullptr;
    Ui::OrbaloFirmwareLoader m_ui;

    QWidget *widget(const char *name) const
    {
        return m_window->findChild<QWidget *>(QString::fromLatin1(name));
    }

private slots:
    void initTestCase()
    {
        pelmoraInitImageResources();
        m_window = new QMainWindow;
        m_ui.setupUi(m_window);
    }

    void cleanupTestCase() { delete m_window; }

    void window_hasNameSizeTitleIconFontAndBorder()
    {
        QCOMPARE(m_window->objectName(), QStringLiteral("OrbaloFirmwareLoader"));
        QCOMPARE(m_window->size(), QSize(700, 500));
        QCOMPARE(m_window->windowTitle(), QStringLiteral("Pelmora"));
        QCOMPARE(m_window->font().family(), QStringLiteral("Segoe UI"));
        QCOMPARE(m_window->font().pointSize(), 9);
        const QList<QSize> sizes = m_window->windowIcon().availableSizes();
        QVERIFY2(sizes.contains(QSize(16, 16)) && sizes.contains(QSize(32, 32))
                     && sizes.contains(QSize(48, 48)),
                 "the window icon lacks one of 16, 32, 48 pixels");
        QCOMPARE(m_window->centralWidget(), m_ui.centralWidget);
        QCOMPARE(m_ui.centralWidget->objectName(), QStringLiteral("centralWidget"));
    }

    void everyWidget_hasClassParentGeometryTextFontAndState()
    {
        for (const WidgetRow &row : kWidgets) {
            const QByteArray what = QByteArray(row.name);
            QWidget *w = widget(row.name);
            QVERIFY2(w, what + ": missing");
            QVERIFY2(w->metaObject()->className() == QByteArray(row.className),
                     what + ": class " + w->metaObject()->className());
            if (QByteArray(row.parent) == "tabWidget") {
                QVERIFY2(m_ui.tabWidget->indexOf(w) >= 0, what + ": not a page of tabWidget");
            } else {
                QVERIFY2(w->parentWidget() && w->parentWidget()->objectName() == row.parent,
                         what + ": wrong parent");
                QVERIFY2(w->geometry() == row.geometry, what + ": wrong geometry");
            }
            QVERIFY2(textOf(w) == QString::fromUtf8(row.text),
                     what + ": text \"" + textOf(w).toUtf8() + "\"");

            QWidget *page = w->parentWidget() ? w->parentWidget() : m_window;
            QVERIFY2(w->isEnabledTo(page) == row.ownEnabled, what + ": enabled flag");

            const QFont f = w->font();
            if (row.font == Inherited) {
                QVERIFY2(!w->testAttribute(Qt::WA_SetFont), what + ": has a font of its own");
                continue;
            }
            const char *family = row.font == D9 ? "DejaVu Sans" : "Segoe UI";
            QVERIFY2(f.family() == QLatin1String(family), what + ": font " + f.family().toUtf8());
            QVERIFY2(f.pointSize() == (row.font == F10 ? 10 : 9), what + ": point size");
            QVERIFY2(!f.bold() && !f.italic() && f.weight() == QFont::Normal,
                     what + ": font weight");

        }
    }

    void widgets_areShownUntilTheWindowHidesThem()
    {
        // Not shown yet, so visibility is asked relative to the window or to the page.
        for (const WidgetRow &row : kWidgets) {
            QWidget *w = widget(row.name);
            QVERIFY(w);
            QWidget *relativeTo = m_window;
            if (m_ui.tab_2->isAncestorOf(w))
                relativeTo = m_ui.tab_2;
            if (w == m_ui.tab_2)
                continue;  // a page that is not current is hidden by its tab widget
            QVERIFY2(w->isVisibleTo(relativeTo), row.name);
        }
    }

    void settingsPage_isDisabledWithEverythingOnIt()
    {
        QVERIFY(!m_ui.tab_2->isEnabled());
        const QList<QWidget *> children = m_ui.tab_2->findChildren<QWidget *>();
        QVERIFY(children.size() >= 7);
        for (QWidget *w : children)
            QVERIFY2(!w->isEnabled(), qPrintable(w->objectName()));
        QVERIFY(m_ui.tab->isEnabled());
        QVERIFY(m_ui.m_pBConnect->isEnabled() && m_ui.m_pBSearch->isEnabled()
                && m_ui.m_clear->isEnabled() && m_ui.m_ListDev->isEnabled());
    }

    void tabs_areDeviceThenSettings_firstCurrent()
    {
        QCOMPARE(m_ui.tabWidget->count(), 2);
        QCOMPARE(m_ui.tabWidget->tabText(0), QStringLiteral("Device"));
        QCOMPARE(m_ui.tabWidget->tabText(1), QStringLiteral("Settings"));
        QCOMPARE(m_ui.tabWidget->widget(0), m_ui.tab);
        QCOMPARE(m_ui.tabWidget->widget(1), m_ui.tab_2);
        QCOMPARE(m_ui.tabWidget->currentIndex(), 0);
        QCOMPARE(m_ui.tabWidget->currentWidget(), m_ui.tab);
        QVERIFY(m_ui.tabWidget->isEnabled());
    }

    void centralChildren_stackInOrderFromBottomToTop()
    {
        QStringList order;
        for (QObject *child : m_ui.centralWidget->children()) {
            if (child->isWidgetType())
                order << child->objectName();
        }
        const QStringList expected = {"m_lProgTitile_2", "tabWidget",        "m_lProgTitile_6",
                                      "m_lProgTitile",   "m_lProgTitile_3",  "lTarvo",
                                      "m_pBclose",       "m_lProgTitile_4",  "m_lProgTitile_5",
                                      "m_lConnectSymbol", "m_lConnectText",  "m_pTEconsole"};
        QCOMPARE(order, expected);
    }

    void toolButtons_showTheirImageTextUnderIcon_takeNoFocus()
    {
        for (const ToolRow &row : kToolButtons) {
            auto *b = qobject_cast<QToolButton *>(widget(row.name));
            QVERIFY2(b, row.name);
            QVERIFY2(!b->icon().isNull(), row.name);
            QCOMPARE(b->iconSize(), QSize(32, 32));
            QCOMPARE(b->toolButtonStyle(), Qt::ToolButtonTextUnderIcon);
            QCOMPARE(b->popupMode(), QToolButton::DelayedPopup);
            QCOMPARE(b->focusPolicy(), Qt::NoFocus);
            const QImage expected(QString::fromLatin1(row.image));
            QVERIFY2(!expected.isNull(), row.image);
            QVERIFY2(argb(b->icon().pixmap(32, 32).toImage()) == argb(expected),
                     QByteArray(row.name) + " does not show " + row.image);
        }
    }

    void toolButtonTexts_fitTheirButtons()
    {
        // "Segoe UI" is missing on most Linux desktops; whatever the fallback, no line of a
        // button's text may be wider than the button.
        for (const ToolRow &row : kToolButtons) {
            auto *b = qobject_cast<QToolButton *>(widget(row.name));
            const QFontMetrics fm(b->font());
            for (const QString &line : b->text().split('\n'))
                QVERIFY2(fm.horizontalAdvance(line) <= b->width(),
                         qPrintable(QStringLiteral("%1: %2 px").arg(line).arg(fm.horizontalAdvance(line))));
        }
    }

    void otherWidgets_haveTheirImagesAndProperties()
    {
        QCOMPARE(m_ui.m_pBclose->isFlat(), true);
        QCOMPARE(m_ui.m_pBclose->focusPolicy(), Qt::NoFocus);
        QVERIFY(!m_ui.m_pBclose->icon().isNull());
        QCOMPARE(argb(m_ui.m_pBclose->icon().pixmap(8, 8).toImage()), argb(QImage(":/img/Close_8.png")));

        const QPixmap logo = m_ui.lTarvo->pixmap(Qt::ReturnByValue);
        QVERIFY(!logo.isNull());
        QCOMPARE(argb(logo.toImage()), argb(QImage(":/img/Tarvo2.png")));
        QVERIFY(m_ui.lTarvo->hasScaledContents());
        const QPixmap plug = m_ui.m_lConnectSymbol->pixmap(Qt::ReturnByValue);
        QVERIFY(!plug.isNull());
        QCOMPARE(argb(plug.toImage()), argb(QImage(":/img/Connect_16.png")));

        QVERIFY(m_ui.m_lProgTitile->hasMouseTracking());
        QCOMPARE(m_ui.m_ListDev->focusPolicy(), Qt::NoFocus);
        QCOMPARE(m_ui.m_ListDev->count(), 0);
        QVERIFY(m_ui.m_rB_SerialMode->isChecked());
        QVERIFY(!m_ui.m_rB_TLVMode->isChecked());
        QVERIFY(!m_ui.m_lProgTitile_2->hasScaledContents());
        QVERIFY(!m_ui.m_lProgTitile_4->hasScaledContents());

        const Qt::Alignment centre = Qt::AlignCenter;
        const Qt::Alignment left = Qt::AlignLeft | Qt::AlignVCenter;
        const Qt::Alignment right = Qt::AlignRight | Qt::AlignVCenter;
        QCOMPARE(m_ui.m_lProgTitile->alignment() & ~Qt::AlignLeading, centre);
        QCOMPARE(m_ui.m_lProgTitile_2->alignment(), centre);
        QCOMPARE(m_ui.m_lProgTitile_3->alignment(), centre);
        QCOMPARE(m_ui.m_lProgTitile_6->alignment(), centre);
        QCOMPARE(m_ui.m_lConnectSymbol->alignment(), centre);
        QCOMPARE(m_ui.m_lProgTitile_4->alignment() & (Qt::AlignHorizontal_Mask | Qt::AlignVertical_Mask), left);
        QCOMPARE(m_ui.m_lConnectText->alignment() & (Qt::AlignHorizontal_Mask | Qt::AlignVertical_Mask), left);
        QCOMPARE(m_ui.m_lProgTitile_5->alignment() & (Qt::AlignHorizontal_Mask | Qt::AlignVertical_Mask), right);
        QVERIFY(m_ui.m_lProgTitile_5->styleSheet().isEmpty());
        QVERIFY(m_ui.m_lConnectSymbol->styleSheet().isEmpty());
    }

    void styleSheets_paintTheFormsColours()
    {
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window));
        const QImage shot = m_window->grab().toImage();
        QCOMPARE(shot.size(), QSize(700, 500));
        const QColor grey(149, 151, 153), band(216, 220, 225), white(255, 255, 255);
        struct Probe {
            QPoint at;
            QColor colour;
            const char *what;
        };
        const Probe probes[] = {
            {{0, 250}, grey, "left window border"},
            {{699, 250}, grey, "right window border"},
            {{300, 0}, grey, "top window border"},
            {{100, 10}, band, "title bar"},
            {{300, 40}, band, "band behind the tabs"},
            {{300, 51}, grey, "lower edge of the band"},
            {{650, 100}, white, "tab pane"},
            {{300, 140}, white, "area behind the console"},
            {{300, 160}, band, "console heading"},
            {{7, 300}, grey, "console border"},
            {{300, 300}, white, "console"},
            {{300, 484}, band, "status strip"},
            {{300, 468}, grey, "status strip border"},
        };
        for (const Probe &p : probes) {
            const QColor got = shot.pixelColor(p.at);
            QVERIFY2(got == p.colour, qPrintable(QStringLiteral("%1 at (%2,%3) is %4")
                                                    .arg(p.what).arg(p.at.x()).arg(p.at.y())
                                                    .arg(got.name())));
        }

        // Selected tab white, the other one in the band colour; tabs at least 62 px wide.
        QTabBar *bar = m_ui.tabWidget->tabBar();
        for (int i = 0; i < 2; ++i) {
            const QRect r = bar->tabRect(i);
            QVERIFY2(r.width() >= 62, "tab narrower than 62 px");
            const QPoint inside = bar->mapTo(m_window, r.topLeft() + QPoint(3, 4));
            QCOMPARE(shot.pixelColor(inside), i == 0 ? white : band);
        }

        // "Verbunden" in the connection blue.
        const QRect text = m_ui.m_lConnectText->geometry();
        bool blue = false;
        for (int y = text.top(); y <= text.bottom() && !blue; ++y) {
            for (int x = text.left(); x <= text.right() && !blue; ++x)
                blue = near(shot.pixelColor(x, y), QColor(0, 145, 220), 24);
        }
        QVERIFY2(blue, "no pixel of the connection text is blue");
        m_window->hide();
    }

    void windowSlots_areBoundByObjectName()
    {
        SlotProbe probe;
        Ui::OrbaloFirmwareLoader ui;
        ui.setupUi(&probe);
        const QList<QAbstractButton *> buttons = {
            ui.m_pBConnect,    ui.m_clear,           ui.m_pBclose,         ui.m_pBSearch,
            ui.m_pBSearch_2,   ui.m_pBWriteFirmware, ui.m_pBCloseHexFile,  ui.m_pBTremlin,
            ui.m_pBResetOB,    ui.m_rB_SerialMode,   ui.m_rB_TLVMode};
        for (QAbstractButton *b : buttons)
            emit b->clicked(false);
        ui.m_ListDev->addItem(QStringLiteral("first"));
        ui.m_ListDev->addItem(QStringLiteral("second"));
        ui.m_ListDev->setCurrentRow(1);
        const QStringList expected = {
            "m_pBConnect",    "m_clear",           "m_pBclose",        "m_pBSearch",
            "m_pBSearch_2",   "m_pBWriteFirmware", "m_pBCloseHexFile", "m_pBTremlin",
            "m_pBResetOB",    "m_rB_SerialMode",   "m_rB_TLVMode",     "m_ListDev:1"};
        QCOMPARE(probe.calls, expected);
    }
};

QTEST_MAIN(TestForm)
#include "test_form.moc"
