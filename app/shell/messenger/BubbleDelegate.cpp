#include "app/shell/messenger/BubbleDelegate.h"

#include "app/shell/messenger/MessengerModel.h"

#include <QAbstractItemView>
#include <QFontMetrics>
#include <QPainter>
#include <QPainterPath>
#include <QTextOption>
#include <algorithm>

namespace {

constexpr int kRadius = 10;
constexpr int kTextFlags = Qt::TextWordWrap | Qt::TextWrapAnywhere | Qt::AlignLeft | Qt::AlignTop;

int ViewWidth(const QStyleOptionViewItem& option) {
    if (const auto* view = qobject_cast<const QAbstractItemView*>(option.widget))
        return view->viewport()->width();
    return option.rect.width();
}

} // namespace

BubbleDelegate::BubbleDelegate(const MessengerModel& model, QObject* parent)
    : QStyledItemDelegate(parent)
    , m_model(model)
    , m_font(TextFont()) {}

QFont BubbleDelegate::TextFont() {
    QFont font(QStringLiteral("Arial"));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(12);
    font.setBold(true);
    return font;
}

int BubbleDelegate::TextWidth(int viewWidth) {
    return std::max(1, viewWidth - 2 * kPadding);
}

QSize BubbleDelegate::TextSize(const QModelIndex& index, int viewWidth) const {
    QSize size = m_model.CachedTextSize(index.row(), viewWidth);
    if (size.isEmpty()) {
        const QFontMetrics metrics(m_font);
        size = metrics
                   .boundingRect(QRect(0, 0, TextWidth(viewWidth), 1 << 20), kTextFlags,
                                 index.data(Qt::DisplayRole).toString())
                   .size()
                   // An empty text still gets a line's bubble, and is not measured again.
                   .expandedTo(QSize(1, metrics.height()));
        m_model.CacheTextSize(index.row(), viewWidth, size);
    }
    return size;
}

const QStaticText& BubbleDelegate::LaidOutText(const QModelIndex& index, int viewWidth) const {
    const int width = TextWidth(viewWidth);
    if (const QStaticText* laid = m_model.CachedLayout(index.row(), width))
        return *laid;
    // Broken as the measurement breaks it: with kTextFlags the text wraps at
    // any character, so each line fills the bubble. Never read as markup.
    QStaticText text(index.data(Qt::DisplayRole).toString());
    text.setTextFormat(Qt::PlainText);
    QTextOption option(Qt::AlignLeft | Qt::AlignTop);
    option.setWrapMode(QTextOption::WrapAnywhere);
    text.setTextOption(option);
    text.setTextWidth(width);
    text.prepare(QTransform(), m_font);
    m_model.CacheLayout(index.row(), width, text);
    const QStaticText* laid = m_model.CachedLayout(index.row(), width);
    return laid != nullptr ? *laid : (m_scratch = text);
}

QSize BubbleDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    const int width = ViewWidth(option);
    return {width, TextSize(index, width).height() + 2 * kPadding + kGap};
}

void BubbleDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                           const QModelIndex& index) const {
    const QColor bubble = index.data(MessengerModel::BubbleColourRole).value<QColor>();
    const QColor ink = index.data(MessengerModel::TextColourRole).value<QColor>();
    const bool outgoing = index.data(MessengerModel::OutgoingRole).toBool();
    const int viewWidth = ViewWidth(option);
    const QSize textSize = TextSize(index, viewWidth);

    // The bubble hugs its text; an own echo sits at the right, as a reader
    // of chats expects, received ones at the left.
    const int bubbleWidth = std::min(textSize.width() + 2 * kPadding, viewWidth - 2 * kLeft);
    const int bubbleHeight = option.rect.height() - kGap;
    const int x = outgoing ? option.rect.left() + viewWidth - kLeft - bubbleWidth
                           : option.rect.left() + kLeft;
    // The gap goes above each bubble, so the first is clear of the top edge.
    const int top = option.rect.top() + kGap;
    const QRectF box(x + 0.5, top + 0.5, bubbleWidth - 1, bubbleHeight - 1);

    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    QPainterPath path;
    path.addRoundedRect(box, kRadius, kRadius);
    // A soft shadow under the bubble, then the bubble with a lighter top half.
    painter->fillPath(path.translated(0, 1.5), QColor(0, 0, 0, 40));
    QLinearGradient fill(box.topLeft(), box.bottomLeft());
    fill.setColorAt(0, bubble.lighter(112));
    fill.setColorAt(1, bubble);
    painter->fillPath(path, fill);
    painter->setPen(QPen(bubble.darker(130), 1));
    painter->drawPath(path);
    if (option.state & QStyle::State_Selected) {
        painter->setPen(QPen(option.palette.highlight(), 2));
        painter->drawPath(path);
    }
    painter->setFont(m_font);
    painter->setPen(ink);
    painter->drawStaticText(QPointF(x + kPadding, top + kPadding), LaidOutText(index, viewWidth));
    painter->restore();
}
