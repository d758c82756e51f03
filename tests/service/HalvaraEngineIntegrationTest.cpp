// The presence engine in this process against the real directory on a loopback
// port, with its registry in a temporary configuration folder.
#include "PeerCallFrom.h"
#include "bridge/CStdExcept.h"
#include "service/Halvara.h"
#include "service/InternetDatabase.h"
#include "service/PresenceCalls.h"
#include "service/PresenceMessage.h"
#include "support/HalvdirServer.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr const char* kOwnAddress = "127.0.0.1";

class HalvaraEngineIntegrationTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_directory.Started()) << m_directory.Output();
        const std::filesystem::path runtime = m_dir.Path() / "run";
        std::filesystem::create_directories(runtime);
        ::chmod(runtime.c_str(), 0700);
        Set("XDG_RUNTIME_DIR", runtime.string());
        Set("XDG_CONFIG_HOME", (m_dir.Path() / "config").string());
        Set("HALVARA_DIRECTORY", Host());
        Set("HALVARA_ADDRESS", kOwnAddress);
        m_session.SetTimeLimits(3000ms, 5000ms);
    }

    void Set(const std::string& name, const std::string& value) { m_environment.Set(name, value); }

    std::string Host() const { return m_directory.Host(); }

    // Another user, known to the directory but not running any service.
    std::int32_t RegisterOtherUser(const std::string& name, const std::string& eMail) {
        InternetDatabase directory(m_session, Host());
        const std::int32_t id = directory.RegisterNewID();
        directory.UpdateProfile(id, name, eMail, "their password");
        return id;
    }

    InternetDatabase Directory() { return InternetDatabase(m_session, Host()); }

    // Publishes a system message: the particular one of that TOS, or the
    // general one without.
    void Publish(std::optional<int> tos, const std::string& title) {
        const auto published = m_directory.SystemMessage(title, "Read this", tos);
        ASSERT_EQ(published.code, 0) << published.output;
    }

    testsupport::TempDir m_dir;
    testsupport::HalvdirServer m_directory{{"--threads", "2"}};
    testsupport::ScopedEnvironment m_environment;
    InternetSession m_session{[] { return std::string(kOwnAddress); }};
};

template <typename Operation>
int RefusalOf(Operation&& operation) {
    try {
        operation();
    } catch (const CStdExcept& refusal) {
        return refusal.Number();
    }
    return 0;
}

TEST_F(HalvaraEngineIntegrationTest,
       RegistersItsProfileAndKeepsFriendsAcrossIdentitiesAndRestarts) {
    std::int32_t annId = 0;
    const std::int32_t bob = RegisterOtherUser("Bob", "bob@example.org");
    {
        Halvara engine;
        // A first start gets a new ID from the directory and no identity is current.
        annId = engine.GetMyID();
        EXPECT_GT(annId, 0);
        EXPECT_NE(annId, bob);
        EXPECT_FALSE(engine.IsRegistered());
        EXPECT_EQ(engine.GetActiveIdentity(), -1);

        engine.SetMyProfile({"Ann", "Ann@Example.org", "pw"});
        EXPECT_TRUE(engine.IsRegistered());
        EXPECT_EQ(engine.LookupID("ANN@example.org"), annId);
        EXPECT_EQ(engine.LookupProfile(annId).name, "Ann");
        EXPECT_TRUE(engine.CheckPassword(annId, "pw"));
        EXPECT_FALSE(engine.CheckPassword(annId, "nope"));
        // The own entry carries the profile.
        EXPECT_EQ(engine.GetProfile(annId).eMail, "ann@example.org");

        // Bob runs no service, so the acquaintance notice is left at the directory.
        engine.Add(bob, true);
        EXPECT_EQ(engine.GetFriend(0), annId);
        EXPECT_EQ(engine.GetFriend(1), bob);
        EXPECT_EQ(engine.GetProfile(bob).name, "Bob");
        EXPECT_NE(RefusalOf([&] { engine.GetAcquaintance(0); }), 0);
        // The notice goes out from the engine's queue, after command 7 answered.
        EXPECT_TRUE(testsupport::WaitFor(
            [&] {
                const auto waiting = Directory().LookupAcquaintances(bob, "their password");
                return std::find(waiting.begin(), waiting.end(), annId) != waiting.end();
            },
            10s));
        EXPECT_NE(RefusalOf([&] { engine.Add(bob, true); }), 0) << "listed twice";
        EXPECT_NE(RefusalOf([&] { engine.Add(0, false); }), 0);
        EXPECT_NE(RefusalOf([&] { engine.GetProfile(bob + 100); }), 0);

        engine.MoveToAcquaintances(bob);
        EXPECT_EQ(engine.GetAcquaintance(0), bob);
        EXPECT_NE(RefusalOf([&] { engine.GetFriend(1); }), 0);
        // Nobody answers at Bob's address: the stored and the live check agree.
        EXPECT_FALSE(engine.IsOnline(bob, -1, 0));
        EXPECT_FALSE(engine.IsOnline(bob, -1, 1));

        // The state so far becomes identity 0's; identity 1 is somebody else.
        EXPECT_EQ(engine.AddIdentity("Ann", "Secret"), 0);
        EXPECT_EQ(engine.AddIdentity("Cy", "Other"), 1);
        EXPECT_EQ(engine.GetHighestIdentity(), 1);
        engine.FlushData();
        engine.SetIdentity(0, "secret");
        EXPECT_EQ(engine.GetActiveIdentity(), 0);
        EXPECT_EQ(engine.GetMyID(), annId);
        EXPECT_EQ(engine.GetAcquaintance(0), bob);
        engine.SetMyProfile({"Ann", "Ann@Example.org", "pw"});
        EXPECT_TRUE(engine.IsIdentityTaken("ANN@example.org"));

        EXPECT_NE(RefusalOf([&] { engine.SetIdentity(1, "wrong"); }), 0);
        EXPECT_EQ(engine.GetActiveIdentity(), 0);
        EXPECT_EQ(engine.GetMyID(), annId);

        engine.SetIdentity(1, "OTHER");
        EXPECT_EQ(engine.GetActiveIdentity(), 1);
        const std::int32_t cyId = engine.GetMyID();
        EXPECT_GT(cyId, 0);
        EXPECT_NE(cyId, annId);
        EXPECT_NE(RefusalOf([&] { engine.GetAcquaintance(0); }), 0);
        EXPECT_FALSE(engine.IsRegistered());

        engine.SetIdentity(0, "SECRET");
        EXPECT_EQ(engine.GetMyID(), annId);
        EXPECT_EQ(engine.GetAcquaintance(0), bob);
        EXPECT_TRUE(engine.IsRegistered());
        engine.FlushData();
        // Changed after the flush: saved when the engine ends.
        engine.MoveToFriends(bob);
    }
    Halvara engine;
    EXPECT_EQ(engine.GetActiveIdentity(), 0);
    EXPECT_EQ(engine.GetMyID(), annId);
    EXPECT_EQ(engine.GetFriend(1), bob);
    EXPECT_TRUE(engine.IsRegistered());
    EXPECT_EQ(engine.GetIdentity(1), "Cy");
    engine.DeleteIdentity(1);
    EXPECT_NE(RefusalOf([&] { engine.GetIdentity(1); }), 0);
    EXPECT_NE(RefusalOf([&] { engine.SetIdentity(1, "other"); }), 0);
}

TEST_F(HalvaraEngineIntegrationTest, AnswersOtherServicesOnItsPeerPortWhileRunning) {
    const std::int32_t bob = RegisterOtherUser("Bob", "bob@example.org");
    std::int32_t annId = 0;
    PresenceCalls calls([] { return std::string(kOwnAddress); });
    {
        Halvara engine;
        annId = engine.GetMyID();
        engine.SetMyProfile({"Ann", "ann@example.org", "pw"});
        engine.UpdateTOS(7, true);
        EXPECT_EQ(engine.NumActiveTOS(), 1);
        ASSERT_TRUE(testsupport::WaitFor(
            [&] { return testsupport::CanConnect(kOwnAddress, presence::kPeerPort, 200ms); }, 10s));

        EXPECT_EQ(calls.KnownQuery(kOwnAddress, annId, bob), 0);
        EXPECT_EQ(calls.RequestProfile(kOwnAddress, annId, bob).name, "Ann");
        EXPECT_EQ(calls.AnonTOSQuery(kOwnAddress, 7), 1);
        EXPECT_EQ(calls.AnonTOSQuery(kOwnAddress, 8), 0);
        // A TOS query from a stranger makes it an acquaintance, when the
        // directory places it where the query comes from.
        Directory().UpdateIP(bob, kOwnAddress, "their password");
        EXPECT_EQ(calls.TOSQuery(kOwnAddress, annId, bob, 7), 1);
        ASSERT_TRUE(testsupport::WaitFor(
            [&] { return RefusalOf([&] { engine.GetAcquaintance(0); }) == 0; }, 10s));
        EXPECT_EQ(engine.GetAcquaintance(0), bob);
        EXPECT_EQ(calls.KnownQuery(kOwnAddress, annId, bob), 1);

        // Bob announces where he is and what he runs; the call leaves from
        // our own address, so only the directory can back it.
        Directory().UpdateIP(bob, "127.0.0.9", "their password");
        calls.AnnounceIP(kOwnAddress, annId, bob, "127.0.0.9");
        EXPECT_TRUE(testsupport::WaitFor([&] { return engine.GetIP(bob) == "127.0.0.9"; }, 5s));
        EXPECT_TRUE(engine.IsOnline(bob, -1, 0));
        // What he runs counts only from his own address.
        ASSERT_TRUE(testsupport::SendPeerMessageFrom(
            "127.0.0.9", kOwnAddress, presence::Header::Request(presence::kTOSNotice, annId, bob),
            presence::EncodeTOSNotice({7, true})));
        EXPECT_TRUE(testsupport::WaitFor([&] { return engine.IsOnline(bob, 7, 0); }, 5s));
        EXPECT_FALSE(engine.IsOnline(bob, 8, 0));
        // A live check finds nobody at that address and stores it.
        EXPECT_FALSE(engine.IsOnline(bob, 7, 1));
        EXPECT_FALSE(engine.IsOnline(bob, 7, 0));

        // A request for another callee is refused.
        EXPECT_THROW(calls.KnownQuery(kOwnAddress, annId + 50, bob), CStdExcept);
    }
    // Offline once the engine is gone.
    EXPECT_FALSE(testsupport::CanConnect(kOwnAddress, presence::kPeerPort, 200ms));
}

TEST_F(HalvaraEngineIntegrationTest, HandsOutEachSystemMessageOnceEvenAcrossRestarts) {
    {
        Halvara engine;
        // Only a stored identity's state outlives the engine.
        EXPECT_EQ(engine.AddIdentity("Ann", "pw"), 0);
        engine.FlushData();
        engine.SetIdentity(0, "pw");
        engine.FlushData();
        EXPECT_EQ(RefusalOf([&] { engine.GetSystemMessage(155); }), 1148);
        Publish(155, "For us");
        Publish(std::nullopt, "For all");
        // Both due: the particular one first, the general one on the next call.
        SystemMessageTexts first = engine.GetSystemMessage(155);
        EXPECT_EQ(first.title, "For us");
        EXPECT_NE(first.text.find("Read this"), std::string::npos);
        EXPECT_EQ(engine.GetSystemMessage(155).title, "For all");
        EXPECT_EQ(RefusalOf([&] { engine.GetSystemMessage(155); }), 1148);
    }
    Halvara engine;
    EXPECT_EQ(engine.GetActiveIdentity(), 0);
    EXPECT_EQ(RefusalOf([&] {
                  SystemMessageTexts again = engine.GetSystemMessage(155);
                  ADD_FAILURE() << "handed out again: " << again.title;
              }),
              1148);
}

TEST_F(HalvaraEngineIntegrationTest, AFriendDeletedStaysAnAcquaintanceAndAddingMovesBetweenLists) {
    const std::int32_t bob = RegisterOtherUser("Bob", "bob@example.org");
    const std::int32_t cy = RegisterOtherUser("Cy", "cy@example.org");
    Halvara engine;
    engine.Add(bob, true);
    engine.Add(cy, false);
    EXPECT_NE(RefusalOf([&] { engine.Delete(cy); }), 0) << "only a friend can be deleted";
    engine.Delete(bob);
    EXPECT_EQ(engine.GetAcquaintance(1), bob);
    EXPECT_EQ(engine.GetProfile(bob).name, "Bob");
    EXPECT_NE(RefusalOf([&] { engine.GetFriend(1); }), 0);
    EXPECT_NE(RefusalOf([&] { engine.Delete(engine.GetMyID()); }), 0);

    // Adding a listed contact to the other list moves it; to its own list fails.
    engine.Add(cy, true);
    EXPECT_EQ(engine.GetFriend(1), cy);
    engine.Add(cy, false);
    EXPECT_EQ(engine.GetAcquaintance(1), cy);
    EXPECT_NE(RefusalOf([&] { engine.Add(cy, false); }), 0);
}

bool AnnounceFrom(const std::string& from, std::int32_t callee, std::int32_t caller,
                  const std::string& announced) {
    return testsupport::SendPeerMessageFrom(
        from, kOwnAddress, presence::Header::Request(presence::kAnnounceIP, callee, caller),
        presence::EncodeAddress(announced));
}

bool NoticeFrom(const std::string& from, std::int32_t callee, std::int32_t caller) {
    return testsupport::SendPeerMessageFrom(
        from, kOwnAddress,
        presence::Header::Request(presence::kAcquaintanceNotice, callee, caller));
}

// What a call that must change nothing is given to (fail to) do.
constexpr auto kSettle = 1500ms;

TEST_F(HalvaraEngineIntegrationTest, BelievesAnAddressOrANoticeOnlyFromWhereTheCallerIs) {
    constexpr const char* kBob = "127.0.0.12";
    constexpr const char* kCy = "127.0.0.14";
    constexpr const char* kImpostor = "127.0.0.65";
    constexpr const char* kElsewhere = "127.0.0.66";
    const std::int32_t bob = RegisterOtherUser("Bob", "bob@example.org");
    const std::int32_t cy = RegisterOtherUser("Cy", "cy@example.org");
    // Both run, so the directory holds their addresses.
    Directory().UpdateIP(bob, kBob, "their password");
    Directory().UpdateIP(cy, kCy, "their password");
    Halvara engine;
    const std::int32_t annId = engine.GetMyID();
    engine.SetMyProfile({"Ann", "ann@example.org", "pw"});
    ASSERT_TRUE(testsupport::WaitFor(
        [&] { return testsupport::CanConnect(kOwnAddress, presence::kPeerPort, 200ms); }, 10s));
    engine.Add(bob, true);
    ASSERT_FALSE(engine.IsOnline(bob, -1, 0));

    // Somebody else speaking for Bob neither brings him online nor moves him.
    ASSERT_TRUE(AnnounceFrom(kImpostor, annId, bob, kElsewhere));
    std::this_thread::sleep_for(kSettle);
    EXPECT_EQ(engine.GetIP(bob), kBob);
    EXPECT_FALSE(engine.IsOnline(bob, -1, 0));
    // Bob himself is believed at once.
    ASSERT_TRUE(AnnounceFrom(kBob, annId, bob, kBob));
    EXPECT_TRUE(testsupport::WaitFor([&] { return engine.IsOnline(bob, -1, 0); }, 10s));
    EXPECT_EQ(engine.GetIP(bob), kBob);
    // Nor tell which applications he runs: only his own notice counts.
    const auto notice = presence::EncodeTOSNotice({155, true});
    ASSERT_TRUE(testsupport::SendPeerMessageFrom(
        kImpostor, kOwnAddress, presence::Header::Request(presence::kTOSNotice, annId, bob),
        notice));
    std::this_thread::sleep_for(kSettle);
    EXPECT_FALSE(engine.IsOnline(bob, 155, 0));
    ASSERT_TRUE(testsupport::SendPeerMessageFrom(
        kBob, kOwnAddress, presence::Header::Request(presence::kTOSNotice, annId, bob), notice));
    EXPECT_TRUE(testsupport::WaitFor([&] { return engine.IsOnline(bob, 155, 0); }, 10s));
    // Nor can somebody else take him offline.
    ASSERT_TRUE(AnnounceFrom(kImpostor, annId, bob, "0.0.0.0"));
    ASSERT_TRUE(AnnounceFrom(kImpostor, annId, bob, kElsewhere));
    std::this_thread::sleep_for(kSettle);
    EXPECT_EQ(engine.GetIP(bob), kBob);
    EXPECT_TRUE(engine.IsOnline(bob, -1, 0));
    // An address the directory holds for him is believed from anywhere.
    Directory().UpdateIP(bob, kElsewhere, "their password");
    ASSERT_TRUE(AnnounceFrom(kImpostor, annId, bob, kElsewhere));
    EXPECT_TRUE(testsupport::WaitFor([&] { return engine.GetIP(bob) == kElsewhere; }, 10s));
    // He leaves from the address held for him: offline at once.
    ASSERT_TRUE(AnnounceFrom(kElsewhere, annId, bob, "0.0.0.0"));
    EXPECT_TRUE(testsupport::WaitFor([&] { return !engine.IsOnline(bob, -1, 0); }, 10s));
    EXPECT_EQ(engine.GetIP(bob), "0.0.0.0");

    // Acquaintance notices and TOS queries: an ID the directory does not
    // know, and Cy's ID from an address that is not Cy's, add nobody; Cy's
    // notice from his own address does.
    for (std::int32_t type : {presence::kAcquaintanceNotice, presence::kTOSQuery}) {
        SCOPED_TRACE(type);
        const auto tos = presence::EncodeInt32(-1);
        const std::span<const std::uint8_t> payload = type == presence::kTOSQuery
                                                          ? std::span<const std::uint8_t>(tos)
                                                          : std::span<const std::uint8_t>();
        for (std::int32_t caller : {cy + 1000, cy})
            ASSERT_TRUE(testsupport::SendPeerMessageFrom(
                kImpostor, kOwnAddress, presence::Header::Request(type, annId, caller), payload));
    }
    std::this_thread::sleep_for(kSettle);
    EXPECT_NE(RefusalOf([&] { engine.GetAcquaintance(0); }), 0);
    ASSERT_TRUE(NoticeFrom(kCy, annId, cy));
    EXPECT_TRUE(testsupport::WaitFor(
        [&] { return RefusalOf([&] { engine.GetAcquaintance(0); }) == 0; }, 10s));
    EXPECT_EQ(engine.GetAcquaintance(0), cy);
    EXPECT_NE(RefusalOf([&] { engine.GetAcquaintance(1); }), 0);
}

// Sockets listening on the peer port of a loopback address that never accept:
// the kernel completes every connect, and no call made to them ever gets its
// reply header.
class SilentContacts {
public:
    explicit SilentContacts(const std::vector<std::string>& addresses) {
        for (const std::string& address : addresses) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const int yes = 1;
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
            sockaddr_in local{};
            local.sin_family = AF_INET;
            local.sin_port = htons(static_cast<std::uint16_t>(presence::kPeerPort));
            ::inet_pton(AF_INET, address.c_str(), &local.sin_addr);
            if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
                ::listen(fd, 128) != 0) {
                ADD_FAILURE() << "cannot listen on " << address;
                ::close(fd);
                continue;
            }
            m_fds.push_back(fd);
        }
    }
    ~SilentContacts() {
        for (int fd : m_fds)
            ::close(fd);
    }
    SilentContacts(const SilentContacts&) = delete;
    SilentContacts& operator=(const SilentContacts&) = delete;

private:
    std::vector<int> m_fds;
};

std::string SilentAddress(int i) {
    return "127.0.8." + std::to_string(10 + i);
}

using Clock = std::chrono::steady_clock;

TEST_F(HalvaraEngineIntegrationTest,
       AddingAContactThatNeverAnswersAnswersAtOnceAndTheEndLeavesTheNoticeAtTheDirectory) {
    SilentContacts silent({SilentAddress(0)});
    InternetDatabase directory = Directory();
    // Its address is published before its profile, as a new identity does.
    const std::int32_t dan = directory.RegisterNewID();
    directory.UpdateIP(dan, SilentAddress(0));
    directory.UpdateProfile(dan, "Dan", "dan@example.org", "their password");

    auto engine = std::make_unique<Halvara>();
    ASSERT_EQ(engine->State(), Halvara::kOnline);
    const std::int32_t annId = engine->GetMyID();
    auto start = Clock::now();
    engine->Add(dan, true);
    // Telling Dan our address and that we added him costs two reply limits.
    EXPECT_LT(Clock::now() - start, 3s);
    EXPECT_EQ(engine->GetFriend(1), dan);
    EXPECT_EQ(engine->GetIP(dan), SilentAddress(0));

    // The end cuts the notice short, which then waits at the directory, and
    // tells Dan 0.0.0.0 in one bounded round.
    start = Clock::now();
    engine.reset();
    const auto ending = Clock::now() - start;
    EXPECT_LT(ending, std::chrono::milliseconds(Halvara::kOfflineRoundMs) + 3s);
    const auto waiting = directory.LookupAcquaintances(dan, "their password");
    EXPECT_NE(std::find(waiting.begin(), waiting.end(), annId), waiting.end());
}

TEST_F(HalvaraEngineIntegrationTest, TheEndCutsShortEveryCallToContactsThatNeverAnswer) {
    constexpr int kFriends = 20;
    {
        // Listed while nothing listens at their addresses: refused at once.
        InternetDatabase directory = Directory();
        Halvara engine;
        for (int i = 0; i < kFriends; ++i) {
            const std::int32_t id = directory.RegisterNewID();
            directory.UpdateIP(id, SilentAddress(i));
            directory.UpdateProfile(id, "Friend", "friend" + std::to_string(i) + "@example.org",
                                    "pw");
            engine.Add(id, true);
        }
    }
    std::vector<std::string> addresses;
    for (int i = 0; i < kFriends; ++i)
        addresses.push_back(SilentAddress(i));
    SilentContacts silent(addresses);
    Set("HALVARA_LIVE_CHECK_INTERVAL_MS", "200");

    // Going online starts the contact round and the live check, which both
    // call every friend and wait 10 s for each reply.
    auto engine = std::make_unique<Halvara>();
    ASSERT_EQ(engine->State(), Halvara::kOnline);
    std::this_thread::sleep_for(1500ms);
    const auto start = Clock::now();
    engine.reset();
    // Only the bounded round of 0.0.0.0 is waited for.
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(Halvara::kOfflineRoundMs) + 3s);
}

TEST_F(HalvaraEngineIntegrationTest,
       AnIdentitySwitchWaitsForContactsThatNeverAnswerOneRoundAtMost) {
    SilentContacts silent({SilentAddress(0), SilentAddress(1)});
    InternetDatabase directory = Directory();
    Halvara engine;
    engine.AddIdentity("Ann", "pw");
    engine.AddIdentity("Cy", "pw");
    engine.SetIdentity(0, "pw");
    for (int i = 0; i < 2; ++i) {
        const std::int32_t id = directory.RegisterNewID();
        directory.UpdateIP(id, SilentAddress(i));
        directory.UpdateProfile(id, "Friend", "friend" + std::to_string(i) + "@example.org", "pw");
        engine.Add(id, true);
    }
    // The first friend's queued calls and the second's are under way.
    std::this_thread::sleep_for(500ms);
    const auto start = Clock::now();
    engine.SetIdentity(1, "pw");
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(Halvara::kOfflineRoundMs) + 3s);
    EXPECT_EQ(engine.GetActiveIdentity(), 1);
}

// A contact's service that answers every announcement but holds every TOS
// query without an answer, as a slow peer would.
class SlowQueryPeer {
public:
    explicit SlowQueryPeer(const std::string& address) {
        EXPECT_TRUE(m_listener.Listen(address, presence::kPeerPort, 16));
        m_accepting = std::thread([this] { Accept(); });
    }
    ~SlowQueryPeer() {
        m_running.store(false);
        m_accepting.join();
        for (std::thread& connection : m_connections)
            connection.join();
    }
    SlowQueryPeer(const SlowQueryPeer&) = delete;
    SlowQueryPeer& operator=(const SlowQueryPeer&) = delete;

    int QueriesHeld() const { return m_queries.load(); }
    std::vector<std::string> Announced() {
        std::lock_guard lock(m_lock);
        return m_announced;
    }

private:
    void Accept() {
        while (m_running.load()) {
            auto connection = std::make_shared<TimedSocket>();
            m_listener.SetLimit(100);
            if (m_listener.Accept(*connection))
                m_connections.emplace_back([this, connection] { Serve(*connection); });
        }
    }
    void Serve(TimedSocket& connection) {
        std::uint8_t bytes[presence::kHeaderSize];
        if (connection.ReceiveAll(bytes, sizeof bytes) != sizeof bytes)
            return;
        auto header = presence::Header::Decode(bytes);
        if (!header)
            return;
        if (header->type == presence::kTOSQuery) {
            m_queries.fetch_add(1);
            while (m_running.load())
                std::this_thread::sleep_for(20ms);
            return;
        }
        auto reply = presence::Header::Reply(header->type).Encode();
        connection.SetLimit(2000);
        connection.Send(reply.data(), reply.size());
        if (header->type != presence::kAnnounceIP)
            return;
        std::uint8_t address[4];
        if (connection.ReceiveAll(address, sizeof address) != sizeof address)
            return;
        if (auto text = presence::DecodeAddress(address)) {
            std::lock_guard lock(m_lock);
            m_announced.push_back(*text);
        }
    }

    TimedSocket m_listener;
    std::atomic<bool> m_running{true};
    std::atomic<int> m_queries{0};
    std::mutex m_lock;
    std::vector<std::string> m_announced;
    std::vector<std::thread> m_connections;
    std::thread m_accepting;
};

TEST_F(HalvaraEngineIntegrationTest, AFriendWhoseQueryTheEndCutShortStillHearsWeLeft) {
    const std::string address = SilentAddress(50);
    SlowQueryPeer peer(address);
    InternetDatabase directory = Directory();
    const std::int32_t eve = directory.RegisterNewID();
    directory.UpdateIP(eve, address);
    directory.UpdateProfile(eve, "Eve", "eve@example.org", "their password");
    Set("HALVARA_LIVE_CHECK_INTERVAL_MS", "200");

    auto engine = std::make_unique<Halvara>();
    ASSERT_EQ(engine->State(), Halvara::kOnline);
    engine->Add(eve, true);
    ASSERT_TRUE(testsupport::WaitFor([&] { return !peer.Announced().empty(); }, 10s));
    EXPECT_EQ(peer.Announced().front(), "127.0.0.1");
    // The live check's query waits for an answer that does not come.
    ASSERT_TRUE(testsupport::WaitFor([&] { return peer.QueriesHeld() > 0; }, 10s));
    const auto start = Clock::now();
    engine.reset();
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(Halvara::kOfflineRoundMs) + 3s);
    EXPECT_EQ(peer.Announced().back(), "0.0.0.0");
}

} // namespace
