#include "service/QuemblyApp.h"

#include "bridge/BridgeRecord.h"
#include "bridge/CStdExcept.h"
#include "bridge/MemoryChannel.h"
#include "platform/NamedEvent.h"
#include "platform/SingleInstanceGuard.h"
#include "service/Halvara.h"
#include "support/TestSupport.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>

namespace {

using namespace std::chrono_literals;

// The application object run inside the test process, in a private session.
class QuemblyAppTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto runtime = m_dir.Path() / "run";
        std::filesystem::create_directories(runtime);
        ::chmod(runtime.c_str(), 0700);
        ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    }

    static bool GuardHeld() {
        return platform::SingleInstanceGuard::IsHeld(QuemblyApp::kGuardName);
    }

    // One whole exchange of a client over the bridge: the command with its
    // first two numbers out, the reply in; the reply's value at 4.
    static std::int32_t Call(MemoryChannel& client, std::int32_t code, std::int32_t first,
                             std::int32_t second) {
        BridgeRecord request;
        request.SetCode(code);
        request.SetI32At(4, first);
        request.SetI32At(8, second);
        client.BeginExchange();
        client.Send(request.Data(), BridgeRecord::kSize);
        BridgeRecord reply;
        EXPECT_EQ(client.Receive(reply.Data(), BridgeRecord::kSize), int(BridgeRecord::kSize));
        client.EndExchange();
        return reply.I32At(4);
    }

    testsupport::TempDir m_dir;
};

// An engine that tells the test when it goes away.
class WatchedEngine : public Halvara {
public:
    explicit WatchedEngine(std::atomic<int>& destroyed)
        : m_destroyed(destroyed) {}
    ~WatchedEngine() override { ++m_destroyed; }

private:
    std::atomic<int>& m_destroyed;
};

// An engine that looks, while it goes away, whether a client could still get
// the bridge's call lock.
class CallLockWatchingEngine : public Halvara {
public:
    explicit CallLockWatchingEngine(std::atomic<int>& callLockFree)
        : m_callLockFree(callLockFree) {}
    ~CallLockWatchingEngine() override {
        auto callLock = platform::NamedEvent::OpenOrCreate("MemoryChannel function protect");
        m_callLockFree = callLock->IsSignalled() ? 1 : 0;
    }

private:
    std::atomic<int>& m_callLockFree;
};

TEST_F(QuemblyAppTest, NoClientGetsInWhileTheEngineGoesAway) {
    std::atomic<int> callLockFree{-1};
    QuemblyApp app([&] { return std::make_unique<CallLockWatchingEngine>(callLockFree); });
    ASSERT_TRUE(app.InitInstance());
    auto run = std::async(std::launch::async, [&] { return app.Run(); });
    MemoryChannel client(MemoryChannel::kClientRole);
    client.Open(MemoryChannel::kPageName, 1);
    for (std::int32_t on : {1, 0})
        Call(client, kCmdUpdateTOS, 155, on);
    ASSERT_EQ(run.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(callLockFree.load(), 0) << "a client could have sent a request nobody reads";
}

TEST_F(QuemblyAppTest, AServiceNobodyRegistersWithEndsByItself) {
    std::atomic<int> destroyed{0};
    QuemblyApp app([&] { return std::make_unique<WatchedEngine>(destroyed); }, 600ms);
    ASSERT_TRUE(app.InitInstance());
    auto run = std::async(std::launch::async, [&] { return app.Run(); });
    // A client that calls keeps it, even without a registration.
    MemoryChannel client(MemoryChannel::kClientRole);
    client.Open(MemoryChannel::kPageName, 1);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(Call(client, kCmdNumActiveTOS, 0, 0), 0);
        std::this_thread::sleep_for(200ms);
    }
    // A registered application keeps it however long nobody calls.
    EXPECT_EQ(Call(client, kCmdUpdateTOS, 155, 1), 1);
    EXPECT_EQ(run.wait_for(1500ms), std::future_status::timeout);
    EXPECT_TRUE(GuardHeld());
    // Unregistered again, but without ending it (a second registration stays
    // for a moment): once that goes too the service ends at once.
    EXPECT_EQ(Call(client, kCmdUpdateTOS, 155, 1), 1);
    EXPECT_EQ(Call(client, kCmdUpdateTOS, 155, 0), 1);
    EXPECT_EQ(Call(client, kCmdUpdateTOS, 155, 0), 1);
    ASSERT_EQ(run.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(destroyed.load(), 1);

    // Nobody at all: it ends after the limit.
    QuemblyApp idle([&] { return std::make_unique<WatchedEngine>(destroyed); }, 600ms);
    ASSERT_TRUE(idle.InitInstance());
    auto idleRun = std::async(std::launch::async, [&] { return idle.Run(); });
    EXPECT_EQ(idleRun.wait_for(300ms), std::future_status::timeout);
    ASSERT_EQ(idleRun.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(idleRun.get(), QuemblyApp::kExitDone);
    EXPECT_EQ(destroyed.load(), 2);
    EXPECT_FALSE(GuardHeld());
}

TEST_F(QuemblyAppTest, EngineThatCannotBeMadeEndsTheProcessAndFreesTheGuard) {
    QuemblyApp app([]() -> std::unique_ptr<PresenceEngine> { throw CStdExcept("Friend", 40); });
    ASSERT_TRUE(app.InitInstance());
    auto run = std::async(std::launch::async, [&] { return app.Run(); });
    ASSERT_EQ(run.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(run.get(), QuemblyApp::kExitDone);
    EXPECT_FALSE(GuardHeld());
}

TEST_F(QuemblyAppTest, SecondInstanceIsRefusedWhileTheFirstServes) {
    std::atomic<int> destroyed{0};
    QuemblyApp first([&] { return std::make_unique<WatchedEngine>(destroyed); });
    ASSERT_TRUE(first.InitInstance());
    EXPECT_TRUE(GuardHeld());

    QuemblyApp second([&] { return std::make_unique<WatchedEngine>(destroyed); });
    EXPECT_FALSE(second.InitInstance());
    EXPECT_EQ(second.ExitCode(), QuemblyApp::kExitAlreadyRunning);
    EXPECT_TRUE(GuardHeld());

    // Register and drop one TOS through a client: the first ends by itself.
    auto run = std::async(std::launch::async, [&] { return first.Run(); });
    MemoryChannel client(MemoryChannel::kClientRole);
    client.Open(MemoryChannel::kPageName, 1);
    for (std::int32_t on : {1, 0})
        EXPECT_EQ(Call(client, kCmdUpdateTOS, 155, on), 1);
    ASSERT_EQ(run.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(run.get(), QuemblyApp::kExitDone);
    EXPECT_EQ(destroyed.load(), 1);
    EXPECT_FALSE(GuardHeld());
}

} // namespace
