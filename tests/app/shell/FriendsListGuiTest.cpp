// The friends list window over a scripted presence service: the order of
// online and offline friends, the own id, the start while the library is not
// ready, the live checks refining the pictures, refreshes and Delete.

#include "ShellGuiTestSupport.h"
#include "app/shell/friends/FriendsFill.h"
#include "app/shell/friends/FriendsListModel.h"
#include "app/shell/friends/FriendsListView.h"
#include "app/shell/friends/FriendsSource.h"

#include <QTest>
#include <atomic>
#include <deque>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <vector>

namespace {

struct ScriptedFriend {
    int id;
    std::string name;
    bool known;
    bool live;
};

// The service's answers, changed by the test while a fill may read them.
class ScriptedFriends : public FriendsSource {
public:
    void Set(int me, std::vector<ScriptedFriend> list) {
        std::lock_guard lock(m_mutex);
        m_me = me;
        m_list = std::move(list);
    }
    void SetReady(bool ready) { m_ready.store(ready); }
    std::vector<int> Deleted() const {
        std::lock_guard lock(m_mutex);
        return m_deleted;
    }

    bool Ready() override { return m_ready.load(); }
    int MyId() override {
        std::lock_guard lock(m_mutex);
        return m_me;
    }
    int FriendAt(int index) override {
        std::lock_guard lock(m_mutex);
        return index < static_cast<int>(m_list.size()) ? m_list[static_cast<std::size_t>(index)].id
                                                       : -1;
    }
    bool Profile(int id, std::string& name, std::string& eMail) override {
        const ScriptedFriend* found = Find(id);
        if (!found)
            return false;
        name = found->name;
        eMail = found->name + "@example.com";
        return true;
    }
    bool KnownOnline(int id) override {
        const ScriptedFriend* found = Find(id);
        return found && found->known;
    }
    std::optional<std::vector<std::pair<int, bool>>> LiveOnlineAll() override {
        std::lock_guard lock(m_mutex);
        ++m_liveChecks;
        std::vector<std::pair<int, bool>> answers;
        for (const ScriptedFriend& entry : m_list)
            if (entry.id != m_me)
                answers.emplace_back(entry.id, entry.live);
        return answers;
    }
    int LiveChecks() const {
        std::lock_guard lock(m_mutex);
        return m_liveChecks;
    }
    bool Delete(int id) override {
        std::lock_guard lock(m_mutex);
        m_deleted.push_back(id);
        std::erase_if(m_list, [id](const ScriptedFriend& entry) { return entry.id == id; });
        return true;
    }

private:
    const ScriptedFriend* Find(int id) {
        std::lock_guard lock(m_mutex);
        for (const ScriptedFriend& entry : m_list)
            if (entry.id == id)
                return &m_copy.emplace_back(entry);
        return nullptr;
    }

    mutable std::mutex m_mutex;
    std::atomic<bool> m_ready{true};
    int m_me = -1;
    std::vector<ScriptedFriend> m_list;
    // Answers stay valid after the list changed.
    std::deque<ScriptedFriend> m_copy;
    std::vector<int> m_deleted;
    int m_liveChecks = 0;
};

QStringList Shown(const FriendsListView& view) {
    QStringList rows;
    const FriendsListModel& model = view.Model();
    for (int row = 0; row < model.rowCount(); ++row)
        rows << model.index(row).data().toString() +
                    (model.index(row).data(FriendsListModel::OnlineRole).toBool() ? "+" : "-");
    return rows;
}

class FriendsListGuiTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { shelltest::Application(); }
    void TearDown() override {
        // The fill is detached; the next case starts when it has ended.
        ASSERT_TRUE(shelltest::ProcessUntil([] { return !FriendsFill::Running(); }));
    }

    std::shared_ptr<ScriptedFriends> m_service = std::make_shared<ScriptedFriends>();
};

TEST_F(FriendsListGuiTest, OnlineFriendsNewestFirstAboveOfflineOnesWithoutTheOwnId) {
    // Known online A and B, a live check finding D there too and C gone.
    m_service->Set(7, {{11, "Ann", true, true},
                       {7, "Me", true, true},
                       {12, "Ben", true, true},
                       {13, "Cid", true, false},
                       {14, "Dot", false, true},
                       {15, "Eve", false, false}});
    m_service->SetReady(false);
    FriendsListView view(m_service, nullptr);
    view.resize(240, 160);
    view.show();
    // Empty while the library starts, filled once it is ready.
    QTest::qWait(700);
    EXPECT_EQ(view.Model().rowCount(), 0);
    m_service->SetReady(true);
    ASSERT_TRUE(shelltest::ProcessUntil([&] {
        return Shown(view) == QStringList{"Dot+", "Ben+", "Ann+", "Cid-", "Eve-"};
    })) << Shown(view).join(' ').toStdString();
    // Every friend was asked live in one exchange.
    EXPECT_EQ(m_service->LiveChecks(), 1);
    shelltest::Screenshot(view, QStringLiteral("friends-list"));
}

TEST_F(FriendsListGuiTest, ARefreshShowsAFriendGoneOfflineAndDeleteRemovesTheSelectedOne) {
    m_service->Set(-1, {{21, "Ann", true, true}, {22, "Ben", true, true}});
    std::vector<QString> opened;
    FriendsListView view(m_service, [&opened](const QString& eMail) { opened.push_back(eMail); });
    view.show();
    ASSERT_TRUE(shelltest::ProcessUntil([&] { return Shown(view) == QStringList{"Ben+", "Ann+"}; }));

    // Ben left: what "Halvara: update contacts" starts.
    m_service->Set(-1, {{21, "Ann", true, true}, {22, "Ben", false, false}});
    view.Refresh();
    ASSERT_TRUE(shelltest::ProcessUntil([&] { return Shown(view) == QStringList{"Ann+", "Ben-"}; }))
        << Shown(view).join(' ').toStdString();

    const QRect ben = view.visualRect(view.Model().index(1));
    // A view answers a double click only on the row the press was on.
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, ben.center());
    QTest::mouseDClick(view.viewport(), Qt::LeftButton, {}, ben.center());
    EXPECT_EQ(opened, std::vector<QString>{QStringLiteral("Ben@example.com")});

    view.setCurrentIndex(view.Model().index(1));
    QTest::keyClick(&view, Qt::Key_Delete);
    ASSERT_TRUE(shelltest::ProcessUntil([&] { return Shown(view) == QStringList{"Ann+"}; }))
        << Shown(view).join(' ').toStdString();
    EXPECT_EQ(m_service->Deleted(), std::vector<int>{22});
}

} // namespace
