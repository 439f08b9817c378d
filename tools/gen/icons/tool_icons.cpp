// The 32x32 icons of the window's tool buttons and the ones carried beside them.

#include "image_style.h"

#include <QPainterPath>
#include <QPolygonF>
#include <QtMath>

namespace pelmora_images {

namespace {

void lens(QPainter &p, const QColor &ring, const QColor &handle)
{
    p.setPen(roundPen(handle, 5));
    p.drawLine(QPointF(20.5, 20.5), QPointF(27, 27));
    p.setPen(roundPen(ring, 3));
    p.setBrush(kPaper);
    p.drawEllipse(QPointF(13.5, 13.5), 8.5, 8.5);
}

// Plug with its cable from the left, prongs pointing right; x is the front of the body.
void plug(QPainter &p, qreal front)
{
    p.setPen(roundPen(kSlate, 3));
    p.drawLine(QPointF(2.5, 16), QPointF(front - 7, 16));
    p.setPen(Qt::NoPen);
    p.setBrush(kSlate);
    p.drawRoundedRect(QRectF(front - 8, 9, 8, 14), 2, 2);
    p.setPen(roundPen(kSlate, 2.5));
    p.drawLine(QPointF(front, 12.5), QPointF(front + 4, 12.5));
    p.drawLine(QPointF(front, 19.5), QPointF(front + 4, 19.5));
}

// Socket with its cable to the right; x is its open face.
void socket(QPainter &p, qreal face)
{
    p.setPen(roundPen(kBlue, 3));
    p.drawLine(QPointF(face + 8, 16), QPointF(29.5, 16));
    p.setPen(Qt::NoPen);
    p.setBrush(kBlue);
    QPainterPath body;
    body.addRoundedRect(QRectF(face, 9, 9, 14), 2, 2);
    p.drawPath(body);
}

QPainterPath page(qreal left, qreal top, qreal right, qreal bottom, qreal fold)
{
    QPainterPath path;
    path.moveTo(left, top);
    path.lineTo(right - fold, top);
    path.lineTo(right, top + fold);
    path.lineTo(right, bottom);
    path.lineTo(left, bottom);
    path.closeSubpath();
    return path;
}

// Page with a folded corner and three lines of text, in a 32 grid.
void documentPage(QPainter &p, qreal dx, int lines)
{
    const qreal l = 7 + dx, r = 25 + dx;
    p.setPen(roundPen(kSlate, 2));
    p.setBrush(kPaper);
    p.drawPath(page(l, 3, r, 29, 7));
    p.setBrush(kSlate);
    QPolygonF fold;
    fold << QPointF(r - 7, 3) << QPointF(r - 7, 10) << QPointF(r, 10);
    p.drawPolygon(fold);
    p.setPen(roundPen(kBlue, 2));
    for (int i = 0; i < lines; ++i)
        p.drawLine(QPointF(l + 4, 15 + 4.5 * i), QPointF(r - 4, 15 + 4.5 * i));
}

void arrowHead(QPainter &p, QPointF tip, qreal angleDeg, qreal size, const QColor &ink)
{
    const qreal a = qDegreesToRadians(angleDeg);
    const QPointF dir(std::cos(a), -std::sin(a));
    const QPointF side(-dir.y(), dir.x());
    QPolygonF head;
    head << tip << tip - dir * size + side * (size * 0.75) << tip - dir * size - side * (size * 0.75);
    p.setPen(roundPen(ink, 1));
    p.setBrush(ink);
    p.drawPolygon(head);
}

void chip(QPainter &p, const QRectF &body, int pinsPerSide, bool allSides)
{
    p.setPen(roundPen(kSlate, 2));
    const qreal stepX = body.width() / (pinsPerSide + 1);
    const qreal stepY = body.height() / (pinsPerSide + 1);
    for (int i = 1; i <= pinsPerSide; ++i) {
        const qreal x = body.left() + stepX * i;
        const qreal y = body.top() + stepY * i;
        p.drawLine(QPointF(x, body.top() - 3), QPointF(x, body.top()));
        p.drawLine(QPointF(x, body.bottom()), QPointF(x, body.bottom() + 3));
        if (allSides) {
            p.drawLine(QPointF(body.left() - 3, y), QPointF(body.left(), y));
            p.drawLine(QPointF(body.right(), y), QPointF(body.right() + 3, y));
        }
    }
    p.setPen(Qt::NoPen);
    p.setBrush(kSlate);
    p.drawRoundedRect(body, 2, 2);
}

}  // namespace

void drawSearch(QPainter &p)
{
    lens(p, kSlate, kBlue);
}

void drawSearchDevices(QPainter &p)
{
    lens(p, kSlate, kSlate);
    p.setPen(roundPen(kBlue, 2.5));
    p.drawLine(QPointF(13.5, 9.5), QPointF(13.5, 17.5));
    p.drawLine(QPointF(9.5, 13.5), QPointF(17.5, 13.5));
}

namespace {

// The connector lies on the diagonal, where it has room for a readable size.
void diagonal(QPainter &p, qreal scale)
{
    p.translate(16, 16);
    p.rotate(-45);
    p.scale(scale, scale);
    p.translate(-16, -16);
}

}  // namespace

void drawConnect(QPainter &p)
{
    diagonal(p, 1.12);
    socket(p, 17);
    plug(p, 15);
}

void drawDisconnect(QPainter &p)
{
    diagonal(p, 0.98);
    socket(p, 19.5);
    plug(p, 11.5);
    p.setPen(roundPen(kBlue, 1.8));
    p.drawLine(QPointF(18, 4.5), QPointF(17.2, 7.5));
    p.drawLine(QPointF(18, 27.5), QPointF(17.2, 24.5));
}

namespace {

void binLid(QPainter &p, const QColor &ink)
{
    p.setPen(roundPen(ink, 2.5));
    p.setBrush(Qt::NoBrush);
    p.drawLine(QPointF(6, 8), QPointF(26, 8));
    p.drawPolyline(QPolygonF() << QPointF(12.5, 7.5) << QPointF(13.5, 4) << QPointF(18.5, 4)
                               << QPointF(19.5, 7.5));
}

QPolygonF binBody()
{
    return QPolygonF() << QPointF(8.5, 11) << QPointF(23.5, 11) << QPointF(22, 28.5)
                       << QPointF(10, 28.5);
}

}  // namespace

void drawClear(QPainter &p)
{
    binLid(p, kBlue);
    p.setPen(roundPen(kSlate, 1));
    p.setBrush(kSlate);
    p.drawPolygon(binBody());
    p.setPen(roundPen(kPaper, 1.8));
    for (qreal x : {12.5, 16.0, 19.5})
        p.drawLine(QPointF(x, 15), QPointF(x, 24.5));
}

void drawDelete(QPainter &p)
{
    binLid(p, kSlate);
    p.setPen(roundPen(kSlate, 2.2));
    p.setBrush(kPaper);
    p.drawPolygon(binBody());
    p.setPen(roundPen(kBlue, 2.2));
    p.drawLine(QPointF(12.5, 15.5), QPointF(19.5, 23.5));
    p.drawLine(QPointF(19.5, 15.5), QPointF(12.5, 23.5));
}

void drawReset(QPainter &p)
{
    const QRectF circle(5.5, 6.5, 21, 21);
    p.setPen(roundPen(kBlue, 3.2));
    p.setBrush(Qt::NoBrush);
    // Open at the top right, where the arrow head closes the turn.
    p.drawArc(circle, 60 * 16, 270 * 16);
    const qreal a = qDegreesToRadians(60.0);
    const QPointF end(16 + 10.5 * std::cos(a), 17 - 10.5 * std::sin(a));
    arrowHead(p, end + QPointF(4.5, 1.2), -20, 7, kBlue);
    p.setPen(Qt::NoPen);
    p.setBrush(kSlate);
    p.drawEllipse(QPointF(16, 17), 3.5, 3.5);
}

void drawBoard(QPainter &p)
{
    chip(p, QRectF(8, 8, 16, 16), 3, true);
    p.setBrush(kBlue);
    p.drawRoundedRect(QRectF(12, 12, 8, 8), 1, 1);
    p.setBrush(kPaper);
    p.drawEllipse(QPointF(10.5, 10.5), 1, 1);
}

void drawDocument(QPainter &p)
{
    documentPage(p, 0, 3);
}

void drawWriteFirmware(QPainter &p)
{
    chip(p, QRectF(7, 19, 18, 8), 4, false);
    p.setPen(roundPen(kBlue, 3.2));
    p.drawLine(QPointF(16, 2.5), QPointF(16, 10));
    arrowHead(p, QPointF(16, 16.5), -90, 7, kBlue);
}

void drawDocumentClose(QPainter &p)
{
    documentPage(p, -2, 2);
    p.setPen(roundPen(kPaper, 1.5));
    p.setBrush(kBlue);
    p.drawEllipse(QPointF(23, 23), 7.5, 7.5);
    p.setPen(roundPen(kPaper, 2.2));
    p.drawLine(QPointF(20.2, 20.2), QPointF(25.8, 25.8));
    p.drawLine(QPointF(25.8, 20.2), QPointF(20.2, 25.8));
}

void drawImport(QPainter &p)
{
    documentPage(p, 4, 0);
    // The arrow enters the page from the left, over a white gap cut into the page's edge.
    p.setPen(roundPen(kPaper, 7));
    p.drawLine(QPointF(2, 18), QPointF(17, 18));
    p.setPen(roundPen(kBlue, 3));
    p.drawLine(QPointF(2.5, 18), QPointF(12, 18));
    arrowHead(p, QPointF(19.5, 18), 0, 7.5, kBlue);
    p.setPen(roundPen(kBlue, 2));
    p.drawLine(QPointF(15, 24.5), QPointF(25, 24.5));
}

void drawTremlin(QPainter &p)
{
    p.setPen(Qt::NoPen);
    p.setBrush(kBlue);
    p.drawRoundedRect(QRectF(3, 3, 26, 26), 6, 6);
    // A trembling line: the built-in firmware's mark.
    QPainterPath wave;
    wave.moveTo(7, 16);
    for (int i = 0; i < 4; ++i) {
        const qreal x = 7 + i * 4.5;
        const qreal amp = (i % 2 == 0) ? -6.5 : 6.5;
        wave.quadTo(x + 2.25, 16 + amp, x + 4.5, 16);
    }
    wave.lineTo(25, 16);
    p.setPen(roundPen(kPaper, 2.6));
    p.setBrush(Qt::NoBrush);
    p.drawPath(wave);
}

}  // namespace pelmora_images
