#include "usertags/AppIcon.h"

#include <QPainter>
#include <QPainterPath>

namespace nvds {

QPixmap MakeAppIcon(int size) {
    // Drawn on a 64-unit grid and scaled, so every size shows the same picture.
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 64.0, size / 64.0);
    painter.setPen(QPen(QColor(0x55, 0x60, 0x6e), 3));
    for (int i = 0; i < 4; ++i) {
        const int at = 18 + i * 9;
        painter.drawLine(at, 6, at, 14);
        painter.drawLine(at, 50, at, 58);
        painter.drawLine(6, at, 14, at);
        painter.drawLine(50, at, 58, at);
    }
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0x2b, 0x3a, 0x4a));
    painter.drawRoundedRect(QRectF(12, 12, 40, 40), 5, 5);
    painter.setBrush(QColor(0x3d, 0xa3, 0xe0));
    painter.drawRect(QRectF(18, 34, 28, 12));
    painter.setPen(QPen(QColor(0xf2, 0xf2, 0xf2), 3, Qt::SolidLine, Qt::RoundCap));
    painter.setBrush(Qt::NoBrush);
    painter.drawArc(QRectF(22, 16, 20, 20), 30 * 16, 120 * 16);
    painter.drawArc(QRectF(27, 21, 10, 10), 30 * 16, 120 * 16);
    return pixmap;
}

QIcon AppIcon() {
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64}) {
        icon.addPixmap(MakeAppIcon(size));
    }
    return icon;
}

}  // namespace nvds
