#pragma once

#include <QFont>
#include <QStaticText>
#include <QStyledItemDelegate>

class MessengerModel;

// Paints one message as a rounded bubble in its sender's colours. The layout
// is measured: the text is broken at words in the view's width minus 16
// pixels, the bubble is the text's height plus 16 pixels high, 5 pixels from
// the left edge, and the next bubble follows 5 pixels below.
class BubbleDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    static constexpr int kPadding = 8;   // text inside the bubble, each side
    static constexpr int kGap = 5;       // between bubbles
    static constexpr int kLeft = 5;      // from the view's left edge

    explicit BubbleDelegate(const MessengerModel& model, QObject* parent = nullptr);

    // The messenger's text font: a sans-serif face, bold, 12 pixels high.
    static QFont TextFont();
    // Where the text of a bubble is laid out for a view of that width.
    static int TextWidth(int viewWidth);

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

private:
    // The text's size for that view width: measured once per row and width.
    QSize TextSize(const QModelIndex& index, int viewWidth) const;

    // The text laid out for that view width: once per row and width while the
    // row is among those painted lately.
    const QStaticText& LaidOutText(const QModelIndex& index, int viewWidth) const;

    const MessengerModel& m_model;
    // Holds a layout the model would not keep (a row outside it).
    mutable QStaticText m_scratch;
    QFont m_font;
};
