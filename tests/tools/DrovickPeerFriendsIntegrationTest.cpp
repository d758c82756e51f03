// drovick-peer finding a friend by e-mail address through the presence library.

#include "DrovickPeerUsers.h"
#include "FakeService.h"

#include <csignal>

namespace {

using namespace drovickpeertest;

TEST_F(TwoUsers, AFriendsEMailAddressNeedsThePresenceService) {
    // No halvserve can be started here, so no friend can be looked up; the
    // program says so and fails without creating the destination. (The
    // library gives the missing service about ten seconds.)
    const fs::path destination = m_downloads.Path() / "from-friend.txt";
    Result get = m_second.Run(
        {"get", "Friend@Example.com", m_share.string() + "/small.txt", destination.string()});
    EXPECT_EQ(get.code, 1);
    EXPECT_TRUE(Contains(get.output, "presence service is not available")) << get.output;
    EXPECT_TRUE(Contains(get.output, "friend@example.com")) << get.output;
    EXPECT_FALSE(fs::exists(destination));
}

// The presence service played by a scripted bridge in the second user's
// session: its friends list holds the user itself, a friend online at the
// first user's address, and a friend who is away.
class ScriptedPresence {
public:
    ScriptedPresence(const User& user, std::string friendAddress, bool registered)
        : m_friendAddress(std::move(friendAddress))
        , m_registered(registered) {
        setenv("XDG_RUNTIME_DIR", user.Runtime().c_str(), 1);
        m_service = std::make_unique<FakeService>(
            [this](const BridgeRecord& request) { return Answer(request); });
    }

    std::vector<BridgeRecord> Requests() const { return m_service->Requests(); }

    static constexpr int kMyId = 7;
    static constexpr int kFriendId = 42;
    static constexpr int kAwayId = 43;

private:
    std::vector<BridgeRecord> Answer(const BridgeRecord& request) const {
        const int first = request.I32At(4);
        switch (request.Code()) {
        case kCmdIsRegistered:
            return {FakeService::Reply(request, m_registered ? 1 : 0)};
        case kCmdGetFriend:
            return {FriendReply(request, {kMyId, kFriendId, kAwayId})};
        case kCmdGetProfile:
            return {ProfileReply(request, "",
                                 first == kMyId       ? "me@example.com"
                                 : first == kFriendId ? "friend@example.com"
                                                      : "away@example.com")};
        case kCmdIsOnline:
            return {FakeService::Reply(request, first == kAwayId ? 0 : 1)};
        case kCmdGetIP:
            return {AddressReply(request, first == kFriendId ? m_friendAddress : "0.0.0.0")};
        default:
            return {FakeService::Reply(request, 1)};
        }
    }

    const std::string m_friendAddress;
    const bool m_registered;
    std::unique_ptr<FakeService> m_service;
};

// Nothing is launched: the scripted service is the only one.
const std::map<std::string, std::string> kNoLaunch{{"HALVSERVE_PATH", "/bin/true"}};

TEST_F(TwoUsers, AFriendFoundThroughThePresenceService) {
    ScriptedPresence presence(m_second, m_first.Address(), true);
    const fs::path destination = m_downloads.Path() / "from-friend.txt";
    Result get = m_second.Run({"get", "Friend@Example.com", m_share.string() + "/small.txt",
                               destination.string(), "--transfer-port",
                               std::to_string(m_first.TransferPort())},
                              kNoLaunch);
    ASSERT_EQ(get.code, 0) << get.output;
    EXPECT_EQ(ReadFile(destination), m_small);
    Result ls = m_second.Run({"ls", "friend@example.com", m_share.string(), "--nfs-port",
                              std::to_string(m_first.NfsPort())},
                             kNoLaunch);
    EXPECT_EQ(ls.code, 0) << ls.output;
    EXPECT_TRUE(Contains(ls.output, "small.txt\t1500\tfile")) << ls.output;

    Result away = m_second.Run({"ls", "away@example.com", m_share.string()}, kNoLaunch);
    EXPECT_EQ(away.code, 1);
    EXPECT_TRUE(Contains(away.output, "away@example.com is not online")) << away.output;
    Result stranger = m_second.Run({"ls", "stranger@example.com", m_share.string()}, kNoLaunch);
    EXPECT_EQ(stranger.code, 1);
    EXPECT_TRUE(Contains(stranger.output, "not among this user's friends")) << stranger.output;

    // The user's running serve registers too, once the service is there.
    ASSERT_TRUE(testsupport::WaitFor(
        [&] { return Contains(m_secondServe->Output(), "presence service answered"); }, 15s))
        << m_secondServe->Output();
    // Each run registered as Drovick, asked the friend live and gave its
    // registration back at the end.
    int registrations = 0;
    int releases = 0;
    int liveChecks = 0;
    for (const BridgeRecord& request : presence.Requests()) {
        if (request.Code() == kCmdUpdateTOS && request.I32At(4) == 155)
            ++(request.I32At(8) == 1 ? registrations : releases);
        if (request.Code() == kCmdIsOnline) {
            EXPECT_EQ(request.I32At(8), 155);
            EXPECT_NE(request.I32At(12), 0);
            ++liveChecks;
        }
    }
    // The serve is killed at the end, so it never gives its registration back.
    EXPECT_EQ(registrations, 5);
    EXPECT_EQ(releases, 4);
    EXPECT_EQ(liveChecks, 3);
}

TEST_F(TwoUsers, AnUnregisteredIdentityFindsNoFriends) {
    ScriptedPresence presence(m_second, m_first.Address(), false);
    const auto start = std::chrono::steady_clock::now();
    Result ls = m_second.Run({"ls", "friend@example.com", m_share.string(), "--nfs-port",
                              std::to_string(m_first.NfsPort())},
                             kNoLaunch);
    EXPECT_EQ(ls.code, 1);
    EXPECT_TRUE(Contains(ls.output, "presence service is not available")) << ls.output;
    // Refused at once: no wizard waits for anybody, and nothing else is asked.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    for (const BridgeRecord& request : presence.Requests())
        EXPECT_NE(request.Code(), kCmdGetFriend);
}

} // namespace
