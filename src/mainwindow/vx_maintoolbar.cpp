#include "mainwindow/vx_maintoolbar.h"

#include <QMouseEvent>

VX_MainToolBar::VX_MainToolBar(QWidget *parent)
    : QLabel(parent)
{
}

void VX_MainToolBar::mousePressEvent(QMouseEvent *event)
{
    // Any button starts a drag.
    m_pressX = event->pos().x();
    m_pressY = event->pos().y();
    m_dragging = true;
    event->accept();
}

void VX_MainToolBar::mouseReleaseEvent(QMouseEvent *event)
{
    m_dragging = false;
    event->accept();
}

void VX_MainToolBar::mouseMoveEvent(QMouseEvent *event)
{
    if (!m_dragging) {
        QLabel::mouseMoveEvent(event);
        return;
    }
    const QPoint global = event->globalPos();
    emit SIGNAL_window_pos_change(global.x() - m_pressX, global.y() - m_pressY);
    event->accept();
}
