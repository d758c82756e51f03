// The friends list of a real user: this process is Ada, whose library talks to
// her own presence service (halvserve) beside the real directory (halvdir);
// Bo, Cy and Di are users of the same machine on their own loopback addresses.
// What it shows comes from the services alone, and a friend leaving reaches
// the window through the service's "Halvara: update contacts" message.

#include "ShellGuiTestSupport.h"
#include "app/peer/PresenceDirectory.h"
#include "app/shell/frame/SessionMessages.h"
#include "app/shell/friends/FriendsFill.h"
#include "app/shell/friends/FriendsListModel.h"
#include "app/shell/friends/FriendsListView.h"
#include "app/shell/friends/FriendsSource.h"
#include "library/halvara.h"
#include "support/TestSupport.h"
#include "tools/PresenceNetwork.h"

#include <QTest>
#include <cstdlib>
#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using presencenetwork::PresenceNetwork;
using presencenetwork::PresenceUser;

QStringList Shown(const FriendsListView& view) {
    QStringList rows;
    const FriendsListModel& model = view.Model();
    for (int row = 0; row < model.rowCount(); ++row)
        rows << model.index(row).data().toString() + (model.At(row).online ? "+" : "-");
    return rows;
}

TEST(FriendsListRealUsersGuiTest, OnlineFriendsNewestFirstThenOfflineOnesAndALeaverFollowsTheMessage) {
    shelltest::Application();
    PresenceNetwork network(4);
    PresenceUser& ada = network.User(0);
    PresenceUser& bo = network.User(1);
    PresenceUser& cy = network.User(2);
    PresenceUser& di = network.User(3);
    for (PresenceUser* user : {&ada, &bo, &cy, &di})
        ASSERT_FALSE(user->Register().empty()) << user->EMail();
    // Bo and Cy run Drovick; Di never comes online.
    ASSERT_TRUE(bo.Hold(kDrovickTos)) << bo.HoldOutput(kDrovickTos);
    ASSERT_TRUE(cy.Hold(kDrovickTos)) << cy.HoldOutput(kDrovickTos);

    // This process becomes Ada: her folders, her directory, her service.
    for (const auto& [name, value] : ada.Environment())
        setenv(name.c_str(), value.c_str(), 1);
    ASSERT_EQ(Halvara_InitializeHeadless(kDrovickTos), 1);
    SessionMessages messages;
    ASSERT_TRUE(messages.Listening());
    // Bo first, then Cy, then Di: Cy is the newest online friend.
    for (PresenceUser* user : {&bo, &cy, &di}) {
        const auto added = ada.Halvara({"add", user->EMail()});
        ASSERT_EQ(added.code, 0) << user->EMail() << ": " << added.err;
    }

    FriendsListView view(std::make_shared<HalvaraFriendsSource>(kDrovickTos, [] { return true; }),
                         nullptr);
    // As the program wires it: the service's message refreshes the list.
    QObject::connect(&messages, &SessionMessages::UpdateContacts, &view,
                     [&view] { view.Refresh(); });
    view.resize(260, 180);
    view.show();
    const QStringList together{"Cy Dahl+", "Bo Berg+", "Di Eng-"};
    ASSERT_TRUE(shelltest::ProcessUntil([&] { return Shown(view) == together; }, 60s))
        << Shown(view).join(' ').toStdString();
    // The own entry, first on the service's list, is never shown.
    for (int row = 0; row < view.Model().rowCount(); ++row)
        EXPECT_NE(view.Model().At(row).eMail, ada.EMail());

    // Bo's service ends with its last registration and tells Ada's, which
    // announces the change; the list follows without being asked.
    ASSERT_TRUE(shelltest::ProcessUntil([] { return !FriendsFill::Running(); }, 60s));
    EXPECT_EQ(bo.Release(kDrovickTos), 0);
    const QStringList boGone{"Cy Dahl+", "Bo Berg-", "Di Eng-"};
    EXPECT_TRUE(shelltest::ProcessUntil([&] { return Shown(view) == boGone; }, 60s))
        << Shown(view).join(' ').toStdString();

    ASSERT_TRUE(shelltest::ProcessUntil([] { return !FriendsFill::Running(); }, 60s));
    Halvara_Deallocate(kDrovickTos);
    network.StopAll();
}

} // namespace
