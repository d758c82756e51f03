// The friends list through the real presence library against a scripted
// service on the bridge: what the list shows from the service's answers and
// which questions it asks (the known state first, then one live check of
// every friend at once; Delete as the one delete command).

#include "ShellGuiTestSupport.h"
#include "app/peer/PresenceDirectory.h"
#include "app/shell/friends/FriendsFill.h"
#include "app/shell/friends/FriendsListModel.h"
#include "app/shell/friends/FriendsListView.h"
#include "app/shell/friends/FriendsSource.h"
#include "library/halvara.h"
#include "support/TestSupport.h"
#include "tools/DrovickPeerUsers.h"

#include <QTest>
#include <gtest/gtest.h>

namespace {

using drovickpeertest::FriendReply;
using drovickpeertest::ProfileReply;

constexpr int kMe = 7;
constexpr int kAnn = 11;
constexpr int kBen = 12;
constexpr int kCid = 13;

std::vector<BridgeRecord> Answer(const BridgeRecord& request) {
    const int id = request.I32At(4);
    switch (request.Code()) {
    case kCmdIsRegistered:
        return {FakeService::Reply(request, 1)};
    case kCmdGetMyID:
        return {FakeService::Reply(request, kMe)};
    case kCmdGetFriend:
        // The own entry is part of the service's list.
        return {FriendReply(request, {kAnn, kMe, kBen, kCid})};
    case kCmdGetProfile:
        return {ProfileReply(request,
                             id == kAnn   ? "Ann"
                             : id == kBen ? "Ben"
                             : id == kCid ? "Cid"
                                          : "Me",
                             "x@example.com")};
    case kCmdIsOnline:
        // Cid is known offline; a friend asked live on its own is online.
        return {FakeService::Reply(request, id == kCid && request.I32At(12) == 0 ? 0 : 1)};
    case kCmdCheckFriendsOnline: {
        // Asked live, Ann turns out to be gone too.
        std::vector<BridgeRecord> replies{FakeService::Reply(request, 1, 3)};
        replies.emplace_back();
        const int answers[3][2] = {{kAnn, 0}, {kBen, 1}, {kCid, 0}};
        for (std::size_t i = 0; i < 3; ++i) {
            replies.back().SetI32At(i * 8, answers[i][0]);
            replies.back().SetI32At(i * 8 + 4, answers[i][1]);
        }
        return replies;
    }
    default:
        return {FakeService::Reply(request, 1)};
    }
}

class FriendsListPresenceGuiTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        shelltest::Application();
        s_runtime = new testsupport::TempDir;
        setenv("XDG_RUNTIME_DIR", s_runtime->Path().c_str(), 1);
        // Nothing is launched: the scripted service is the only one.
        setenv("HALVSERVE_PATH", "/bin/true", 1);
        s_service = new FakeService(Answer);
        ASSERT_EQ(Halvara_InitializeHeadless(kDrovickTos), 1);
    }
    static void TearDownTestSuite() {
        Halvara_Deallocate(kDrovickTos);
        delete s_service;
        delete s_runtime;
    }

    std::vector<BridgeRecord> Asked(int code) const {
        std::vector<BridgeRecord> asked;
        for (const BridgeRecord& request : s_service->Requests())
            if (request.Code() == code)
                asked.push_back(request);
        return asked;
    }

    static inline testsupport::TempDir* s_runtime = nullptr;
    static inline FakeService* s_service = nullptr;
};

TEST_F(FriendsListPresenceGuiTest, OnlineFriendsAboveOfflineOnesNeverTheUserAndLiveChecksRefine) {
    FriendsListView view(std::make_shared<HalvaraFriendsSource>(kDrovickTos, [] { return true; }),
                         nullptr);
    view.show();
    ASSERT_TRUE(shelltest::ProcessUntil([] { return !FriendsFill::Running(); }));
    QApplication::processEvents();
    QStringList shown;
    for (int row = 0; row < view.Model().rowCount(); ++row)
        shown << view.Model().index(row).data().toString() +
                     (view.Model().At(row).online ? "+" : "-");
    EXPECT_EQ(shown, (QStringList{"Ben+", "Ann-", "Cid-"}));

    // Per friend one question of the known state, then one live check of
    // them all, for Drovick's TOS number; the user is never asked about.
    std::vector<int> known;
    for (const BridgeRecord& request : Asked(kCmdIsOnline)) {
        EXPECT_EQ(request.I32At(8), kDrovickTos);
        EXPECT_EQ(request.I32At(12), 0) << "a friend was asked live on its own";
        known.push_back(request.I32At(4));
    }
    EXPECT_EQ(known, (std::vector<int>{kAnn, kBen, kCid}));
    ASSERT_EQ(Asked(kCmdCheckFriendsOnline).size(), 1u);
    EXPECT_EQ(Asked(kCmdCheckFriendsOnline).front().I32At(4), kDrovickTos);

    view.setCurrentIndex(view.Model().index(2));
    QTest::keyClick(&view, Qt::Key_Delete);
    ASSERT_TRUE(shelltest::ProcessUntil([&] { return Asked(kCmdDelete).size() == 1; }));
    EXPECT_EQ(Asked(kCmdDelete).front().I32At(4), kCid);
    ASSERT_TRUE(shelltest::ProcessUntil([] { return !FriendsFill::Running(); }));
}

} // namespace
