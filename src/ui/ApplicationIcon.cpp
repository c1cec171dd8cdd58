#include "ui/ApplicationIcon.h"

#include <QPainter>
#include <QPainterPath>
#include <algorithm>

namespace quarnel {

QImage ApplicationIconImage(int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal s = size;
    // A blue letter V on a light tile edged in the same blue: the tile keeps the V readable on a dark
    // panel, the edge keeps the tile's shape on a light one.
    const QColor blue(0x1f, 0x5f, 0xd6);
    const qreal edge = std::max<qreal>(1.0, s / 16);
    painter.setPen(QPen(blue, edge));
    painter.setBrush(QColor(0xf4, 0xf7, 0xff));
    painter.drawRoundedRect(QRectF(edge / 2, edge / 2, s - edge, s - edge), s * 0.18, s * 0.18);
    painter.setPen(Qt::NoPen);
    QPainterPath v;
    v.moveTo(s * 0.14, s * 0.16);
    v.lineTo(s * 0.36, s * 0.16);
    v.lineTo(s * 0.50, s * 0.60);
    v.lineTo(s * 0.64, s * 0.16);
    v.lineTo(s * 0.86, s * 0.16);
    v.lineTo(s * 0.60, s * 0.86);
    v.lineTo(s * 0.40, s * 0.86);
    v.closeSubpath();
    painter.setBrush(blue);
    painter.drawPath(v);
    return image;
}

QIcon ApplicationIcon()
{
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256})
        icon.addPixmap(QPixmap::fromImage(ApplicationIconImage(size)));
    return icon;
}

} // namespace quarnel
