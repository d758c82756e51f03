#include "app/shell/friends/FriendsListModel.h"

#include "app/shell/resources/ShellIcons.h"

#include <algorithm>

FriendsListModel::FriendsListModel(QObject* parent)
    : QAbstractListModel(parent) {}

void FriendsListModel::SetFriends(std::vector<FriendRow> rows) {
    std::stable_sort(rows.begin(), rows.end(), ShownBefore);
    beginResetModel();
    m_rows = std::move(rows);
    endResetModel();
}

void FriendsListModel::SetOnline(int id, bool online) {
    const auto found =
        std::find_if(m_rows.begin(), m_rows.end(), [id](const FriendRow& row) { return row.id == id; });
    if (found == m_rows.end() || found->online == online)
        return;
    emit layoutAboutToBeChanged();
    const QModelIndexList before = persistentIndexList();
    std::vector<int> ids;
    ids.reserve(static_cast<std::size_t>(before.size()));
    for (const QModelIndex& index : before)
        ids.push_back(m_rows[static_cast<std::size_t>(index.row())].id);
    found->online = online;
    std::stable_sort(m_rows.begin(), m_rows.end(), ShownBefore);
    QModelIndexList after;
    after.reserve(before.size());
    for (int moved : ids) {
        const auto place = std::find_if(m_rows.begin(), m_rows.end(),
                                        [moved](const FriendRow& row) { return row.id == moved; });
        after << index(static_cast<int>(place - m_rows.begin()), 0);
    }
    changePersistentIndexList(before, after);
    emit layoutChanged();
}

int FriendsListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

QVariant FriendsListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    const FriendRow& row = At(index.row());
    switch (role) {
    case Qt::DisplayRole:
        return QString::fromStdString(row.name);
    case Qt::ToolTipRole:
        return QString::fromStdString(row.eMail);
    case Qt::DecorationRole:
        return ShellIcons::Get(row.online ? "online" : "offline");
    case IdRole:
        return row.id;
    case EMailRole:
        return QString::fromStdString(row.eMail);
    case OnlineRole:
        return row.online;
    default:
        return {};
    }
}
