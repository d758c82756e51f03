// The presence engine's online state and background loops against the real
// directory on a loopback port; the other users are real peer listeners on
// loopback addresses of their own that record what reaches them.
#include "PeerCallFrom.h"
#include "bridge/CStdExcept.h"
#include "platform/MessageBus.h"
#include "service/Halvara.h"
#include "service/InternetDatabase.h"
#include "service/PresenceCalls.h"
#include "service/PresenceListener.h"
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
#include <netinet/in.h>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::WaitFor;

namespace {

// Addresses of their own, so no other test's peer port is in the way.
constexpr const char* kOwnAddress = "127.0.0.61";

// Another user's presence service: a real listener on its own address that
// answers every TOS and records each message with its caller.
class OtherUser : private PresenceHandler {
public:
    OtherUser(std::int32_t id, std::string address)
        : m_id(id)
        , m_address(std::move(address))
        , m_listener(
              std::make_unique<PresenceListener>(static_cast<PresenceHandler&>(*this), m_address)) {
        m_listener->Start();
    }
    bool Listening() {
        return WaitFor([&] { return m_listener->IsListening(); }, 5s);
    }
    void Die() { m_listener.reset(); }
    ~OtherUser() override { m_listener.reset(); }
    std::int32_t ID() const { return m_id; }
    const std::string& Address() const { return m_address; }

    bool Saw(const std::string& what, std::int32_t caller) {
        std::lock_guard hold(m_lock);
        return std::find(m_events.begin(), m_events.end(), std::make_pair(what, caller)) !=
               m_events.end();
    }
    bool WaitToSee(const std::string& what, std::int32_t caller) {
        return WaitFor([&] { return Saw(what, caller); }, 10s);
    }

private:
    void Record(const std::string& what, std::int32_t caller) {
        std::lock_guard hold(m_lock);
        m_events.emplace_back(what, caller);
    }
    std::int32_t OwnID() override { return m_id; }
    presence::PeerProfile ProfileFor(std::int32_t) override { return {"Other", "o@example.org"}; }
    void AddressAnnounced(std::int32_t caller, const std::string& ip, const std::string&) override {
        Record("address " + ip, caller);
    }
    bool HasActiveTOS(std::int32_t) override { return true; }
    void TOSQueried(std::int32_t caller, const std::string&) override {
        Record("tos query", caller);
    }
    void StateQueried(std::int32_t, std::int32_t, const std::string&) override {}
    void AcquaintanceNoticed(std::int32_t caller, const std::string&) override {
        Record("notice", caller);
    }
    void TOSNoticed(std::int32_t caller, std::int32_t tos, bool, const std::string&) override {
        Record("tos notice " + std::to_string(tos), caller);
    }
    bool IsKnown(std::int32_t caller) override {
        Record("known query", caller);
        return true;
    }

    std::int32_t m_id;
    std::string m_address;
    std::mutex m_lock;
    std::vector<std::pair<std::string, std::int32_t>> m_events;
    std::unique_ptr<PresenceListener> m_listener;
};

// An address that accepts connections on the peer port and never answers: the
// kernel completes every connect, and each call waits for its header's limit.
class SilentPeer {
public:
    explicit SilentPeer(const std::string& address) {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        int yes = 1;
        ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_port = htons(presence::kPeerPort);
        ::inet_pton(AF_INET, address.c_str(), &where.sin_addr);
        m_ok = ::bind(m_fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0 &&
               ::listen(m_fd, 64) == 0;
    }
    ~SilentPeer() { ::close(m_fd); }
    bool Ok() const { return m_ok; }

private:
    int m_fd = -1;
    bool m_ok = false;
};

template <typename Call>
std::chrono::milliseconds TimeOf(Call&& call) {
    auto start = std::chrono::steady_clock::now();
    call();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start);
}

class EngineConnectivityIntegrationTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::filesystem::path runtime = m_dir.Path() / "run";
        std::filesystem::create_directories(runtime);
        ::chmod(runtime.c_str(), 0700);
        Set("XDG_RUNTIME_DIR", runtime.string());
        Set("XDG_CONFIG_HOME", (m_dir.Path() / "config").string());
        Set("HALVARA_DIRECTORY", Host());
        Set("HALVARA_ADDRESS", kOwnAddress);
        Set("HALVARA_RECONNECT_INTERVAL_MS", "300");
        Set("HALVARA_LIVE_CHECK_INTERVAL_MS", "60000");
        m_session.SetTimeLimits(3000ms, 5000ms);
    }

    void StartDirectory() { ASSERT_TRUE(m_directory.Start()) << m_directory.Output(); }

    void Set(const std::string& name, const std::string& value) { m_environment.Set(name, value); }

    std::string Host() const { return m_directory.Host(); }

    // The engine's listener may retry its port for a moment after the last
    // engine's went away.
    static bool OwnListenerUp() {
        return WaitFor(
            [] { return testsupport::CanConnect(kOwnAddress, presence::kPeerPort, 200ms); }, 10s);
    }
    InternetDatabase Directory() { return InternetDatabase(m_session, Host()); }

    // A user known to the directory at that address, with a listener there.
    std::unique_ptr<OtherUser> RunOtherUser(const std::string& address) {
        InternetDatabase directory = Directory();
        const std::int32_t id = directory.RegisterNewID();
        directory.UpdateProfile(id, "Other " + address, "other" + address + "@example.org", "pw");
        directory.UpdateIP(id, address, "pw");
        auto user = std::make_unique<OtherUser>(id, address);
        EXPECT_TRUE(user->Listening());
        return user;
    }

    // Counts the "update contacts" broadcasts that arrive from now on.
    class Broadcasts {
    public:
        Broadcasts()
            : m_receiver(platform::MessageReceiver::Create())
            , m_number(platform::MessageBus::RegisterMessage("Halvara: update contacts")) {}
        // Drops what came so far.
        void Drain() {
            while (m_receiver->Receive(0ms)) {
            }
        }
        bool WaitForOne(std::chrono::milliseconds limit) {
            auto deadline = std::chrono::steady_clock::now() + limit;
            while (std::chrono::steady_clock::now() < deadline) {
                auto message = m_receiver->Receive(100ms);
                if (message && message->number == m_number)
                    return true;
            }
            return false;
        }

    private:
        std::unique_ptr<platform::MessageReceiver> m_receiver;
        std::uint32_t m_number;
    };

    testsupport::TempDir m_dir;
    testsupport::HalvdirServer m_directory{{"--threads", "2"},
                                           testsupport::HalvdirServer::Launch::later};
    testsupport::ScopedEnvironment m_environment;
    InternetSession m_session{[] { return std::string(kOwnAddress); }};
};

TEST_F(EngineConnectivityIntegrationTest, OfflineWithoutTheDirectoryUntilTheReconnectLoopFindsIt) {
    Halvara engine;
    EXPECT_EQ(engine.State(), Halvara::kOffline);
    EXPECT_EQ(engine.ReconnectIntervalMs(), 300);
    // A new identity cannot get its ID yet, and nobody can reach us.
    EXPECT_THROW(engine.GetMyID(), CStdExcept);
    EXPECT_FALSE(testsupport::CanConnect(kOwnAddress, presence::kPeerPort, 200ms));
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(engine.State(), Halvara::kOffline);

    StartDirectory();
    ASSERT_TRUE(WaitFor([&] { return engine.State() == Halvara::kOnline; }, 5s));
    // Online: the identity got its ID, published its address and listens.
    const std::int32_t id = engine.GetMyID();
    EXPECT_GT(id, 0);
    EXPECT_EQ(Directory().LookupIP(id), kOwnAddress);
    EXPECT_TRUE(WaitFor(
        [&] { return testsupport::CanConnect(kOwnAddress, presence::kPeerPort, 200ms); }, 5s));

    // The directory goes away: the next operation that needs it finds the
    // engine still online (nothing told it otherwise) and simply fails.
    m_directory.Kill();
    EXPECT_THROW(engine.LookupID("nobody@example.org"), CStdExcept);
}

TEST_F(EngineConnectivityIntegrationTest, WithoutALocalAddressTheDirectoryAloneIsNotEnough) {
    StartDirectory();
    // The probe finds no address for this computer.
    Set("HALVARA_ADDRESS", "0.0.0.0");
    Halvara engine;
    EXPECT_EQ(engine.State(), Halvara::kOffline);
    // The reconnect loop keeps asking the probe, which keeps saying no.
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(engine.State(), Halvara::kOffline);
    EXPECT_THROW(engine.LookupID("nobody@example.org"), CStdExcept);
    EXPECT_FALSE(testsupport::CanConnect(kOwnAddress, presence::kPeerPort, 200ms));
}

TEST_F(EngineConnectivityIntegrationTest, RegistrationSurvivesARestartWithoutAFlush) {
    StartDirectory();
    std::int32_t id = 0;
    {
        Halvara engine;
        EXPECT_EQ(engine.State(), Halvara::kOnline);
        id = engine.GetMyID();
        engine.SetMyProfile({"Ann", "ann@example.org", "pw"});
        EXPECT_TRUE(engine.IsRegistered());
    }
    // The engine's end announced that it is gone.
    EXPECT_EQ(Directory().LookupIP(id), "0.0.0.0");
    Halvara engine;
    EXPECT_EQ(engine.GetMyID(), id);
    EXPECT_TRUE(engine.IsRegistered());
    EXPECT_EQ(engine.GetProfile(id).eMail, "ann@example.org");
    EXPECT_EQ(Directory().LookupIP(id), kOwnAddress);
}

TEST_F(EngineConnectivityIntegrationTest, WaitingAcquaintancesAreCollectedWhenGoingOnline) {
    StartDirectory();
    std::int32_t ownId = 0;
    {
        Halvara engine;
        ownId = engine.GetMyID();
        ASSERT_GT(ownId, 0);
        // A claimed ID: only its owner reads and clears its waiting list.
        engine.SetMyProfile({"Ann", "ann@example.org", "Pw"});
    }
    // While we were away Lee added us and could not reach us.
    auto lee = RunOtherUser("127.0.0.62");
    Directory().RegisterAsAcquaintance(ownId, lee->ID());
    ASSERT_EQ(Directory().LookupAcquaintances(ownId, "pw"), std::vector<std::int32_t>{lee->ID()});
    // The directory's log from here on: the engine's own queries.
    const std::size_t engineQueries = m_directory.Output().size();
    const std::string id = std::to_string(ownId);
    auto askedWithPassword = [&](const std::string& query) {
        return WaitFor(
            [&] {
                return m_directory.Output().find("GET /cgi-bin/" + query + "?" + id + "+",
                                                 engineQueries) != std::string::npos;
            },
            10s);
    };

    Halvara engine;
    ASSERT_EQ(engine.State(), Halvara::kOnline);
    // The contacts are talked to after the engine is online.
    ASSERT_TRUE(WaitFor([&] { return engine.ContactRounds() == 1; }, 10s));
    EXPECT_EQ(engine.GetAcquaintance(0), lee->ID());
    EXPECT_EQ(engine.GetProfile(lee->ID()).name, "Other 127.0.0.62");
    EXPECT_EQ(engine.GetIP(lee->ID()), "127.0.0.62");
    // Lee heard that we added him, where we are, and whether we still know him.
    EXPECT_TRUE(lee->WaitToSee("notice", ownId));
    EXPECT_TRUE(lee->WaitToSee("address " + std::string(kOwnAddress), ownId));
    EXPECT_TRUE(lee->WaitToSee("known query", ownId));
    // The engine read and cleared the list with its password, an argument
    // after the ID in the directory's log.
    EXPECT_TRUE(askedWithPassword("lookupacqs")) << m_directory.Output();
    EXPECT_TRUE(askedWithPassword("delacqs")) << m_directory.Output();
    // Collected once: the directory no longer keeps them.
    EXPECT_TRUE(Directory().LookupAcquaintances(ownId, "pw").empty());
}

TEST_F(EngineConnectivityIntegrationTest, LiveCheckNoticesAContactWhoseListenerDied) {
    Set("HALVARA_LIVE_CHECK_INTERVAL_MS", "300");
    StartDirectory();
    auto bob = RunOtherUser("127.0.0.63");
    Broadcasts broadcasts;
    Halvara engine;
    ASSERT_EQ(engine.State(), Halvara::kOnline);
    const std::int32_t ownId = engine.GetMyID();
    engine.Add(bob->ID(), true);
    // The live check finds Bob answering and stores it.
    EXPECT_TRUE(WaitFor([&] { return engine.IsOnline(bob->ID(), -1, 0); }, 5s));
    EXPECT_TRUE(bob->Saw("tos query", ownId));

    const int rounds = engine.LiveCheckRounds();
    ASSERT_TRUE(WaitFor([&] { return engine.LiveCheckRounds() > rounds; }, 5s));
    broadcasts.Drain();
    bob->Die();
    EXPECT_TRUE(broadcasts.WaitForOne(5s)) << "no \"update contacts\" after Bob's listener died";
    EXPECT_FALSE(engine.IsOnline(bob->ID(), -1, 0));
    EXPECT_EQ(engine.GetIP(bob->ID()), "0.0.0.0");
    EXPECT_EQ(engine.State(), Halvara::kOnline);
}

TEST_F(EngineConnectivityIntegrationTest, ClaimingAnIdNeedsItsPassword) {
    StartDirectory();
    InternetDatabase directory = Directory();
    const std::int32_t claimed = directory.RegisterNewID();
    directory.UpdateProfile(claimed, "Old Me", "old@example.org", "Right");

    Halvara engine;
    const std::int32_t fresh = engine.GetMyID();
    EXPECT_FALSE(engine.ClaimID(claimed, "wrong"));
    EXPECT_EQ(engine.GetMyID(), fresh);
    EXPECT_TRUE(engine.ClaimID(claimed, "Right"));
    EXPECT_EQ(engine.GetMyID(), claimed);
    // The adopted ID is where we are now, and the listener answers for it.
    EXPECT_EQ(directory.LookupIP(claimed), kOwnAddress);
    ASSERT_TRUE(OwnListenerUp());
    PresenceCalls calls([] { return std::string("127.0.0.64"); });
    EXPECT_EQ(calls.TOSQuery(kOwnAddress, claimed, 999, -1), 1);
    EXPECT_EQ(engine.State(), Halvara::kOnline);
}

TEST_F(EngineConnectivityIntegrationTest,
       TheEndTellsEveryContactWithAnAddressAndTheDirectoryWeAreGone) {
    StartDirectory();
    auto carol = RunOtherUser("127.0.0.65");
    auto lee = RunOtherUser("127.0.0.62");
    std::int32_t ownId = 0;
    {
        Halvara engine;
        ownId = engine.GetMyID();
        // Lee adds us, from his address: listed with it, but nothing marks
        // him online.
        ASSERT_TRUE(OwnListenerUp());
        ASSERT_TRUE(testsupport::SendPeerMessageFrom(
            lee->Address(), kOwnAddress,
            presence::Header::Request(presence::kAcquaintanceNotice, ownId, lee->ID())));
        ASSERT_TRUE(WaitFor(
            [&] {
                try {
                    return engine.GetIP(lee->ID()) == "127.0.0.62";
                } catch (const CStdExcept&) {
                    return false;
                }
            },
            5s));
        EXPECT_FALSE(engine.IsOnline(lee->ID(), -1, 0));
        engine.Add(carol->ID(), true);
        // Carol tells us where she is, which makes her online.
        PresenceCalls calls([] { return std::string("127.0.0.65"); });
        calls.AnnounceIP(kOwnAddress, ownId, carol->ID(), "127.0.0.65");
        ASSERT_TRUE(WaitFor([&] { return engine.IsOnline(carol->ID(), -1, 0); }, 5s));
        EXPECT_FALSE(carol->Saw("address 0.0.0.0", ownId));
    }
    EXPECT_TRUE(carol->Saw("address 0.0.0.0", ownId));
    EXPECT_TRUE(lee->Saw("address 0.0.0.0", ownId));
    EXPECT_EQ(Directory().LookupIP(ownId), "0.0.0.0");
    EXPECT_FALSE(testsupport::CanConnect(kOwnAddress, presence::kPeerPort, 200ms));
}

TEST_F(EngineConnectivityIntegrationTest, SwitchingIdentityTellsTheOldContactsAndComesBackOnline) {
    StartDirectory();
    auto carol = RunOtherUser("127.0.0.65");
    Halvara engine;
    ASSERT_EQ(engine.AddIdentity("Ann", "a"), 0);
    ASSERT_EQ(engine.AddIdentity("Cy", "c"), 1);
    // Nothing was active, so nothing was saved: identity 0 starts afresh.
    engine.SetIdentity(0, "a");
    const std::int32_t annId = engine.GetMyID();
    ASSERT_TRUE(OwnListenerUp());
    engine.Add(carol->ID(), true);
    PresenceCalls calls([] { return std::string("127.0.0.65"); });
    calls.AnnounceIP(kOwnAddress, annId, carol->ID(), "127.0.0.65");
    ASSERT_TRUE(WaitFor([&] { return engine.IsOnline(carol->ID(), -1, 0); }, 5s));
    engine.UpdateTOS(155, true);

    engine.SetIdentity(1, "C");
    // Carol heard that Ann left; Cy is online under an ID of his own, and the
    // client's registration came along.
    EXPECT_TRUE(carol->Saw("address 0.0.0.0", annId));
    EXPECT_EQ(engine.State(), Halvara::kOnline);
    const std::int32_t cyId = engine.GetMyID();
    EXPECT_NE(cyId, annId);
    EXPECT_EQ(Directory().LookupIP(cyId), kOwnAddress);
    EXPECT_EQ(Directory().LookupIP(annId), "0.0.0.0");
    EXPECT_EQ(engine.NumActiveTOS(), 1);
    ASSERT_TRUE(OwnListenerUp());
    PresenceCalls stranger([] { return std::string("127.0.0.64"); });
    EXPECT_EQ(stranger.KnownQuery(kOwnAddress, cyId, 999), 0);
    EXPECT_THROW(stranger.KnownQuery(kOwnAddress, annId, 999), CStdExcept);
}

TEST_F(EngineConnectivityIntegrationTest, ContactsThatNeverAnswerHoldUpNeitherTheStartNorTheLists) {
    StartDirectory();
    const std::string silentAddress = "127.0.0.66";
    InternetDatabase directory = Directory();
    const std::int32_t dan = directory.RegisterNewID();
    directory.UpdateProfile(dan, "Dan", "dan@example.org", "pw");
    directory.UpdateIP(dan, silentAddress, "pw");
    {
        // Added while nothing listens there, which fails at once.
        Halvara engine;
        engine.Add(dan, true);
    }
    SilentPeer silent(silentAddress);
    ASSERT_TRUE(silent.Ok());

    std::unique_ptr<Halvara> engine;
    // Telling Dan our address waits for his answer's limit, on the contact
    // round; the engine is up and online long before.
    EXPECT_LT(TimeOf([&] { engine = std::make_unique<Halvara>(); }), 3000ms);
    EXPECT_EQ(engine->State(), Halvara::kOnline);
    std::this_thread::sleep_for(300ms);
    ASSERT_EQ(engine->ContactRounds(), 0) << "the round did not wait for Dan";
    for (int i = 0; i < 5; ++i) {
        auto listing = TimeOf([&] {
            EXPECT_EQ(engine->GetFriend(1), dan);
            EXPECT_EQ(engine->GetProfile(dan).name, "Dan");
            EXPECT_FALSE(engine->IsOnline(dan, -1, 0));
            EXPECT_EQ(engine->GetIP(dan), silentAddress);
        });
        EXPECT_LT(listing, 200ms);
    }
    // Registering a TOS tells every contact, Dan included, without holding
    // up the bridge.
    EXPECT_LT(TimeOf([&] { engine->UpdateTOS(155, true); }), 2000ms);
    EXPECT_EQ(engine->NumActiveTOS(), 1);
    // Another user's query is not queued behind the calls to Dan.
    auto lee = RunOtherUser("127.0.0.62");
    engine->Add(lee->ID(), true);
    EXPECT_LT(TimeOf([&] { EXPECT_TRUE(engine->IsOnline(lee->ID(), -1, 1)); }), 2000ms);
    EXPECT_EQ(engine->ContactRounds(), 0);
}

} // namespace
