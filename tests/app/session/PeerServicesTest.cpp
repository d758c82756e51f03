#include "app/session/PeerServices.h"

#include "app/files/DrovickSettings.h"
#include "app/files/LogEvent.h"
#include "app/files/ShareTable.h"
#include "app/peer/PresenceDirectory.h"
#include "app/peer/messages/InstantMessageDisplay.h"
#include "app/peer/wire/TimeOutSocket.h"
#include "app/session/ShareRequestFiles.h"
#include "platform/MessageBus.h"
#include "support/TestSupport.h"

#include <atomic>
#include <gtest/gtest.h>
#include <mutex>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;
using testsupport::WaitFor;

namespace {

constexpr char kAddress[] = "127.0.0.7";

class NobodyOnline : public PresenceDirectory {
public:
    bool IsInitialized() override { return false; }
    std::string MyAddress() override { return {}; }
    std::string MyName() override { return {}; }
    std::vector<std::string> FriendAddresses() override { return {}; }
    std::optional<std::vector<std::string>> AnonymousAddresses(bool) override {
        return std::nullopt;
    }
};

// Everything the observer was told, in order, read from the test's thread.
class Recorder : public PeerServicesObserver {
public:
    struct Change {
        PeerServerKind server;
        PeerServerState state;
        int port;
        bool operator==(const Change&) const = default;
    };
    void ServerStateChanged(PeerServerKind server, PeerServerState state, int port) override {
        std::lock_guard lock(m_mutex);
        m_changes.push_back({server, state, port});
    }
    void SharesChanged(const std::string& line) override {
        std::lock_guard lock(m_mutex);
        m_lines.push_back(line);
    }
    std::vector<Change> Changes() const {
        std::lock_guard lock(m_mutex);
        return m_changes;
    }
    std::vector<Change> ChangesTo(PeerServerState state) const {
        std::vector<Change> matching;
        for (const Change& change : Changes())
            if (change.state == state)
                matching.push_back(change);
        return matching;
    }
    std::vector<PeerServerState> StatesOf(PeerServerKind server) const {
        std::vector<PeerServerState> states;
        for (const Change& change : Changes())
            if (change.server == server)
                states.push_back(change.state);
        return states;
    }
    std::vector<std::string> Lines() const {
        std::lock_guard lock(m_mutex);
        return m_lines;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<Change> m_changes;
    std::vector<std::string> m_lines;
};

class PeerServicesTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_environment.Set("XDG_RUNTIME_DIR", (m_home.Path()).string());
        m_environment.Set("XDG_CONFIG_HOME", (m_home.Path() / "config").string());
        m_environment.Set("HALVARA_ADDRESS", kAddress);
        m_ports.remoteFileSystem = testsupport::FreeTcpPort(kAddress);
        m_ports.search = NextFree(m_ports.remoteFileSystem);
        m_ports.transfer = NextFree(m_ports.search);
        m_ports.messenger = NextFree(m_ports.transfer);
        m_ports.searchResult = NextFree(m_ports.messenger);
    }

    static int NextFree(int after) {
        int port = testsupport::FreeTcpPort(kAddress);
        while (port == after)
            port = testsupport::FreeTcpPort(kAddress);
        return port;
    }

    bool Start(PeerServices& services) {
        return services.Start(m_log, *m_display, m_presence, m_ports, &m_recorder);
    }
    void MakeDisplay(PeerServices& services) {
        m_display = std::make_unique<InstantMessageDisplay>(&services.Settings(), nullptr);
    }

    testsupport::ScopedEnvironment m_environment;
    testsupport::TempDir m_home;
    PeerServerPorts m_ports{};
    LogEvent m_log;
    NobodyOnline m_presence;
    std::unique_ptr<InstantMessageDisplay> m_display;
    Recorder m_recorder;
};

TEST_F(PeerServicesTest, StartsTheFourServersAndStopsThemOnceInStages) {
    PeerServices services("drovick-peer serve");
    std::string holder;
    ASSERT_EQ(services.TakeGuard(holder), PeerServices::Guard::Taken) << holder;
    std::string error;
    ASSERT_TRUE(services.LoadSettings(error)) << "a missing file is fine: " << error;
    MakeDisplay(services);
    ASSERT_TRUE(Start(services));
    EXPECT_FALSE(Start(services)) << "already started";

    ASSERT_TRUE(
        WaitFor([&] { return m_recorder.ChangesTo(PeerServerState::Listening).size() == 4; }, 10s));
    for (PeerServerKind server : kPeerServerKinds) {
        EXPECT_EQ(services.StateOf(server), PeerServerState::Listening);
        EXPECT_EQ(m_recorder.StatesOf(server),
                  std::vector<PeerServerState>{PeerServerState::Listening});
        EXPECT_TRUE(testsupport::CanConnect(kAddress, services.PortOf(server), 5s));
    }
    const auto listening = m_recorder.ChangesTo(PeerServerState::Listening);
    for (const auto& change : listening)
        EXPECT_EQ(change.port, services.PortOf(change.server));

    services.Stop();
    // Every stop is told before Stop returns, once, and the ports are free.
    for (PeerServerKind server : kPeerServerKinds) {
        EXPECT_EQ(
            m_recorder.StatesOf(server),
            (std::vector<PeerServerState>{PeerServerState::Listening, PeerServerState::Stopped}));
        EXPECT_EQ(services.StateOf(server), PeerServerState::Stopped);
        EXPECT_FALSE(testsupport::CanConnect(kAddress, services.PortOf(server), 1s));
    }
    const auto told = m_recorder.Changes().size();
    services.Stop();
    EXPECT_EQ(m_recorder.Changes().size(), told) << "a second Stop does nothing";

    // Started again after a stop, the same object serves again.
    ASSERT_TRUE(Start(services));
    EXPECT_TRUE(
        WaitFor([&] { return m_recorder.ChangesTo(PeerServerState::Listening).size() == 8; }, 10s));
}

// A port someone else holds: the server is reported slow while it keeps
// trying, then as having given up; the others serve meanwhile, and the remote
// file system is one a front end cannot serve without.
TEST_F(PeerServicesTest, ATakenPortIsSlowThenGivenUp) {
    TimeOutSocket squatter;
    ASSERT_TRUE(squatter.Listen(kAddress, m_ports.remoteFileSystem, 4));
    PeerServices services("drovick");
    PeerServerPatience patience;
    patience.listenAttempts = 3;
    patience.listenRetryDelay = 1000ms;
    patience.slowAfter = 200ms;
    services.SetPatience(patience);
    MakeDisplay(services);
    ASSERT_TRUE(Start(services));

    ASSERT_TRUE(WaitFor(
        [&] {
            return services.StateOf(PeerServerKind::RemoteFileSystem) == PeerServerState::GaveUp;
        },
        20s));
    EXPECT_EQ(m_recorder.StatesOf(PeerServerKind::RemoteFileSystem),
              (std::vector<PeerServerState>{PeerServerState::Slow, PeerServerState::GaveUp}));
    EXPECT_TRUE(PeerServices::IsEssential(PeerServerKind::RemoteFileSystem));
    EXPECT_TRUE(PeerServices::IsEssential(PeerServerKind::Transfer));
    EXPECT_FALSE(PeerServices::IsEssential(PeerServerKind::Search));
    EXPECT_FALSE(PeerServices::IsEssential(PeerServerKind::Messenger));
    for (PeerServerKind server :
         {PeerServerKind::Search, PeerServerKind::Transfer, PeerServerKind::Messenger})
        EXPECT_EQ(services.StateOf(server), PeerServerState::Listening);

    services.Stop();
    EXPECT_EQ(m_recorder.StatesOf(PeerServerKind::RemoteFileSystem).back(),
              PeerServerState::Stopped);
}

// share and unshare reach the running services over the message bus: the
// change is saved, served at once, told to the observer, and a window's
// listener on the share table hears of it.
TEST_F(PeerServicesTest, AShareAskedOverTheBusReachesTheTablesListeners) {
    PeerServices services("drovick");
    std::string holder;
    ASSERT_EQ(services.TakeGuard(holder), PeerServices::Guard::Taken) << holder;
    MakeDisplay(services);
    const auto& table = services.Settings().GetShareTable();
    std::atomic<int> heard{0};
    const int id = table->AddListener([&] { ++heard; });
    ASSERT_TRUE(Start(services));

    const auto folder = m_home.Path() / "Music";
    std::filesystem::create_directory(folder);
    auto receiver = platform::MessageReceiver::Create();
    const auto requests = sharerequest::Folder();
    const auto token = sharerequest::NewToken();
    ASSERT_TRUE(sharerequest::WriteWholeFile(
        sharerequest::FileOf(requests, token, ".request"),
        sharerequest::EncodeRequest({ShareChange::Verb::Share, folder.string()})));
    const auto ask = platform::MessageBus::RegisterMessage(sharerequest::kAskMessage);
    ASSERT_GE(platform::MessageBus::PostToAll(ask, token), 2) << "the services listen";

    const auto answer = sharerequest::FileOf(requests, token, ".answer");
    ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(answer); }, 10s));
    EXPECT_EQ(heard.load(), 1);
    EXPECT_EQ(table->Entries(), std::vector<std::string>{folder.string() + "/"});
    ASSERT_TRUE(WaitFor([&] { return !m_recorder.Lines().empty(); }, 10s));
    EXPECT_EQ(m_recorder.Lines().front(),
              "shared " + folder.string() + "; serving 1 shared folder");

    DrovickSettings saved;
    ASSERT_TRUE(saved.LoadSettings(services.SettingsPath()));
    EXPECT_EQ(saved.GetShareTable()->Entries(), table->Entries());
    table->RemoveListener(id);
}

// The guard's holder names itself, so a second start in another process can
// say who runs; once the holder is gone the guard is free again.
TEST_F(PeerServicesTest, ASecondStartNamesTheHoldersProgramAndProcess) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    if (child == 0) {
        PeerServices first("drovick");
        std::string holder;
        const char byte = first.TakeGuard(holder) == PeerServices::Guard::Taken ? 'y' : 'n';
        (void)!write(ready[1], &byte, 1);
        pause();
        _exit(0);
    }
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    ASSERT_EQ(byte, 'y');

    PeerServices second("drovick-peer serve");
    std::string holder;
    EXPECT_EQ(second.TakeGuard(holder), PeerServices::Guard::HeldByOther);
    EXPECT_EQ(holder, "drovick, process " + std::to_string(child));

    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
    EXPECT_EQ(second.TakeGuard(holder), PeerServices::Guard::Taken) << holder;
}

} // namespace
