// The small pieces of the form (16 and 8 pixel icons, the radio dot) and the brand images: the
// wordmark in the title bar and the application icon.

#include "image_style.h"

#include <QPainterPath>
#include <QPolygonF>

namespace pelmora_images {

void drawConnectSmall(QPainter &p)
{
    p.setPen(roundPen(kSlate, 1.8));
    p.drawLine(QPointF(1, 8), QPointF(3.5, 8));
    p.setPen(roundPen(kBlue, 1.8));
    p.drawLine(QPointF(12.5, 8), QPointF(15, 8));
    p.setPen(Qt::NoPen);
    p.setBrush(kBlue);
    p.drawRoundedRect(QRectF(8.5, 4, 4.5, 8), 1, 1);
    p.setBrush(kSlate);
    p.drawRoundedRect(QRectF(3, 4, 4.5, 8), 1, 1);
    p.setPen(roundPen(kSlate, 1.5));
    p.drawLine(QPointF(7.5, 6), QPointF(9.5, 6));
    p.drawLine(QPointF(7.5, 10), QPointF(9.5, 10));
}

void drawFileSmall(QPainter &p)
{
    QPainterPath page;
    page.moveTo(3.5, 1.5);
    page.lineTo(9, 1.5);
    page.lineTo(12.5, 5);
    page.lineTo(12.5, 14.5);
    page.lineTo(3.5, 14.5);
    page.closeSubpath();
    p.setPen(roundPen(kSlate, 1.2));
    p.setBrush(kPaper);
    p.drawPath(page);
    p.setBrush(kSlate);
    p.drawPolygon(QPolygonF() << QPointF(9, 1.5) << QPointF(9, 5) << QPointF(12.5, 5));
    p.setPen(roundPen(kBlue, 1.3));
    p.drawLine(QPointF(5.8, 8.2), QPointF(10.2, 8.2));
    p.drawLine(QPointF(5.8, 11.2), QPointF(10.2, 11.2));
}

void drawClose(QPainter &p, const QColor &ink)
{
    p.setPen(roundPen(ink, 1.6));
    p.drawLine(QPointF(1.3, 1.3), QPointF(6.7, 6.7));
    p.drawLine(QPointF(6.7, 1.3), QPointF(1.3, 6.7));
}

void drawDot(QPainter &p)
{
    p.setPen(Qt::NoPen);
    p.setBrush(kBlue);
    p.drawEllipse(QPointF(6, 6), 3, 3);
}

void drawWordmark(QPainter &p)
{
    // Mark: two slanted bars, blue over slate.
    p.setPen(Qt::NoPen);
    p.setBrush(kSlate);
    p.drawPolygon(QPolygonF() << QPointF(6, 2) << QPointF(11, 2) << QPointF(7, 13) << QPointF(2, 13));
    p.setBrush(kBlue);
    p.drawPolygon(QPolygonF() << QPointF(12, 2) << QPointF(17, 2) << QPointF(13, 13) << QPointF(8, 13));

    // Letters T A R V O drawn as strokes, cap height 10 units.
    const qreal top = 2.5, bottom = 12.5, mid = 7.5;
    p.setPen(roundPen(kSlate, 2));
    p.setBrush(Qt::NoBrush);
    qreal x = 22;
    p.drawLine(QPointF(x, top), QPointF(x + 8, top));  // T
    p.drawLine(QPointF(x + 4, top), QPointF(x + 4, bottom));
    x += 12;
    p.drawPolyline(QPolygonF() << QPointF(x, bottom) << QPointF(x + 4.5, top)
                               << QPointF(x + 9, bottom));  // A
    p.drawLine(QPointF(x + 2, 9.3), QPointF(x + 7, 9.3));
    x += 13;
    QPainterPath r;  // R
    r.moveTo(x, bottom);
    r.lineTo(x, top);
    r.lineTo(x + 4, top);
    r.cubicTo(x + 7.6, top, x + 7.6, mid, x + 4, mid);
    r.lineTo(x, mid);
    r.moveTo(x + 4, mid);
    r.lineTo(x + 7.5, bottom);
    p.drawPath(r);
    x += 11;
    p.drawPolyline(QPolygonF() << QPointF(x, top) << QPointF(x + 4.5, bottom)
                               << QPointF(x + 9, top));  // V
    x += 13;
    p.drawEllipse(QRectF(x, top, 9, bottom - top));  // O
}

void drawAppIcon(QPainter &p)
{
    p.setPen(Qt::NoPen);
    p.setBrush(kBlue);
    p.drawRoundedRect(QRectF(2, 2, 44, 44), 10, 10);
    // Pins along the bottom edge: the board the tool talks to.
    p.setBrush(kPaper);
    for (int i = 0; i < 4; ++i)
        p.drawRoundedRect(QRectF(27 + i * 4.2, 35, 2.4, 5), 1, 1);
    // A bold P.
    QPainterPath letter;
    letter.moveTo(16, 37);
    letter.lineTo(16, 11);
    letter.lineTo(25, 11);
    letter.cubicTo(33.5, 11, 33.5, 25, 25, 25);
    letter.lineTo(16, 25);
    p.setPen(roundPen(kPaper, 6));
    p.setBrush(Qt::NoBrush);
    p.drawPath(letter);
}

}  // namespace pelmora_images
