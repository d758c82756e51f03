#include "app/shell/monitor/NetworkMonitorModel.h"

#include <algorithm>
#include <iterator>

NetworkMonitorModel::NetworkMonitorModel(std::size_t capacity, QObject* parent)
    : QAbstractListModel(parent)
    , m_capacity(std::max<std::size_t>(capacity, 1)) {}

void NetworkMonitorModel::AppendRows(std::vector<QString> rows) {
    if (rows.empty())
        return;
    // Rows the batch itself pushes out are never inserted at all.
    auto first = rows.begin();
    if (rows.size() > m_capacity)
        first += static_cast<std::ptrdiff_t>(rows.size() - m_capacity);
    const std::size_t adding = static_cast<std::size_t>(rows.end() - first);

    std::size_t overflow = m_rows.size() + adding > m_capacity
                               ? m_rows.size() + adding - m_capacity
                               : 0;
    // A removal makes the view lay out every row again, so a full monitor
    // drops a tenth of its rows at once instead of a few with every batch.
    if (overflow > 0)
        overflow = std::min(m_rows.size(), std::max(overflow, m_capacity / 10));
    if (overflow > 0) {
        beginRemoveRows({}, 0, static_cast<int>(overflow) - 1);
        m_rows.erase(m_rows.begin(), m_rows.begin() + static_cast<std::ptrdiff_t>(overflow));
        endRemoveRows();
    }
    const int start = static_cast<int>(m_rows.size());
    beginInsertRows({}, start, start + static_cast<int>(adding) - 1);
    m_rows.insert(m_rows.end(), std::make_move_iterator(first), std::make_move_iterator(rows.end()));
    endInsertRows();
}

int NetworkMonitorModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

QVariant NetworkMonitorModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() < 0 || static_cast<std::size_t>(index.row()) >= m_rows.size())
        return {};
    if (role == Qt::DisplayRole || role == Qt::ToolTipRole)
        return m_rows[static_cast<std::size_t>(index.row())];
    return {};
}

QVariant NetworkMonitorModel::headerData(int section, Qt::Orientation orientation,
                                         int role) const {
    if (section == 0 && orientation == Qt::Horizontal && role == Qt::DisplayRole)
        return tr("Log entries");
    return {};
}
