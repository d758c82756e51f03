#pragma once

#include "app/shell/friends/FriendRow.h"

#include <QAbstractListModel>
#include <vector>

// The friends list's rows in the list's order (ShownBefore), each with its
// online or offline picture. Lives on the user-interface thread.
class FriendsListModel : public QAbstractListModel {
    Q_OBJECT
public:
    enum Role { IdRole = Qt::UserRole + 1, EMailRole, OnlineRole };

    explicit FriendsListModel(QObject* parent = nullptr);

    void SetFriends(std::vector<FriendRow> rows);
    // A live check's answer; the row moves to its place in the order.
    void SetOnline(int id, bool online);
    const FriendRow& At(int row) const { return m_rows[static_cast<std::size_t>(row)]; }

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;

private:
    std::vector<FriendRow> m_rows;
};
