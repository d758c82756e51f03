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
// What the live check of every friend answers for friend 42 (stored: online).
std::atomic<bool> g_liveAnswers{false};
std::atomic<int> g_liveOnline42{1};

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
        return {FakeService::Reply(request, first == 42 && request.I32At(12) == 0 ? 1 : 0)};
    case kCmdCheckFriendsOnline: {
        if (!g_liveAnswers.load())
            return {FakeService::Reply(request, 1)};
        std::vector<BridgeRecord> replies{FakeService::Reply(request, 1, 2)};
        replies.emplace_back();
        replies.back().SetI32At(0, 42);
        replies.back().SetI32At(4, g_liveOnline42.load());
        replies.back().SetI32At(8, 43);
        replies.back().SetI32At(12, 1);
        return replies;
    }
    default:
        return {FakeService::Reply(request, 1)};
    }
}

std::size_t CountOf(FakeService& service, int code) {
    std::size_t count = 0;
    for (const BridgeRecord& request : service.Requests())
        count += request.Code() == code ? 1 : 0;
    return count;
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

    // Every read ends with one live check of all friends, whose answers
    // replace the stored presences (42 stored online, 43 offline).
    const std::size_t checksBefore = CountOf(service, kCmdCheckFriendsOnline);
    EXPECT_GE(checksBefore, 3u);
    g_liveOnline42.store(0);
    g_liveAnswers.store(true);
    const int changesBefore = changes.load();
    platform::MessageBus::PostToAll(update);
    // Stored as before: no change; then live: one.
    ASSERT_TRUE(WaitFor([&] { return changes.load() == changesBefore + 1; }, 10s));
    friends = watch.Snapshot();
    EXPECT_FALSE(friends[0].online);
    EXPECT_TRUE(friends[1].online);
    EXPECT_EQ(CountOf(service, kCmdCheckFriendsOnline), checksBefore + 1);
    for (const BridgeRecord& request : service.Requests()) {
        if (request.Code() == kCmdIsOnline) {
            EXPECT_EQ(request.I32At(12), 0) << "a friend was asked live on its own";
        }
    }
    watch.Stop();
}

} // namespace
