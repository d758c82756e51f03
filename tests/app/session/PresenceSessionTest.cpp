// The presence session in front of a scripted presence service: one start on
// its own thread, every front end's question answered through it, and the
// registration given back exactly once. The library starts once per process,
// so this program holds one test.

#include "app/session/PresenceSession.h"

#include "ScriptedSessionService.h"

#include <future>
#include <gtest/gtest.h>

namespace {

constexpr int kMyId = 7;
constexpr int kFriendId = 42;
constexpr int kAwayId = 43;

BridgeRecord ProfileReply(const BridgeRecord& request, const std::string& name,
                          const std::string& eMail) {
    BridgeRecord reply = FakeService::Reply(request, 1);
    reply.SetTextAt(BridgeRecord::kProfileReplyOffset + PersonalInfoLayout::kNameOffset, name,
                    PersonalInfoLayout::kNameWidth);
    reply.SetTextAt(BridgeRecord::kProfileReplyOffset + PersonalInfoLayout::kEMailOffset, eMail,
                    PersonalInfoLayout::kEMailWidth);
    return reply;
}

std::vector<BridgeRecord> Answer(const BridgeRecord& request) {
    const int first = request.I32At(4);
    const std::vector<int> friends{kMyId, kFriendId, kAwayId};
    switch (request.Code()) {
    case kCmdGetMyID:
        return {FakeService::Reply(request, kMyId)};
    case kCmdGetFriend:
        return {FakeService::Reply(
            request, first >= 0 && first < 3 ? friends[static_cast<std::size_t>(first)] : -1)};
    case kCmdGetProfile:
        return {first == kMyId       ? ProfileReply(request, "Me", "me@example.com")
                : first == kFriendId ? ProfileReply(request, "Friend", "friend@example.com")
                                     : ProfileReply(request, "Away", "away@example.com")};
    case kCmdIsOnline:
        return {FakeService::Reply(request, first == kAwayId ? 0 : 1)};
    case kCmdGetIP: {
        BridgeRecord reply = FakeService::Reply(request, 1);
        reply.SetTextAt(BridgeRecord::kAddressOffset,
                        first == kFriendId ? "10.1.2.3"
                        : first == kMyId   ? "10.9.9.9"
                                           : "0.0.0.0",
                        BridgeRecord::kAddressWidth);
        return {reply};
    }
    default:
        return {FakeService::Reply(request, 1)};
    }
}

int UpdateTosRequests(const FakeService& service, int on) {
    int count = 0;
    for (const BridgeRecord& request : service.Requests())
        if (request.Code() == kCmdUpdateTOS && request.I32At(4) == kDrovickTos &&
            request.I32At(8) == on)
            ++count;
    return count;
}

TEST(PresenceSession, StartsOnceAnswersEveryFrontEndAndGivesBackOnce) {
    ScriptedSessionService scripted(Answer);
    FakeService& service = scripted.Service();
    {
        PresenceSession session;
        EXPECT_FALSE(session.IsInitialized());
        EXPECT_EQ(session.MyName(), "");

        std::promise<bool> answered;
        session.StartInBackground([&answered](bool registered) { answered.set_value(registered); });
        auto result = answered.get_future();
        ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        EXPECT_TRUE(result.get());
        EXPECT_TRUE(session.HasAnswered());
        EXPECT_TRUE(session.IsInitialized());
        // A later start returns the first answer without asking again.
        EXPECT_TRUE(session.Start());

        // The search's view: the own entry is left out of the friends.
        EXPECT_EQ(session.MyAddress(), "10.9.9.9");
        EXPECT_EQ(session.MyName(), "me@example.com");
        EXPECT_EQ(session.FriendAddresses(), (std::vector<std::string>{"10.1.2.3", "0.0.0.0"}));

        // The transfer agent's and the messenger's.
        EXPECT_EQ(session.AddressOf("friend@example.com"), "10.1.2.3");
        EXPECT_EQ(session.Failure(), "");
        EXPECT_EQ(session.AddressOf("away@example.com"), "");
        EXPECT_EQ(session.Failure(), "away@example.com is not online with Drovick");
        EXPECT_EQ(session.AddressOf("stranger@example.com"), "");
        EXPECT_EQ(session.Failure(), "stranger@example.com is not among this user's friends");
        std::string name;
        EXPECT_TRUE(session.OwnName(name));
        EXPECT_EQ(name, "Me");

        EXPECT_EQ(UpdateTosRequests(service, 1), 1);
        EXPECT_EQ(UpdateTosRequests(service, 0), 0);
        session.Close();
    }
    // Closed by hand and then destroyed: given back once.
    EXPECT_EQ(UpdateTosRequests(service, 0), 1);
}

} // namespace
