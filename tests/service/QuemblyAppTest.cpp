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
    for (std::int32_t on : {1, 0}) {
        BridgeRecord request;
        request.SetCode(kCmdUpdateTOS);
        request.SetI32At(4, 155);
        request.SetI32At(8, on);
        client.BeginExchange();
        client.Send(request.Data(), BridgeRecord::kSize);
        BridgeRecord reply;
        EXPECT_EQ(client.Receive(reply.Data(), BridgeRecord::kSize), int(BridgeRecord::kSize));
        client.EndExchange();
    }
    ASSERT_EQ(run.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(callLockFree.load(), 0) << "a client could have sent a request nobody reads";
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
    for (std::int32_t on : {1, 0}) {
        BridgeRecord request;
        request.SetCode(kCmdUpdateTOS);
        request.SetI32At(4, 155);
        request.SetI32At(8, on);
        client.BeginExchange();
        client.Send(request.Data(), BridgeRecord::kSize);
        BridgeRecord reply;
        EXPECT_EQ(client.Receive(reply.Data(), BridgeRecord::kSize), int(BridgeRecord::kSize));
        client.EndExchange();
        EXPECT_EQ(reply.I32At(4), 1);
    }
    ASSERT_EQ(run.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(run.get(), QuemblyApp::kExitDone);
    EXPECT_EQ(destroyed.load(), 1);
    EXPECT_FALSE(GuardHeld());
}

} // namespace
