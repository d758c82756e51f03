#include "LibraryIcon.h"

#include <QIcon>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace {

QPixmap Draw(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 32.0, size / 32.0);

    QLinearGradient badge(0, 0, 0, 32);
    badge.setColorAt(0, QColor(0x3a, 0x8f, 0xd8));
    badge.setColorAt(1, QColor(0x1d, 0x5a, 0x9e));
    painter.setPen(QPen(QColor(0x15, 0x40, 0x70), 1));
    painter.setBrush(badge);
    painter.drawEllipse(QRectF(1, 1, 30, 30));

    // The friend behind, then the one in front, each a head and shoulders.
    auto person = [&painter](double x, double y, double scale, const QColor& color) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(color);
        painter.drawEllipse(QPointF(x, y), 3.6 * scale, 3.6 * scale);
        QPainterPath shoulders;
        shoulders.moveTo(x - 6.5 * scale, y + 11 * scale);
        shoulders.cubicTo(x - 6.5 * scale, y + 4 * scale, x + 6.5 * scale, y + 4 * scale,
                          x + 6.5 * scale, y + 11 * scale);
        shoulders.closeSubpath();
        painter.drawPath(shoulders);
    };
    person(20.5, 10.5, 0.9, QColor(0xbf, 0xe0, 0xff));
    person(12.5, 13, 1.0, Qt::white);
    return pixmap;
}

} // namespace

QIcon LibraryIcon() {
    QIcon icon;
    for (int size : {16, 32, 48})
        icon.addPixmap(Draw(size));
    return icon;
}
