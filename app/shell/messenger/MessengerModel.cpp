#include "app/shell/messenger/MessengerModel.h"

MessengerModel::MessengerModel(QObject* parent)
    : QAbstractListModel(parent) {}

void MessengerModel::Append(std::vector<InstantMessageEntry> entries) {
    if (entries.empty())
        return;
    if (entries.size() > kCapacity)
        entries.erase(entries.begin(),
                      entries.begin() + static_cast<std::ptrdiff_t>(entries.size() - kCapacity));
    const std::size_t keep = kCapacity - entries.size();
    if (m_rows.size() > keep) {
        const int drop = static_cast<int>(m_rows.size() - keep);
        beginRemoveRows({}, 0, drop - 1);
        m_rows.erase(m_rows.begin(), m_rows.begin() + drop);
        endRemoveRows();
    }
    const int first = static_cast<int>(m_rows.size());
    beginInsertRows({}, first, first + static_cast<int>(entries.size()) - 1);
    for (InstantMessageEntry& entry : entries) {
        QString shown = QString::fromStdString(entry.shownText);
        m_rows.push_back({std::move(entry), std::move(shown)});
    }
    endInsertRows();
}

QSize MessengerModel::CachedTextSize(int row, int width) const {
    if (row < 0 || row >= rowCount())
        return {};
    const Row& entry = m_rows[static_cast<std::size_t>(row)];
    return entry.measuredWidth == width ? entry.measuredText : QSize();
}

void MessengerModel::CacheTextSize(int row, int width, QSize size) const {
    if (row < 0 || row >= rowCount())
        return;
    const Row& entry = m_rows[static_cast<std::size_t>(row)];
    entry.measuredWidth = width;
    entry.measuredText = size;
}

int MessengerModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

QVariant MessengerModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    const Row& row = m_rows[static_cast<std::size_t>(index.row())];
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        return row.shown;
    case BubbleColourRole:
        return FromWire(row.entry.bubbleColour);
    case TextColourRole:
        return FromWire(row.entry.textColour);
    case AddressRole:
        return QString::fromStdString(row.entry.address);
    case SenderLabelRole:
        return QString::fromStdString(row.entry.senderLabel);
    case OutgoingRole:
        return row.entry.outgoing;
    default:
        return {};
    }
}

QColor MessengerModel::FromWire(std::uint32_t colour) {
    return QColor(static_cast<int>(colour & 0xffu), static_cast<int>((colour >> 8) & 0xffu),
                  static_cast<int>((colour >> 16) & 0xffu));
}
