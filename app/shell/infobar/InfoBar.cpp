#include "app/shell/infobar/InfoBar.h"

#include <QApplication>
#include <QFontMetrics>
#include <QPainter>

namespace {
constexpr int kMargin = 6;

// The status bar's font, doubled, in the desktop's serif face: fontconfig
// resolves "serif" to whatever serif family the desktop prefers.
QFont InfoBarFont() {
    QFont font = QApplication::font("QStatusBar");
    font.setFamilies({QStringLiteral("serif")});
    font.setStyleHint(QFont::Serif);
    if (font.pointSizeF() > 0)
        font.setPointSizeF(font.pointSizeF() * 2);
    else
        font.setPixelSize(font.pixelSize() * 2);
    return font;
}
} // namespace

InfoBar::InfoBar(QWidget* parent)
    : QWidget(parent)
    , m_text(QStringLiteral("default")) {
    setFont(InfoBarFont());
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void InfoBar::ShowText(const QString& text) {
    if (text == m_text)
        return;
    m_text = text;
    update();
}

QSize InfoBar::sizeHint() const {
    return {400, fontMetrics().height() + 2 * kMargin};
}

QSize InfoBar::minimumSizeHint() const {
    return {50, fontMetrics().height() + 2 * kMargin};
}

void InfoBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), palette().color(QPalette::Dark));
    painter.setPen(Qt::white);
    const QRect area = rect().adjusted(kMargin, 0, -kMargin, 0);
    const QString shown = fontMetrics().elidedText(m_text, Qt::ElideRight, area.width());
    painter.drawText(area, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, shown);
}
