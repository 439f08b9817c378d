#pragma once
// Title bar of the frameless main window. The window has no system frame, so this label is the
// handle by which the user drags it: while a mouse button is held, every move reports where the
// window's top-left corner must go so that the press point stays under the cursor.

#include <QLabel>

class QMouseEvent;

class VX_MainToolBar : public QLabel {
    Q_OBJECT

public:
    explicit VX_MainToolBar(QWidget *parent = nullptr);

signals:
    // Absolute screen position for the window's top-left corner (not a difference, despite the
    // parameter names): cursor's global position minus the press position inside the bar.
    void SIGNAL_window_pos_change(int DeltaX, int DeltaY);

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;

private:
    int m_pressX = 0;
    int m_pressY = 0;
    // Mouse tracking is on for the bar, so moves also arrive with no button held.
    bool m_dragging = false;
};
