// The engine's rounds over all contacts, run by a real engine against a
// directory and other users in memory: only its own listener is real.
#include "bridge/CStdExcept.h"
#include "platform/RegistryStore.h"
#include "service/Acquaintance.h"
#include "service/CurrentIPProbe.h"
#include "service/EngineDirectory.h"
#include "service/EnginePeers.h"
#include "service/Halvara.h"
#include "service/PresenceCalls.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <utility>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr const char* kOwnAddress = "127.0.0.147";
constexpr std::int32_t kOwnId = 500;

// The directory in memory. Queries that need a session fail without one, as
// the real directory's do.
class MemoryDirectory : public EngineDirectory {
public:
    std::string LocalAddress() override { return kOwnAddress; }
    DirectoryProfile LookupProfile(std::int32_t contactId) override {
        std::lock_guard lock(m_lock);
        RequireSession();
        return DirectoryProfile{"User " + std::to_string(contactId),
                                std::to_string(contactId) + "@example.org"};
    }
    std::string LookupIP(std::int32_t contactId) override {
        std::lock_guard lock(m_lock);
        RequireSession();
        auto found = m_addresses.find(contactId);
        if (found == m_addresses.end())
            throw CStdExcept("InternetDatabase", 996);
        return found->second;
    }
    void RegisterAsAcquaintance(std::int32_t, std::int32_t) override {}
    std::int32_t RegisterNewID() override { return kOwnId; }
    void UpdateIP(std::int32_t ownId, const std::string& ip, const std::string&) override {
        std::lock_guard lock(m_lock);
        RequireSession();
        m_published.emplace_back(ownId, ip);
    }
    std::string GetRandomIP(std::int32_t) override { throw CStdExcept("InternetDatabase", 1064); }
    void InsertRandomIP(std::int32_t, const std::string&) override {}
    void RemoveRandomIP(std::int32_t, const std::string&) override {}

    std::string Host() const override { return "127.0.0.1:1"; }
    bool OpenSession() override {
        std::lock_guard lock(m_lock);
        m_session = true;
        return true;
    }
    void CloseSession() override {
        std::lock_guard lock(m_lock);
        m_session = false;
    }
    std::vector<std::int32_t> LookupAcquaintances(std::int32_t ownId, const std::string&) override {
        std::lock_guard lock(m_lock);
        RequireSession();
        return m_waiting[ownId];
    }
    void DeleteAcquaintances(std::int32_t ownId, const std::string&) override {
        std::lock_guard lock(m_lock);
        RequireSession();
        m_waiting.erase(ownId);
    }
    std::int32_t LookupID(const std::string&) override { return -1; }
    void UpdateProfile(std::int32_t, const std::string&, const std::string&,
                       const std::string&) override {}
    bool CheckPassword(std::int32_t, const std::string&) override { return false; }
    SystemMessageTimes GetSystemMessageTime(std::int32_t) override { return {}; }
    SystemMessage GetSystemMessage(std::int32_t) override { return {}; }
    void SendInvitationMail(const std::string&, const std::string&, const std::string&,
                            const std::string&, const std::string&, std::int32_t) override {}

    void SetAddress(std::int32_t id, const std::string& ip) {
        std::lock_guard lock(m_lock);
        m_addresses[id] = ip;
    }
    void SetWaiting(std::int32_t ownId, std::vector<std::int32_t> ids) {
        std::lock_guard lock(m_lock);
        m_waiting[ownId] = std::move(ids);
    }
    std::vector<std::int32_t> Waiting(std::int32_t ownId) {
        std::lock_guard lock(m_lock);
        return m_waiting[ownId];
    }
    std::vector<std::pair<std::int32_t, std::string>> Published() {
        std::lock_guard lock(m_lock);
        return m_published;
    }

private:
    void RequireSession() const {
        if (!m_session)
            throw CStdExcept("WatchInternetDatabase", 96);
    }

    std::mutex m_lock;
    bool m_session = false;
    std::map<std::int32_t, std::string> m_addresses;
    std::map<std::int32_t, std::vector<std::int32_t>> m_waiting;
    std::vector<std::pair<std::int32_t, std::string>> m_published;
};

// The other users in memory: who answers the presence query, what each was
// told and at which address. The stop request goes to the engine's real
// listener.
class MemoryPeers : public EnginePeers {
public:
    // A call as it reached a contact: its ID, the address it went to, and
    // what it said (an address, or a query's name).
    using Call = std::tuple<std::int32_t, std::string, std::string>;

    void AnnounceOwnIP(Acquaintance& contact, std::int32_t, const std::string& ownIp) override {
        Record({contact.ID(), contact.IP(), ownIp});
    }
    void SendAcquaintanceNotice(Acquaintance& contact, std::int32_t) override {
        Record({contact.ID(), contact.IP(), "acquaintance notice"});
    }
    void SendTOSNotice(Acquaintance& contact, std::int32_t, std::int32_t, bool) override {
        Record({contact.ID(), contact.IP(), "TOS notice"});
    }
    std::int32_t AnonTOSQuery(const std::string&, std::int32_t) override {
        throw CStdExcept("Protocol", 51);
    }
    void SetRunFlag(const std::atomic<bool>* running) override { m_running.store(running); }
    std::int32_t TOSQuery(const std::string& ip, std::int32_t contactId, std::int32_t,
                          std::int32_t) override {
        if (contactId == m_hangsUntilCancelled) {
            m_hanging.store(true);
            // A contact that accepts and never answers: only the run flag ends
            // the call (a bound keeps a broken engine from hanging the test).
            const auto giveUp = std::chrono::steady_clock::now() + 30s;
            while (std::chrono::steady_clock::now() < giveUp) {
                const std::atomic<bool>* running = m_running.load();
                if (running && !running->load())
                    break;
                std::this_thread::sleep_for(5ms);
            }
            throw CStdExcept("Protocol", 81);
        }
        bool answers = false;
        {
            std::lock_guard lock(m_lock);
            answers = m_answering.count(contactId) && ip != "0.0.0.0";
        }
        if (!answers) {
            // A silent address holds the caller until its time limit.
            std::this_thread::sleep_for(std::chrono::milliseconds(m_silentMs.load()));
            throw CStdExcept("Protocol", 51);
        }
        return 1;
    }
    std::int32_t KnownQuery(const std::string& ip, std::int32_t contactId, std::int32_t) override {
        Record({contactId, ip, "known query"});
        return 1;
    }
    void AnnounceOfflineBy(const std::string& ip, std::int32_t contactId, std::int32_t,
                           Deadline) override {
        Record({contactId, ip, "0.0.0.0"});
    }
    void StopListener(const std::string& ownIp, std::int32_t ownId, Deadline deadline) override {
        PresenceCalls calls([] { return std::string(kOwnAddress); });
        calls.BoundedUntil(deadline).StopListener(ownIp, ownId);
    }

    void Answers(std::int32_t contactId) {
        std::lock_guard lock(m_lock);
        m_answering.insert(contactId);
    }
    void HangsUntilCancelled(std::int32_t contactId) { m_hangsUntilCancelled = contactId; }
    void SilentFor(std::chrono::milliseconds limit) { m_silentMs = static_cast<int>(limit.count()); }
    bool Hanging() const { return m_hanging.load(); }
    std::vector<Call> Calls() {
        std::lock_guard lock(m_lock);
        return m_calls;
    }
    // The calls that told something to that contact.
    std::vector<Call> CallsTo(std::int32_t contactId) {
        std::vector<Call> to;
        for (const Call& call : Calls())
            if (std::get<0>(call) == contactId)
                to.push_back(call);
        return to;
    }
    void Forget() {
        std::lock_guard lock(m_lock);
        m_calls.clear();
    }

private:
    void Record(Call call) {
        std::lock_guard lock(m_lock);
        m_calls.push_back(std::move(call));
    }

    std::mutex m_lock;
    std::set<std::int32_t> m_answering;
    std::vector<Call> m_calls;
    std::atomic<const std::atomic<bool>*> m_running{nullptr};
    std::atomic<std::int32_t> m_hangsUntilCancelled{0};
    std::atomic<bool> m_hanging{false};
    std::atomic<int> m_silentMs{0};
};

template <typename Item>
bool Contains(const std::vector<Item>& items, const Item& item) {
    return std::find(items.begin(), items.end(), item) != items.end();
}

class ContactRoundsTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::filesystem::path runtime = m_dir.Path() / "run";
        std::filesystem::create_directories(runtime);
        ::chmod(runtime.c_str(), 0700);
        m_environment.Set("XDG_RUNTIME_DIR", runtime.string());
        m_environment.Set("XDG_CONFIG_HOME", (m_dir.Path() / "config").string());
        // The listener binds this; no directory or other user is reached.
        m_environment.Set("HALVARA_ADDRESS", kOwnAddress);
    }

    std::unique_ptr<Halvara> MakeEngine(int liveCheckMs = Halvara::kLiveCheckIntervalMs) {
        auto engine =
            std::make_unique<Halvara>(EngineCollaborators{m_store, m_directory, m_peers, m_probe},
                                      Halvara::Intervals{50, liveCheckMs});
        EXPECT_EQ(engine->State(), Halvara::kOnline);
        return engine;
    }

    // Lists a contact the directory places at ip.
    void Add(Halvara& engine, std::int32_t id, const std::string& ip, bool asFriend = true) {
        m_directory.SetAddress(id, ip);
        engine.Add(id, asFriend);
    }

    testsupport::TempDir m_dir;
    testsupport::ScopedEnvironment m_environment;
    platform::RegistryStore m_store{m_dir.Path() / "registry"};
    MemoryDirectory m_directory;
    MemoryPeers m_peers;
    CurrentIPProbe m_probe{[] { return std::string(kOwnAddress); }};
};

TEST_F(ContactRoundsTest, GoingOnlineTellsFriendsAtTheirNewAddressesAndListsWhoWaited) {
    {
        auto engine = MakeEngine();
        ASSERT_EQ(engine->GetMyID(), kOwnId);
        Add(*engine, 601, "10.0.0.1");
    }
    // While we were away the friend moved, and 702 added us.
    m_directory.SetAddress(601, "10.0.0.2");
    m_directory.SetAddress(702, "10.0.0.72");
    m_directory.SetWaiting(kOwnId, {702, kOwnId});
    m_peers.Forget();

    auto engine = MakeEngine();
    ASSERT_TRUE(testsupport::WaitFor([&] { return engine->ContactRounds() >= 1; }, 10s));

    EXPECT_EQ(engine->GetIP(601), "10.0.0.2");
    const auto toFriend = m_peers.CallsTo(601);
    EXPECT_TRUE(Contains(toFriend, {601, "10.0.0.2", kOwnAddress}));
    EXPECT_EQ(std::count_if(toFriend.begin(), toFriend.end(),
                            [](const auto& call) { return std::get<1>(call) == "10.0.0.1"; }),
              0)
        << "the stored address was told";
    EXPECT_TRUE(Contains(m_directory.Published(), {kOwnId, std::string(kOwnAddress)}));

    // Who waited is listed (not ourselves) and hears of it; the directory
    // forgets the list.
    EXPECT_EQ(engine->GetAcquaintance(0), 702);
    EXPECT_THROW(engine->GetAcquaintance(1), CStdExcept);
    EXPECT_TRUE(Contains(m_peers.CallsTo(702), {702, "10.0.0.72", "acquaintance notice"}));
    EXPECT_TRUE(m_directory.Waiting(kOwnId).empty());
}

TEST_F(ContactRoundsTest, LiveCheckMarksASilentContactOfflineAndKeepsOneThatAnswers) {
    auto engine = MakeEngine(100);
    m_peers.Answers(601);
    Add(*engine, 601, "10.0.0.1");
    Add(*engine, 602, "10.0.0.2", false);
    const int before = engine->LiveCheckRounds();
    ASSERT_TRUE(testsupport::WaitFor([&] { return engine->LiveCheckRounds() >= before + 2; }, 10s));

    EXPECT_TRUE(engine->IsOnline(601, -1, 0));
    EXPECT_EQ(engine->GetIP(601), "10.0.0.1");
    EXPECT_FALSE(engine->IsOnline(602, -1, 0));
    EXPECT_EQ(engine->GetIP(602), "0.0.0.0");
}

TEST_F(ContactRoundsTest, EveryFriendIsCheckedSideBySideWithinAboutOneLimit) {
    auto engine = MakeEngine();
    // 30 friends: every third answers, the others are silent for a second.
    std::vector<FriendOnline> expected;
    for (std::int32_t id = 700; id < 730; ++id) {
        if (id % 3 == 0)
            m_peers.Answers(id);
        Add(*engine, id, "10.0.1." + std::to_string(id - 690));
        expected.push_back({id, id % 3 == 0});
    }
    Add(*engine, 800, "10.0.2.1", false);
    m_peers.SilentFor(1s);

    const auto start = std::chrono::steady_clock::now();
    const std::vector<FriendOnline> answers = engine->CheckFriendsOnline(-1, 1000);
    const auto took = std::chrono::steady_clock::now() - start;
    // One after another the 20 silent ones would take 20 s.
    EXPECT_LT(took, 10s);
    // The friends in list order, the acquaintance and the own entry left out.
    EXPECT_EQ(answers, expected);
    EXPECT_FALSE(engine->IsOnline(701, -1, 0));
    EXPECT_TRUE(engine->IsOnline(702, -1, 0));

    // No more than asked for, the first ones.
    m_peers.SilentFor(0ms);
    const auto firstFive = engine->CheckFriendsOnline(-1, 5);
    EXPECT_EQ(firstFive, std::vector<FriendOnline>(expected.begin(), expected.begin() + 5));
}

TEST_F(ContactRoundsTest, TheEndTellsEveryContactWithAnAddressEvenOneWhoseCallItCutShort) {
    auto engine = MakeEngine(100);
    m_peers.Answers(601);
    m_peers.HangsUntilCancelled(603);
    Add(*engine, 601, "10.0.0.1");
    Add(*engine, 603, "10.0.0.3", false);
    engine->Add(604, true); // the directory knows no address for it
    ASSERT_TRUE(testsupport::WaitFor([&] { return m_peers.Hanging(); }, 10s));
    m_peers.Forget();

    const auto start = std::chrono::steady_clock::now();
    engine.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);

    // 603 was never seen online, and the live check's call to it was cut by
    // the end: that says nothing about 603, which still hears 0.0.0.0.
    const auto calls = m_peers.Calls();
    EXPECT_TRUE(Contains(calls, {601, "10.0.0.1", "0.0.0.0"}));
    EXPECT_TRUE(Contains(calls, {603, "10.0.0.3", "0.0.0.0"}));
    const auto toUnplaced = m_peers.CallsTo(604);
    EXPECT_TRUE(std::none_of(toUnplaced.begin(), toUnplaced.end(),
                             [](const auto& call) { return std::get<2>(call) == "0.0.0.0"; }));
    ASSERT_FALSE(m_directory.Published().empty());
    EXPECT_EQ(m_directory.Published().back(), std::make_pair(kOwnId, std::string("0.0.0.0")));
}

} // namespace
