#include "app/shell/messenger/MessengerModel.h"

#include <algorithm>

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
        const std::uint64_t oldest = m_rows.empty() ? m_nextSerial : m_rows.front().serial;
        std::erase_if(m_layouts, [oldest](const auto& laid) { return laid.first < oldest; });
        std::erase_if(m_layoutOrder, [oldest](std::uint64_t serial) { return serial < oldest; });
        endRemoveRows();
    }
    const int first = static_cast<int>(m_rows.size());
    beginInsertRows({}, first, first + static_cast<int>(entries.size()) - 1);
    for (InstantMessageEntry& entry : entries) {
        QString shown = QString::fromStdString(entry.shownText);
        m_rows.push_back({m_nextSerial++, std::move(entry), std::move(shown)});
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

const QStaticText* MessengerModel::CachedLayout(int row, int width) const {
    if (row < 0 || row >= rowCount() || width != m_layoutWidth)
        return nullptr;
    const auto laid = m_layouts.find(m_rows[static_cast<std::size_t>(row)].serial);
    return laid == m_layouts.end() ? nullptr : &laid->second;
}

void MessengerModel::CacheLayout(int row, int width, QStaticText text) const {
    if (row < 0 || row >= rowCount())
        return;
    if (width != m_layoutWidth) {
        m_layouts.clear();
        m_layoutOrder.clear();
        m_layoutWidth = width;
    }
    const std::uint64_t serial = m_rows[static_cast<std::size_t>(row)].serial;
    if (!m_layouts.insert_or_assign(serial, std::move(text)).second)
        return;
    m_layoutOrder.push_back(serial);
    while (m_layoutOrder.size() > kLaidOutCapacity) {
        m_layouts.erase(m_layoutOrder.front());
        m_layoutOrder.pop_front();
    }
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
