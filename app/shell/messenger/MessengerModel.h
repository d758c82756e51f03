#pragma once

#include "app/peer/messages/InstantMessageDisplay.h"

#include <QAbstractListModel>
#include <QColor>
#include <QSize>
#include <QStaticText>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <unordered_map>
#include <vector>

// The messenger's bubbles, oldest first. A peer that floods the window must
// not grow it without bound, so only the newest kCapacity messages are kept.
// Each message remembers the size its text was measured at for one view
// width, so neither a layout pass over thousands of bubbles nor a paint
// measures the text again; the rows painted lately also keep their text laid
// out, so a paint only draws the glyphs.
// Lives on the user-interface thread.
class MessengerModel : public QAbstractListModel {
    Q_OBJECT
public:
    static constexpr std::size_t kCapacity = 10000;
    // Laid-out texts kept: a tall window shows under a hundred bubbles, so
    // this covers scrolling back and forth over several pages while a flood
    // of 10,000 messages holds a bounded number of layouts.
    static constexpr std::size_t kLaidOutCapacity = 512;

    enum Role {
        BubbleColourRole = Qt::UserRole + 1,
        TextColourRole,
        AddressRole,
        SenderLabelRole,
        OutgoingRole,
    };

    explicit MessengerModel(QObject* parent = nullptr);

    // Appends a batch with one insertion (and at most one removal).
    void Append(std::vector<InstantMessageEntry> entries);
    const InstantMessageEntry& At(int row) const { return m_rows[static_cast<std::size_t>(row)].entry; }

    // The measured size of the row's text for a view of width, or an empty
    // size when it was measured for another width.
    QSize CachedTextSize(int row, int width) const;
    void CacheTextSize(int row, int width, QSize size) const;
    // The row's text laid out for a text width, or null when it was not laid
    // out for that width lately. The oldest layout goes past kLaidOutCapacity.
    const QStaticText* CachedLayout(int row, int width) const;
    void CacheLayout(int row, int width, QStaticText text) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;

    // The wire's colour (red in the low byte, then green, then blue).
    static QColor FromWire(std::uint32_t colour);

private:
    struct Row {
        std::uint64_t serial;
        InstantMessageEntry entry;
        QString shown;
        mutable int measuredWidth = -1;
        mutable QSize measuredText = {};
    };
    std::deque<Row> m_rows;
    std::uint64_t m_nextSerial = 0;
    // Keyed by row serial, so trimming the oldest rows shifts no key.
    mutable std::unordered_map<std::uint64_t, QStaticText> m_layouts;
    mutable std::deque<std::uint64_t> m_layoutOrder;
    mutable int m_layoutWidth = -1;
};
