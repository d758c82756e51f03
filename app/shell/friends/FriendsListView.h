#pragma once

#include <QListView>
#include <functional>
#include <memory>

class FriendsFill;
class FriendsListModel;
class FriendsSource;

// The friends list window's content: every friend but the user with an online
// or offline picture, online friends first. It is filled by FriendsFill when
// it opens and on every Refresh ("Halvara: update contacts"). A double click
// opens the friend's computer; Delete removes the selected friend without
// asking, off the user-interface thread, then reads the list again.
class FriendsListView : public QListView {
    Q_OBJECT
public:
    using OpenComputer = std::function<void(const QString& eMail)>;

    FriendsListView(std::shared_ptr<FriendsSource> source, OpenComputer open,
                    QWidget* parent = nullptr);
    ~FriendsListView() override;

    FriendsListModel& Model() const { return *m_model; }
    void Refresh();

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void OpenFriend(const QModelIndex& index);
    void DeleteFriend();

    std::shared_ptr<FriendsSource> m_source;
    OpenComputer m_open;
    std::unique_ptr<FriendsListModel> m_model;
    std::unique_ptr<FriendsFill> m_fill;
};
