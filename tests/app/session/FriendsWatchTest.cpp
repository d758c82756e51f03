// The friends snapshot follows the presence service's announcements of changed
// contacts, and tells its front end only when the list really changed.

#include "app/session/FriendsWatch.h"

#include "ScriptedSessionService.h"
#include "app/session/PresenceSession.h"
#include "platform/MessageBus.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>

namespace {

using testsupport::WaitFor;

constexpr int kMyId = 7;

// The friends list the scripted service reports: the user itself first, then
// friend 42, and friend 43 once added.
std::atomic<bool> g_secondFriend{false};

std::vector<BridgeRecord> Answer(const BridgeRecord& request) {
    const int first = request.I32At(4);
    std::vector<int> friends{kMyId, 42};
    if (g_secondFriend.load())
        friends.push_back(43);
    switch (request.Code()) {
    case kCmdGetMyID:
        return {FakeService::Reply(request, kMyId)};
    case kCmdGetFriend:
        return {FakeService::Reply(request, first >= 0 && first < static_cast<int>(friends.size())
                                                ? friends[static_cast<std::size_t>(first)]
                                                : -1)};
    case kCmdGetProfile: {
        BridgeRecord reply = FakeService::Reply(request, 1);
        reply.SetTextAt(BridgeRecord::kProfileReplyOffset + PersonalInfoLayout::kEMailOffset,
                        "f" + std::to_string(first) + "@example.com",
                        PersonalInfoLayout::kEMailWidth);
        return {reply};
    }
    case kCmdGetIP: {
        BridgeRecord reply = FakeService::Reply(request, 1);
        reply.SetTextAt(BridgeRecord::kAddressOffset, first == 42 ? "10.1.2.3" : "0.0.0.0",
                        BridgeRecord::kAddressWidth);
        return {reply};
    }
    case kCmdIsOnline:
        return {FakeService::Reply(request, first == 42 ? 1 : 0)};
    default:
        return {FakeService::Reply(request, 1)};
    }
}

TEST(FriendsWatch, ReadsAfterTheStartAndAgainOnEveryAnnouncedChange) {
    using namespace std::chrono_literals;
    ScriptedSessionService scripted(Answer);
    FakeService& service = scripted.Service();
    PresenceSession session;
    std::atomic<int> changes{0};
    FriendsWatch watch(session, kDrovickTos, [&changes] { ++changes; });
    ASSERT_TRUE(watch.Start());

    // Nothing is read before the session has started.
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(changes.load(), 0);
    ASSERT_TRUE(session.Start());
    ASSERT_TRUE(WaitFor([&] { return changes.load() == 1; }, 10s));
    std::vector<FriendEntry> friends = watch.Snapshot();
    ASSERT_EQ(friends.size(), 1u);
    EXPECT_EQ(friends[0].id, 42);
    EXPECT_EQ(friends[0].eMail, "f42@example.com");
    EXPECT_EQ(friends[0].address, "10.1.2.3");
    EXPECT_TRUE(friends[0].online);

    // An announcement without a change reads again but tells nobody.
    const auto requestsBefore = service.RequestCount();
    const std::uint32_t update = platform::MessageBus::RegisterMessage("Halvara: update contacts");
    EXPECT_EQ(platform::MessageBus::PostToAll(update), 1);
    ASSERT_TRUE(WaitFor([&] { return service.RequestCount() > requestsBefore + 3; }, 10s));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(changes.load(), 1);

    // Another registered message is not an announcement.
    g_secondFriend.store(true);
    platform::MessageBus::PostToAll(
        platform::MessageBus::RegisterMessage("Halvara: update identity"));
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(watch.Snapshot().size(), 1u);

    platform::MessageBus::PostToAll(update);
    ASSERT_TRUE(WaitFor([&] { return changes.load() == 2; }, 10s));
    friends = watch.Snapshot();
    ASSERT_EQ(friends.size(), 2u);
    EXPECT_EQ(friends[1].id, 43);
    EXPECT_EQ(friends[1].address, "0.0.0.0");
    EXPECT_FALSE(friends[1].online);
    watch.Stop();
}

} // namespace
