// The title bar that drags the frameless window: it reports where the window's corner must go,
// only while a button is held.

#include "mainwindow/vx_maintoolbar.h"

#include <QMouseEvent>
#include <QSignalSpy>
#include <QtTest>

namespace {

// Events carry explicit screen positions, far from the local ones, so that the test does not
// depend on where the platform puts the window and a mix-up of local and global shows.
void send(QWidget *w, QEvent::Type type, QPoint local, QPoint global, Qt::MouseButton button,
          Qt::MouseButtons held)
{
    QMouseEvent event(type, QPointF(local), QPointF(local), QPointF(global), button, held,
                      Qt::NoModifier);
    QCoreApplication::sendEvent(w, &event);
}

void press(QWidget *w, QPoint local, QPoint global, Qt::MouseButton button = Qt::LeftButton)
{
    send(w, QEvent::MouseButtonPress, local, global, button, button);
}

void moveTo(QWidget *w, QPoint local, QPoint global, Qt::MouseButtons held)
{
    send(w, QEvent::MouseMove, local, global, Qt::NoButton, held);
}

void release(QWidget *w, QPoint local, QPoint global, Qt::MouseButton button = Qt::LeftButton)
{
    send(w, QEvent::MouseButtonRelease, local, global, button, Qt::NoButton);
}

QPoint at(const QSignalSpy &spy, int i)
{
    return QPoint(spy.at(i).at(0).toInt(), spy.at(i).at(1).toInt());
}

}  // namespace

class TestFormToolbar : public QObject {
    Q_OBJECT

private:
    QWidget *m_window = nullptr;
    VX_MainToolBar *m_bar = nullptr;

private slots:
    void init()
    {
        m_window = new QWidget;
        m_bar = new VX_MainToolBar(m_window);
        QCOMPARE(m_bar->parentWidget(), m_window);
        m_bar->setGeometry(1, 1, 698, 27);
        m_bar->setMouseTracking(true);
    }

    void cleanup()
    {
        delete m_window;
        m_window = nullptr;
        m_bar = nullptr;
    }

    void drag_reportsScreenPositionMinusPressPoint()
    {
        QSignalSpy spy(m_bar, &VX_MainToolBar::SIGNAL_window_pos_change);
        press(m_bar, QPoint(30, 10), QPoint(1030, 710));
        QCOMPARE(spy.count(), 0);  // a press alone moves nothing
        moveTo(m_bar, QPoint(35, 12), QPoint(500, 300), Qt::LeftButton);
        moveTo(m_bar, QPoint(60, 20), QPoint(520, 310), Qt::LeftButton);
        moveTo(m_bar, QPoint(5, 3), QPoint(10, 4), Qt::LeftButton);
        QCOMPARE(spy.count(), 3);
        // Absolute positions, not differences between moves.
        QCOMPARE(at(spy, 0), QPoint(470, 290));
        QCOMPARE(at(spy, 1), QPoint(490, 300));
        QCOMPARE(at(spy, 2), QPoint(-20, -6));
    }

    void dragWithAnyButton_moves_data()
    {
        QTest::addColumn<int>("button");
        QTest::newRow("left") << int(Qt::LeftButton);
        QTest::newRow("right") << int(Qt::RightButton);
        QTest::newRow("middle") << int(Qt::MiddleButton);
    }

    void dragWithAnyButton_moves()
    {
        QFETCH(int, button);
        const auto b = Qt::MouseButton(button);
        QSignalSpy spy(m_bar, &VX_MainToolBar::SIGNAL_window_pos_change);
        press(m_bar, QPoint(100, 5), QPoint(300, 200), b);
        moveTo(m_bar, QPoint(110, 6), QPoint(310, 201), b);
        QCOMPARE(spy.count(), 1);
        QCOMPARE(at(spy, 0), QPoint(210, 196));
    }

    void moveWithoutPress_emitsNothing()
    {
        QSignalSpy spy(m_bar, &VX_MainToolBar::SIGNAL_window_pos_change);
        // Mouse tracking delivers these with no button held.
        moveTo(m_bar, QPoint(10, 10), QPoint(400, 300), Qt::NoButton);
        moveTo(m_bar, QPoint(200, 20), QPoint(590, 310), Qt::NoButton);
        QCOMPARE(spy.count(), 0);
    }

    void release_endsDragAndNextPressTakesNewPoint()
    {
        QSignalSpy spy(m_bar, &VX_MainToolBar::SIGNAL_window_pos_change);
        press(m_bar, QPoint(30, 10), QPoint(130, 110));
        moveTo(m_bar, QPoint(40, 10), QPoint(140, 110), Qt::LeftButton);
        release(m_bar, QPoint(40, 10), QPoint(140, 110));
        moveTo(m_bar, QPoint(80, 15), QPoint(180, 115), Qt::NoButton);
        QCOMPARE(spy.count(), 1);
        QCOMPARE(at(spy, 0), QPoint(110, 100));

        press(m_bar, QPoint(200, 20), QPoint(700, 420));
        moveTo(m_bar, QPoint(205, 21), QPoint(705, 421), Qt::LeftButton);
        QCOMPARE(spy.count(), 2);
        QCOMPARE(at(spy, 1), QPoint(505, 401));
    }

    void qtestPressOnShownBar_usesPositionInsideBar()
    {
        m_window->setGeometry(120, 80, 700, 500);
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window));
        QSignalSpy spy(m_bar, &VX_MainToolBar::SIGNAL_window_pos_change);
        QTest::mousePress(m_bar, Qt::LeftButton, Qt::NoModifier, QPoint(50, 12));
        const QPoint local(70, 14);
        const QPoint global = m_bar->mapToGlobal(local);
        moveTo(m_bar, local, global, Qt::LeftButton);
        QTest::mouseRelease(m_bar, Qt::LeftButton, Qt::NoModifier, local);
        moveTo(m_bar, QPoint(90, 14), m_bar->mapToGlobal(QPoint(90, 14)), Qt::NoButton);
        QCOMPARE(spy.count(), 1);
        // The window corner that keeps the press point under the cursor: bar origin moved by
        // the 20 by 2 pixels the cursor went.
        QCOMPARE(at(spy, 0), m_bar->mapToGlobal(QPoint(0, 0)) + QPoint(20, 2));
    }
};

QTEST_MAIN(TestFormToolbar)
#include "test_form_toolbar.moc"
