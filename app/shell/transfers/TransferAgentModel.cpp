#include "app/shell/transfers/TransferAgentModel.h"

#include <QFile>

void TransferAgentModel::AddRow(int row, const TransferQueueRow& shown) {
    // The queue numbers rows as it holds them; a number that does not fit what
    // is shown would mean a lost change, and is put at the end.
    const int at = row >= 0 && row <= rowCount() ? row : rowCount();
    beginInsertRows({}, at, at);
    m_rows.insert(m_rows.begin() + at,
                  Shown{shown, QFile::decodeName(QByteArray::fromStdString(shown.fileName)),
                        QString::fromStdString(shown.host), QString::fromStdString(shown.status)});
    endInsertRows();
}

void TransferAgentModel::SetStatus(int row, const QString& status) {
    if (row < 0 || row >= rowCount())
        return;
    m_rows[static_cast<std::size_t>(row)].status = status;
    const QModelIndex changed = index(row, kStatus);
    emit dataChanged(changed, changed, {Qt::DisplayRole});
}

void TransferAgentModel::RemoveRow(int row) {
    if (row < 0 || row >= rowCount())
        return;
    beginRemoveRows({}, row, row);
    m_rows.erase(m_rows.begin() + row);
    endRemoveRows();
}

std::pair<std::string, std::string> TransferAgentModel::SourceOf(int row) const {
    if (row < 0 || row >= rowCount())
        return {};
    const TransferQueueRow& queued = m_rows[static_cast<std::size_t>(row)].queued;
    return {queued.fileName, queued.host};
}

int TransferAgentModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int TransferAgentModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumnCount;
}

QVariant TransferAgentModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount() ||
        (role != Qt::DisplayRole && role != Qt::ToolTipRole))
        return {};
    const Shown& shown = m_rows[static_cast<std::size_t>(index.row())];
    switch (index.column()) {
    case kFileName:
        return shown.fileName;
    case kHost:
        return shown.host;
    case kStatus:
        return shown.status;
    default:
        return {};
    }
}

QVariant TransferAgentModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case kFileName:
        return QStringLiteral("File name");
    case kHost:
        return QStringLiteral("Host");
    case kStatus:
        return QStringLiteral("Status");
    default:
        return {};
    }
}
