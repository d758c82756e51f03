#include "app/shell/search/BusyIndicator.h"

#include <QPainter>
#include <QtMath>

BusyIndicator::BusyIndicator(QWidget* parent)
    : QWidget(parent) {
    m_timer.setInterval(80);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        m_head = (m_head + 1) % kDots;
        update();
    });
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void BusyIndicator::Start() {
    m_timer.start();
    update();
}

void BusyIndicator::Stop() {
    m_timer.stop();
    update();
}

QSize BusyIndicator::sizeHint() const {
    return {48, 48};
}

void BusyIndicator::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor colour = palette().color(QPalette::Highlight);
    const qreal side = qMin(width(), height());
    const qreal dot = side / 9.0;
    const qreal radius = side / 2.0 - dot;
    painter.translate(width() / 2.0, height() / 2.0);
    painter.setPen(Qt::NoPen);
    for (int i = 0; i < kDots; ++i) {
        // Dots behind the head fade out; stopped, every dot is faint.
        const int behind = (m_head - i + kDots) % kDots;
        QColor shade = colour;
        shade.setAlphaF(IsRunning() ? 1.0 - 0.8 * behind / (kDots - 1.0) : 0.18);
        painter.setBrush(shade);
        const qreal angle = 2 * M_PI * i / kDots - M_PI / 2;
        const qreal size = IsRunning() && behind == 0 ? dot * 1.25 : dot;
        painter.drawEllipse(QPointF(radius * qCos(angle), radius * qSin(angle)), size, size);
    }
}
