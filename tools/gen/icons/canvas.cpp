#include "image_style.h"

namespace pelmora_images {

Canvas::Canvas(int width, int height, qreal grid)
    : m_image(width, height, QImage::Format_ARGB32_Premultiplied)
{
    m_image.fill(Qt::transparent);
    m_image.setDotsPerMeterX(kDotsPerMeter);
    m_image.setDotsPerMeterY(kDotsPerMeter);
    m_painter.begin(&m_image);
    m_painter.setRenderHint(QPainter::Antialiasing, true);
    m_painter.scale(width / grid, width / grid);
}

QImage Canvas::finish()
{
    m_painter.end();
    QImage out = m_image.convertToFormat(QImage::Format_ARGB32);
    out.setDotsPerMeterX(kDotsPerMeter);
    out.setDotsPerMeterY(kDotsPerMeter);
    return out;
}

QPen roundPen(const QColor &color, qreal width)
{
    QPen pen(color, width);
    pen.setCapStyle(Qt::RoundCap);
    pen.setJoinStyle(Qt::RoundJoin);
    return pen;
}

}  // namespace pelmora_images
