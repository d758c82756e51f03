#pragma once

#include "app/peer/messages/InstantMessageDisplay.h"

#include <QAbstractListModel>
#include <QColor>
#include <cstddef>
#include <deque>
#include <vector>

// The messenger's bubbles, oldest first. A peer that floods the window must
// not grow it without bound, so only the newest kCapacity messages are kept.
// Each message remembers the height its bubble was measured at for one width,
// so a layout pass over thousands of bubbles does not measure their text again.
// Lives on the user-interface thread.
class MessengerModel : public QAbstractListModel {
    Q_OBJECT
public:
    static constexpr std::size_t kCapacity = 10000;

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

    // The measured height of the row's bubble for width, or -1 when it was
    // measured for another width.
    int CachedHeight(int row, int width) const;
    void CacheHeight(int row, int width, int height) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;

    // The wire's colour (red in the low byte, then green, then blue).
    static QColor FromWire(std::uint32_t colour);

private:
    struct Row {
        InstantMessageEntry entry;
        QString shown;
        mutable int measuredWidth = -1;
        mutable int measuredHeight = 0;
    };
    std::deque<Row> m_rows;
};
