#include "core/ApplicationIcon.h"

#include <QPainter>
#include <QPainterPath>

namespace quarnel {

QImage ApplicationIconImage(int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal s = size;
    // A rounded blue tile, readable against light and dark panels alike.
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0x1f, 0x5f, 0xd6));
    painter.drawRoundedRect(QRectF(0, 0, s, s), s * 0.18, s * 0.18);
    QPainterPath v;
    v.moveTo(s * 0.14, s * 0.16);
    v.lineTo(s * 0.36, s * 0.16);
    v.lineTo(s * 0.50, s * 0.60);
    v.lineTo(s * 0.64, s * 0.16);
    v.lineTo(s * 0.86, s * 0.16);
    v.lineTo(s * 0.60, s * 0.86);
    v.lineTo(s * 0.40, s * 0.86);
    v.closeSubpath();
    painter.setBrush(Qt::white);
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
