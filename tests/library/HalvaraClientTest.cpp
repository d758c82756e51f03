// The client object against a scripted service end of a real bridge channel.

#include "HalvaraClient.h"

#include "FakeService.h"
#include "RecordingMessages.h"
#include "platform/SingleInstanceGuard.h"
#include "support/TestSupport.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <thread>

using namespace std::chrono_literals;

namespace {

HalvaraWindow FakeWindow() {
    return reinterpret_cast<HalvaraWindow>(0x1234);
}

std::vector<BridgeRecord> One(BridgeRecord reply) {
    return {reply};
}

class HalvaraClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("XDG_RUNTIME_DIR", m_runtime.Path().c_str(), 1);
        // A launcher that starts and ends at once: the scripted service below
        // plays halvserve.
        setenv("HALVSERVE_PATH", "/bin/true", 1);
    }

    testsupport::TempDir m_runtime;
    RecordingMessages m_messages;
};

std::vector<int> Codes(const FakeService& service) {
    std::vector<int> codes;
    for (const BridgeRecord& request : service.Requests())
        codes.push_back(request.Code());
    return codes;
}

TEST_F(HalvaraClientTest, GetIPKeepsItsBufferRules) {
    FakeService service([](const BridgeRecord& request) {
        BridgeRecord reply = FakeService::Reply(request, request.I32At(4) == 7 ? 1 : 0);
        reply.SetTextAt(BridgeRecord::kAddressOffset, "10.0.0.7", BridgeRecord::kAddressWidth);
        return One(reply);
    });
    HalvaraClient client(m_messages);

    char buffer[40];
    EXPECT_EQ(client.GetIP(7, nullptr, 24), 0);
    EXPECT_EQ(client.GetIP(7, buffer, 23), 0);
    EXPECT_EQ(service.RequestCount(), 0u);

    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(client.GetIP(7, buffer, 24), 1);
    EXPECT_STREQ(buffer, "10.0.0.7");
    // Zeroed over the given size, untouched beyond it.
    for (int i = 8; i < 24; ++i)
        EXPECT_EQ(buffer[i], 0) << i;
    EXPECT_EQ(buffer[24], 'x');
    ASSERT_EQ(service.RequestCount(), 1u);
    EXPECT_EQ(service.Requests()[0].Code(), kCmdGetIP);
    EXPECT_EQ(service.Requests()[0].I32At(4), 7);

    // Not fetched: the result says so.
    EXPECT_EQ(client.GetIP(8, buffer, 24), 0);
}

TEST_F(HalvaraClientTest, GetIdentityNeeds120BytesAndANonEmptyText) {
    std::string longName(127, 'n');
    FakeService service([&](const BridgeRecord& request) {
        BridgeRecord reply = FakeService::Reply(request, 0);
        int index = request.I32At(4);
        reply.SetTextAt(4, index == 0 ? "Work" : index == 1 ? longName : "");
        reply.SetI32At(132, 1);
        return One(reply);
    });
    HalvaraClient client(m_messages);

    char buffer[200];
    EXPECT_EQ(client.GetIdentity(0, buffer, 119), 0);
    EXPECT_EQ(client.GetIdentity(0, nullptr, 120), 0);
    EXPECT_EQ(service.RequestCount(), 0u);

    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(client.GetIdentity(0, buffer, 120), 1);
    EXPECT_STREQ(buffer, "Work");
    EXPECT_EQ(buffer[119], 0);
    EXPECT_EQ(buffer[120], 'x');

    // Cut to size - 1 characters, terminated inside the buffer.
    EXPECT_EQ(client.GetIdentity(1, buffer, 120), 1);
    EXPECT_EQ(std::string(buffer), longName.substr(0, 119));

    EXPECT_EQ(client.GetIdentity(2, buffer, 120), 0);
}

TEST_F(HalvaraClientTest, GetAnonAcquaintancesSizesAndReadsEveryBlock) {
    std::vector<std::string> addresses;
    FakeService service([&](const BridgeRecord& request) {
        if (request.Code() == kCmdNumActiveTOS)
            return One(FakeService::Reply(request, 3));
        std::vector<BridgeRecord> replies{
            FakeService::Reply(request, 1, static_cast<int>(addresses.size()))};
        for (const std::string& address : addresses) {
            BridgeRecord block;
            block.SetTextAt(0, address);
            replies.push_back(block);
        }
        return replies;
    });
    HalvaraClient client(m_messages);

    char small[1] = {'x'};
    EXPECT_EQ(client.GetAnonAcquaintances(155, 1, nullptr, 10), 0);
    EXPECT_EQ(client.GetAnonAcquaintances(155, 1, small, 0), 0);
    EXPECT_EQ(service.RequestCount(), 0u);

    // Empty list: 2 to size, then 1 with an empty text.
    EXPECT_EQ(client.GetAnonAcquaintances(155, 1, small, 1), 2);
    char two[2] = {'x', 'x'};
    EXPECT_EQ(client.GetAnonAcquaintances(155, 0, two, 2), 1);
    EXPECT_EQ(two[0], 0);

    addresses = {"10.0.0.1", "10.0.0.22", "192.168.1.3"};
    std::string joined = "10.0.0.1 10.0.0.22 192.168.1.3";
    int wanted = client.GetAnonAcquaintances(155, 1, small, 1);
    EXPECT_EQ(wanted, static_cast<int>(joined.size()) + 2);
    std::vector<char> buffer(static_cast<std::size_t>(wanted), 'x');
    EXPECT_EQ(client.GetAnonAcquaintances(155, 0, buffer.data(), wanted),
              static_cast<int>(joined.size()) + 1);
    EXPECT_EQ(std::string(buffer.data()), joined);
    // One byte short of the asked size is still too small.
    EXPECT_EQ(client.GetAnonAcquaintances(155, 0, buffer.data(), wanted - 1), wanted);

    // The blocks were all read: the next exchange gets its own reply.
    EXPECT_EQ(client.NumActiveTOS(), 3);
    BridgeRecord first = service.Requests()[0];
    EXPECT_EQ(first.Code(), kCmdGetAnonAcquaintances);
    EXPECT_EQ(first.I32At(4), 155);
    EXPECT_EQ(first.I32At(8), 1);
}

TEST_F(HalvaraClientTest, GetAnonAcquaintancesFailsOnAFailedReplyYetStaysInStep) {
    FakeService service([&](const BridgeRecord& request) {
        if (request.Code() == kCmdNumActiveTOS)
            return One(FakeService::Reply(request, 5));
        std::vector<BridgeRecord> replies{FakeService::Reply(request, 0, 2)};
        replies.resize(3);
        return replies;
    });
    HalvaraClient client(m_messages);
    char buffer[64];
    EXPECT_EQ(client.GetAnonAcquaintances(155, 0, buffer, sizeof buffer), 0);
    EXPECT_EQ(client.NumActiveTOS(), 5);
}

TEST_F(HalvaraClientTest, FriendChecksReadEveryBlockAndRefuseACountBeyondTheRoom) {
    // Announces `announced` pairs of (id, 7 * id) in blocks of 128, whatever was asked.
    std::atomic<int> announced{130};
    FakeService service([&](const BridgeRecord& request) {
        if (request.Code() == kCmdNumActiveTOS)
            return One(FakeService::Reply(request, 3));
        std::vector<BridgeRecord> replies{FakeService::Reply(request, 1, announced.load())};
        for (int i = 0; i < announced.load(); ++i) {
            if (i % 128 == 0)
                replies.emplace_back();
            replies.back().SetI32At(static_cast<std::size_t>(i % 128) * 8, 1000 + i);
            replies.back().SetI32At(static_cast<std::size_t>(i % 128) * 8 + 4, i % 2 ? 7 : 0);
        }
        return replies;
    });
    HalvaraClient client(m_messages);

    std::vector<HalvaraFriendOnline> entries(200, HalvaraFriendOnline{-1, -1});
    int count = -1;
    ASSERT_EQ(client.CheckFriendsOnline(155, entries.data(), 200, count), 1);
    ASSERT_EQ(count, 130);
    for (int i = 0; i < 130; ++i) {
        EXPECT_EQ(entries[static_cast<std::size_t>(i)].id, 1000 + i);
        EXPECT_EQ(entries[static_cast<std::size_t>(i)].online, i % 2);
    }
    EXPECT_EQ(entries[130].id, -1);
    EXPECT_EQ(service.Requests()[0].Code(), kCmdCheckFriendsOnline);
    EXPECT_EQ(service.Requests()[0].I32At(4), 155);
    EXPECT_EQ(service.Requests()[0].I32At(8), 200);

    // More than the room asked for: refused, nothing written past it, and the
    // channel stays in step for the next exchange.
    std::vector<HalvaraFriendOnline> small(100, HalvaraFriendOnline{-1, -1});
    count = -1;
    EXPECT_EQ(client.CheckFriendsOnline(155, small.data(), 100, count), 0);
    EXPECT_EQ(count, -1);
    EXPECT_EQ(small[0].id, -1);
    announced = -3;
    EXPECT_EQ(client.CheckFriendsOnline(155, small.data(), 100, count), 0);
    EXPECT_EQ(client.NumActiveTOS(), 3);
}

PersonalInfo Profile(const char* name, const char* eMail, const char* password) {
    PersonalInfo info{};
    std::strncpy(info.name, name, sizeof info.name - 1);
    std::strncpy(info.eMail, eMail, sizeof info.eMail - 1);
    std::strncpy(info.password, password, sizeof info.password - 1);
    return info;
}

// Answers 2 with id 42 and 11 with the stored profile (or a failure).
FakeService::Handler OwnProfileService(std::atomic<bool>& fetchWorks) {
    return [&fetchWorks](const BridgeRecord& request) {
        switch (request.Code()) {
        case kCmdGetMyID:
            return One(FakeService::Reply(request, 42));
        case kCmdGetProfile: {
            BridgeRecord reply = FakeService::Reply(request, fetchWorks ? 1 : 0);
            PersonalInfo stored = Profile("Stored Name", "me@example.org", "stored-secret");
            reply.CopyIn(BridgeRecord::kProfileReplyOffset, &stored, sizeof stored);
            return One(reply);
        }
        default:
            return One(FakeService::Reply(request, 1));
        }
    };
}

TEST_F(HalvaraClientTest, GetMyProfileNeverHandsOutThePassword) {
    std::atomic<bool> fetchWorks{true};
    FakeService service(OwnProfileService(fetchWorks));
    HalvaraClient client(m_messages);

    PersonalInfo out;
    std::memset(&out, 'x', sizeof out);
    EXPECT_EQ(client.GetMyProfile(&out), 1);
    EXPECT_STREQ(out.name, "Stored Name");
    EXPECT_STREQ(out.eMail, "me@example.org");
    for (char c : out.password)
        EXPECT_EQ(c, 0);
    auto requests = service.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].Code(), kCmdGetMyID);
    EXPECT_EQ(requests[1].Code(), kCmdGetProfile);
    EXPECT_EQ(requests[1].I32At(4), 42);

    // A failed fetch still overwrites the destination.
    fetchWorks = false;
    std::memset(&out, 'x', sizeof out);
    EXPECT_EQ(client.GetMyProfile(&out), 0);
    EXPECT_EQ(out.name[0], 0);
    EXPECT_EQ(out.password[0], 0);
}

TEST_F(HalvaraClientTest, SetMyProfileKeepsTheStoredPassword) {
    std::atomic<bool> fetchWorks{true};
    FakeService service(OwnProfileService(fetchWorks));
    HalvaraClient client(m_messages);

    EXPECT_EQ(client.SetMyProfile(Profile("New Name", "new@example.org", "attacker")), 1);
    auto requests = service.Requests();
    ASSERT_EQ(requests.size(), 3u);
    ASSERT_EQ(requests[2].Code(), kCmdSetMyProfile);
    PersonalInfo sent{};
    requests[2].CopyOut(BridgeRecord::kProfileRequestOffset, &sent, sizeof sent);
    EXPECT_STREQ(sent.name, "New Name");
    EXPECT_STREQ(sent.eMail, "new@example.org");
    EXPECT_STREQ(sent.password, "stored-secret");

    // Without the stored record nothing is sent.
    fetchWorks = false;
    EXPECT_EQ(client.SetMyProfile(Profile("Other", "o@example.org", "attacker")), 0);
    EXPECT_EQ(Codes(service).back(), kCmdGetProfile);
}

TEST_F(HalvaraClientTest, EMailArgumentsAreTrimmedAndNullIsRefused) {
    FakeService service([](const BridgeRecord& request) {
        return One(FakeService::Reply(request, request.TextAt(4) == "a@b.org" ? 17 : -1));
    });
    HalvaraClient client(m_messages);

    EXPECT_EQ(client.LookupID(nullptr), -1);
    EXPECT_EQ(client.IsIdentityTaken(nullptr), 0);
    EXPECT_EQ(service.RequestCount(), 0u);

    EXPECT_EQ(client.LookupID("  a@b.org \t"), 17);
    EXPECT_EQ(client.IsIdentityTaken(" a@b.org"), 1);
    EXPECT_EQ(client.LookupID("x@b.org"), -1);
    EXPECT_EQ(Codes(service), (std::vector<int>{kCmdLookupID, kCmdIsIdentityTaken, kCmdLookupID}));
    // Cut to the 127 characters of the field.
    EXPECT_EQ(client.LookupID(std::string(300, 'a').c_str()), -1);
    EXPECT_EQ(service.Requests().back().TextAt(4).size(), 127u);
}

TEST_F(HalvaraClientTest, DeleteIdentityRefusesTheActiveOne) {
    FakeService service([](const BridgeRecord& request) {
        if (request.Code() == kCmdGetActiveIdentity)
            return One(FakeService::Reply(request, 2, 1));
        return One(FakeService::Reply(request, 1));
    });
    HalvaraClient client(m_messages);

    EXPECT_EQ(client.DeleteIdentity(2), 0);
    EXPECT_EQ(Codes(service), (std::vector<int>{kCmdGetActiveIdentity}));
    EXPECT_EQ(client.DeleteIdentity(1), 1);
    auto requests = service.Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[2].Code(), kCmdDeleteIdentity);
    EXPECT_EQ(requests[2].I32At(4), 1);
}

TEST_F(HalvaraClientTest, IdentityIndexesReportMinusOneWithoutTheFlag) {
    FakeService service([](const BridgeRecord& request) {
        return One(FakeService::Reply(request, 3, request.Code() == kCmdGetHighestIdentity));
    });
    HalvaraClient client(m_messages);
    EXPECT_EQ(client.GetHighestIdentity(), 3);
    EXPECT_EQ(client.GetActiveIdentity(), -1);
}

TEST_F(HalvaraClientTest, InitializeWithoutRegistrationFailsWithItsMessage) {
    std::atomic<bool> iconGuardHeld{false};
    FakeService service([&](const BridgeRecord& request) {
        if (request.Code() == kCmdIsRegistered)
            iconGuardHeld = platform::SingleInstanceGuard::IsHeld("Halvara working icon Class");
        return One(FakeService::Reply(request, 0));
    });
    HalvaraClient client(m_messages);

    EXPECT_EQ(client.Initialize(FakeWindow(), 155), 0);
    EXPECT_TRUE(client.Initialized());
    EXPECT_EQ(Codes(service), (std::vector<int>{kCmdSystemMessage, kCmdIsRegistered}));
    EXPECT_EQ(service.Requests()[0].I32At(4), 155);
    EXPECT_TRUE(iconGuardHeld);
    EXPECT_FALSE(platform::SingleInstanceGuard::IsHeld("Halvara working icon Class"));

    auto shown = m_messages.All();
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_EQ(shown[0].kind, "icon");
    EXPECT_EQ(shown[0].first, "Loading Halvara...");
    EXPECT_EQ(shown[1].kind, "icon removed");
    EXPECT_EQ(shown[2].kind, "error");
    EXPECT_EQ(shown[2].owner, FakeWindow());
    EXPECT_EQ(shown[2].second, "Halvara");
    EXPECT_EQ(shown[2].first.rfind("Cannot register Halvara; make sure\nyou fill out your "
                                   "registration and are connected to the Internet.\nFor more "
                                   "information, or to report a problem, visit ",
                                   0),
              0u);
}

TEST_F(HalvaraClientTest, InitializeWithoutParentFailsWithoutAskingOrShowing) {
    FakeService service(
        [](const BridgeRecord& request) { return One(FakeService::Reply(request, 1)); });
    HalvaraClient client(m_messages);
    EXPECT_EQ(client.Initialize(nullptr, 155), 0);
    EXPECT_EQ(Codes(service), (std::vector<int>{kCmdSystemMessage}));
    for (const auto& shown : m_messages.All())
        EXPECT_NE(shown.kind, "error");
}

TEST_F(HalvaraClientTest, InitializeRegisteredSwitchesTheTosOnAndShowsTheSystemMessage) {
    FakeService service([](const BridgeRecord& request) {
        BridgeRecord reply = FakeService::Reply(request, 1);
        if (request.Code() == kCmdSystemMessage) {
            // [8] L1, title, [12 + L1] L2, text.
            reply.SetI32At(8, 6);
            reply.CopyIn(12, "Title", 6);
            reply.SetI32At(18, 12);
            reply.CopyIn(22, "Hello there", 12);
        }
        return One(reply);
    });
    HalvaraClient client(m_messages);
    EXPECT_EQ(client.Initialize(FakeWindow(), 155), 1);
    EXPECT_EQ(Codes(service),
              (std::vector<int>{kCmdSystemMessage, kCmdIsRegistered, kCmdUpdateTOS}));
    EXPECT_EQ(service.Requests()[2].I32At(4), 155);
    EXPECT_EQ(service.Requests()[2].I32At(8), 1);
    bool systemShown = false;
    for (const auto& shown : m_messages.All()) {
        EXPECT_NE(shown.kind, "error");
        if (shown.kind == "system") {
            systemShown = true;
            EXPECT_EQ(shown.owner, FakeWindow());
            EXPECT_EQ(shown.first, "Title");
            EXPECT_EQ(shown.second, "Hello there");
        }
    }
    EXPECT_TRUE(systemShown);
    EXPECT_EQ(client.SetParentWindow(nullptr), FakeWindow());
}

TEST_F(HalvaraClientTest, AMalformedSystemMessageIsNotShown) {
    FakeService service([](const BridgeRecord& request) {
        BridgeRecord reply = FakeService::Reply(request, 1);
        reply.SetI32At(8, 5000);
        return One(reply);
    });
    HalvaraClient client(m_messages);
    client.SetParentWindow(FakeWindow());
    EXPECT_TRUE(m_messages.All().empty());
}

TEST_F(HalvaraClientTest, DeallocateFlushesThenSwitchesTheTosOff) {
    FakeService service(
        [](const BridgeRecord& request) { return One(FakeService::Reply(request, 0)); });
    HalvaraClient client(m_messages);
    EXPECT_EQ(client.Deallocate(155), 1);
    auto requests = service.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].Code(), kCmdFlushData);
    EXPECT_EQ(requests[1].Code(), kCmdUpdateTOS);
    EXPECT_EQ(requests[1].I32At(4), 155);
    EXPECT_EQ(requests[1].I32At(8), 0);
}

TEST_F(HalvaraClientTest, AMissingServiceProgramIsReportedAndCallsFailInBoundedTime) {
    setenv("HALVSERVE_PATH", (m_runtime.Path() / "no-such-halvserve").c_str(), 1);
    setenv("HALVARA_BRIDGE_START_LIMIT_MS", "1000", 1);
    HalvaraClient client(m_messages);
    auto shown = m_messages.All();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].kind, "error");
    EXPECT_EQ(shown[0].owner, nullptr);
    EXPECT_EQ(shown[0].first, "Could not find Halvara library!");
    EXPECT_EQ(shown[0].second, "Severe error");

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(client.UpdateTOS(155, 1), 0);
    EXPECT_EQ(client.NumActiveTOS(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
    unsetenv("HALVARA_BRIDGE_START_LIMIT_MS");
}

TEST_F(HalvaraClientTest, AFailedExchangeGivesTheCallLockBack) {
    HalvaraClient client(m_messages);
    {
        // Takes the request and, as far as clients can tell, dies without replying.
        FakeService* self = nullptr;
        FakeService mute([&self](const BridgeRecord&) {
            self->ReleaseGuard();
            return std::vector<BridgeRecord>{};
        });
        self = &mute;
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(client.UpdateTOS(155, 1), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
    }
    FakeService service(
        [](const BridgeRecord& request) { return One(FakeService::Reply(request, 4)); });
    EXPECT_EQ(client.NumActiveTOS(), 4);
}

TEST_F(HalvaraClientTest, ThreadsOfOneProcessTakeTurnsOnTheChannel) {
    FakeService service([](const BridgeRecord& request) {
        return One(FakeService::Reply(request, request.I32At(4) * 2));
    });
    HalvaraClient client(m_messages);
    std::atomic<int> wrong{0};
    auto caller = [&](int first) {
        for (int i = first; i < first + 150; ++i) {
            if (client.GetFriend(i) != i * 2)
                ++wrong;
        }
    };
    std::thread a(caller, 0);
    std::thread b(caller, 100000);
    a.join();
    b.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(service.RequestCount(), 300u);
}

} // namespace
