#include "app/shell/friends/FriendsListView.h"

#include "app/shell/frame/BackgroundCall.h"
#include "app/shell/friends/FriendsFill.h"
#include "app/shell/friends/FriendsListModel.h"
#include "app/shell/friends/FriendsSource.h"

#include <QKeyEvent>

FriendsListView::FriendsListView(std::shared_ptr<FriendsSource> source, OpenComputer open,
                                 QWidget* parent)
    : QListView(parent)
    , m_source(std::move(source))
    , m_open(std::move(open))
    , m_model(std::make_unique<FriendsListModel>()) {
    setObjectName(QStringLiteral("FriendsList"));
    setModel(m_model.get());
    setIconSize(QSize(16, 16));
    setUniformItemSizes(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    connect(this, &QAbstractItemView::doubleClicked, this, &FriendsListView::OpenFriend);
    m_fill = std::make_unique<FriendsFill>(
        m_source, this,
        [this](std::vector<FriendRow> rows) {
            m_model->SetFriends(std::move(rows));
            if (m_model->rowCount() > 1) {
                setCurrentIndex(m_model->index(0));
                setFocus();
            }
        },
        [this](int id, bool online) { m_model->SetOnline(id, online); });
    Refresh();
}

FriendsListView::~FriendsListView() = default;

void FriendsListView::Refresh() {
    m_fill->Refresh();
}

void FriendsListView::OpenFriend(const QModelIndex& index) {
    // The e-mail address was read with the list; the explorer resolves it.
    if (!index.isValid() || !m_open)
        return;
    const QString eMail = index.data(FriendsListModel::EMailRole).toString();
    if (!eMail.isEmpty())
        m_open(eMail);
}

void FriendsListView::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Delete) {
        DeleteFriend();
        return;
    }
    QListView::keyPressEvent(event);
}

void FriendsListView::DeleteFriend() {
    // The selected friend, or else the focused one.
    const QModelIndexList selected = selectionModel()->selectedIndexes();
    const QModelIndex chosen = selected.isEmpty() ? currentIndex() : selected.first();
    if (!chosen.isValid())
        return;
    const int id = chosen.data(FriendsListModel::IdRole).toInt();
    RunInBackground(
        this, [source = m_source, id] { return source->Ready() && source->Delete(id) ? 1 : 0; },
        [this](int) { Refresh(); });
}
