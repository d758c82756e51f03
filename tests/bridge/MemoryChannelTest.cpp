#include "bridge/MemoryChannel.h"

#include "ChannelTestSupport.h"
#include "bridge/CStdExcept.h"
#include "platform/ByteOrder.h"
#include "platform/NamedEvent.h"
#include "platform/SessionNamespace.h"
#include "platform/SharedPage.h"
#include "platform/SingleInstanceGuard.h"
#include "support/TestSupport.h"

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;

namespace {

class MemoryChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("XDG_RUNTIME_DIR", m_runtime.Path().c_str(), 1);
        unsetenv("HALVSERVE_PATH");
        unsetenv("HALVARA_BRIDGE_START_LIMIT_MS");
        // This process plays the running service: clients only enter an
        // exchange while the service's guard is held.
        m_serviceGuard =
            platform::SingleInstanceGuard::TryAcquire(MemoryChannel::kServiceGuardName);
        ASSERT_NE(m_serviceGuard, nullptr);
    }
    testsupport::TempDir m_runtime;
    std::unique_ptr<platform::SingleInstanceGuard> m_serviceGuard;
};

template <typename Call>
int RefusalOf(Call call) {
    try {
        call();
    } catch (const CStdExcept& failure) {
        EXPECT_EQ(failure.Unit(), "MemoryChannel");
        return failure.Number();
    }
    return 0;
}

TEST_F(MemoryChannelTest, EveryOperationOfAClosedChannelIsRefusedWithItsNumber) {
    MemoryChannel channel(MemoryChannel::kClientRole);
    std::uint8_t buffer[16] = {};
    EXPECT_EQ(RefusalOf([&] { channel.Send(buffer, 4); }), 65);
    EXPECT_EQ(RefusalOf([&] { channel.Receive(buffer, sizeof buffer); }), 113);
    EXPECT_EQ(RefusalOf([&] { channel.BeginExchange(); }), 240);
    EXPECT_EQ(RefusalOf([&] { channel.EndExchange(); }), 256);
    EXPECT_EQ(RefusalOf([&] { channel.ResetLocks(); }), 272);
    EXPECT_EQ(RefusalOf([&] { channel.RecoverAbandonedExchange(); }),
              MemoryChannel::kRecoverRefused);
    try {
        channel.Send(buffer, 4);
    } catch (const CStdExcept& failure) {
        EXPECT_STREQ(failure.what(), "MemoryChannel : 65\n");
    }
    // Closing what was never opened, or twice, only clears the flag.
    channel.Close();
    channel.Close();
    EXPECT_FALSE(channel.IsOpen());
}

TEST_F(MemoryChannelTest, OpenTwiceIsRefusedAndTheFirstOpenStaysInUse) {
    MemoryChannel service(MemoryChannel::kServiceRole);
    MemoryChannel client(MemoryChannel::kClientRole);
    service.Open(MemoryChannel::kPageName, 0);
    client.Open(MemoryChannel::kPageName, 1);
    EXPECT_EQ(RefusalOf([&] { client.Open(MemoryChannel::kPageName, 1); }), 36);
    EXPECT_EQ(RefusalOf([&] { client.Open("another page", 1); }), 36);
    ASSERT_TRUE(client.IsOpen());
    // Opened but no exchange: nothing may move.
    std::uint8_t byte = 1;
    EXPECT_EQ(RefusalOf([&] { client.Send(&byte, 1); }), 65);
    EXPECT_EQ(RefusalOf([&] { client.Receive(&byte, 1); }), 113);
    EXPECT_EQ(RefusalOf([&] { service.RecoverAbandonedExchange(); }), 0);
    EXPECT_EQ(RefusalOf([&] { client.RecoverAbandonedExchange(); }),
              MemoryChannel::kRecoverRefused);
    EXPECT_EQ(RefusalOf([&] { client.BeginExchange(); }), 0) << "the first open still works";
    EXPECT_EQ(RefusalOf([&] { client.EndExchange(); }), 0);
    client.Close();
    client.Close();
    EXPECT_FALSE(client.IsOpen());
    EXPECT_EQ(RefusalOf([&] { client.BeginExchange(); }), 240);
}

TEST_F(MemoryChannelTest, OpenThatCannotMakeThePageIsRefusedWith43) {
    m_serviceGuard.reset();
    std::filesystem::remove_all(m_runtime.Path() / "halvara");
    std::ofstream((m_runtime.Path() / "halvara").string()) << "a file where the folder goes";
    MemoryChannel channel(MemoryChannel::kClientRole);
    EXPECT_EQ(RefusalOf([&] { channel.Open(MemoryChannel::kPageName, 1); }), 43);
    EXPECT_FALSE(channel.IsOpen());
}

TEST_F(MemoryChannelTest, RecordsUpToTheLimitTravelInTheirFixedPlacesOfThePage) {
    MemoryChannel service(MemoryChannel::kServiceRole);
    MemoryChannel client(MemoryChannel::kClientRole);
    service.Open(MemoryChannel::kPageName, 0);
    client.Open(MemoryChannel::kPageName, 1);
    auto page = platform::SharedPage::OpenOrCreate(MemoryChannel::kPageName, 4096);

    client.BeginExchange();
    std::vector<std::uint8_t> request(2045);
    for (std::size_t i = 0; i < request.size(); ++i)
        request[i] = static_cast<std::uint8_t>(i * 7);
    EXPECT_EQ(RefusalOf([&] { client.Send(request.data(), 2045); }), 65);
    EXPECT_EQ(platform::LoadLE32(page->Data()), 0u) << "a refused Send writes nothing";
    client.Send(request.data(), 2044);
    EXPECT_EQ(platform::LoadLE32(page->Data()), 2044u);
    EXPECT_EQ(page->Data()[4 + 2043], request[2043]);

    service.BeginExchange();
    std::vector<std::uint8_t> received(4096);
    ASSERT_EQ(service.Receive(received.data(), received.size()), 2044);
    EXPECT_TRUE(std::equal(request.begin(), request.begin() + 2044, received.begin()));

    std::vector<std::uint8_t> reply(100, 0xab);
    reply[0] = 28;
    service.Send(reply.data(), reply.size());
    EXPECT_EQ(platform::LoadLE32(page->Data() + 2048), 100u);
    EXPECT_EQ(page->Data()[2052], 28);
    std::uint8_t small[10] = {};
    // A smaller buffer takes the front of the record; the rest is lost.
    EXPECT_EQ(client.Receive(small, sizeof small), 10);
    EXPECT_TRUE(std::equal(small, small + 10, reply.begin()));
    service.EndExchange();
    client.EndExchange();
    EXPECT_FALSE(client.ExchangeActive());
    EXPECT_EQ(RefusalOf([&] { client.Send(request.data(), 4); }), 65);
}

TEST_F(MemoryChannelTest, AForgedLengthWordNeverReadsPastTheHalf) {
    MemoryChannel service(MemoryChannel::kServiceRole);
    MemoryChannel client(MemoryChannel::kClientRole);
    service.Open(MemoryChannel::kPageName, 0);
    client.Open(MemoryChannel::kPageName, 1);
    auto page = platform::SharedPage::OpenOrCreate(MemoryChannel::kPageName, 4096);
    client.BeginExchange();
    service.BeginExchange();
    std::vector<std::uint8_t> buffer(8192);

    std::uint8_t reply[8] = {28};
    service.Send(reply, sizeof reply);
    platform::StoreLE32s(page->Data() + 2048, 0x7fffffff);
    EXPECT_EQ(client.Receive(buffer.data(), buffer.size()), 2044);

    service.Send(reply, sizeof reply);
    platform::StoreLE32s(page->Data() + 2048, -5);
    EXPECT_EQ(client.Receive(buffer.data(), buffer.size()), 0);
    service.EndExchange();
    client.EndExchange();
}

TEST_F(MemoryChannelTest, TheServiceOpenFreesBothLocksAndForgetsStaleEvents) {
    auto requestFull = platform::NamedEvent::OpenOrCreate("Quembly work wait event recv");
    auto replyFree = platform::NamedEvent::OpenOrCreate("Quembly work wait event send");
    auto requestFree = platform::NamedEvent::OpenOrCreate("Quembly function copy event send");
    auto replyFull = platform::NamedEvent::OpenOrCreate("Quembly function copy event recv");
    auto memoryLock = platform::NamedEvent::OpenOrCreate("Quembly mem wait event");
    auto callLock = platform::NamedEvent::OpenOrCreate("MemoryChannel function protect");
    for (auto* stale : {requestFull.get(), replyFree.get(), requestFree.get(), replyFull.get()})
        stale->Set();

    MemoryChannel client(MemoryChannel::kClientRole);
    client.Open(MemoryChannel::kPageName, 1);
    EXPECT_FALSE(callLock->IsSignalled()) << "a client never frees the call lock by opening";
    EXPECT_TRUE(requestFull->IsSignalled());

    MemoryChannel service(MemoryChannel::kServiceRole);
    service.Open(MemoryChannel::kPageName, 0);
    EXPECT_TRUE(callLock->IsSignalled());
    EXPECT_TRUE(memoryLock->IsSignalled());
    for (auto* stale : {requestFull.get(), replyFree.get(), requestFree.get(), replyFull.get()})
        EXPECT_FALSE(stale->IsSignalled());

    // The exchange order: the client's Begin takes the call lock and
    // opens its first Send; its End gives the lock back and withdraws that
    // permission; the service's Begin opens its first reply.
    client.BeginExchange();
    EXPECT_FALSE(callLock->IsSignalled());
    EXPECT_TRUE(requestFree->IsSignalled());
    service.BeginExchange();
    EXPECT_TRUE(replyFree->IsSignalled());
    client.EndExchange();
    EXPECT_TRUE(callLock->IsSignalled());
    EXPECT_FALSE(requestFree->IsSignalled());
    service.EndExchange();
    EXPECT_FALSE(replyFree->IsSignalled());
    EXPECT_EQ(RefusalOf([&] { service.ResetLocks(); }), 0);
}

TEST_F(MemoryChannelTest, WithoutAServiceBeginExchangeGivesUpAfterTheStartLimit) {
    setenv("HALVARA_BRIDGE_START_LIMIT_MS", "300", 1);
    m_serviceGuard.reset();
    MemoryChannel client(MemoryChannel::kClientRole);
    client.Open(MemoryChannel::kPageName, 1);
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(RefusalOf([&] { client.BeginExchange(); }), MemoryChannel::kServiceGone);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2500ms);
    EXPECT_FALSE(client.ExchangeActive());

    // The caller still ends the exchange, as every library call does; that must
    // not hand out a call lock this client never had.
    client.EndExchange();
    auto callLock = platform::NamedEvent::OpenOrCreate("MemoryChannel function protect");
    EXPECT_FALSE(callLock->IsSignalled());
}

// How long BeginExchange takes when the flag is raised 300 ms into it.
std::chrono::steady_clock::duration BeginUntilStopped(MemoryChannel& client,
                                                      std::atomic<bool>& stop) {
    stop = false;
    const auto started = std::chrono::steady_clock::now();
    std::thread raiser([&] {
        std::this_thread::sleep_for(300ms);
        stop = true;
    });
    EXPECT_EQ(RefusalOf([&] { client.BeginExchange(); }), MemoryChannel::kStopRequested);
    raiser.join();
    return std::chrono::steady_clock::now() - started;
}

TEST_F(MemoryChannelTest, AStoppedClientLeavesItsWaitsBeforeTheExchangeAndKeepsNoLock) {
    auto callLock = platform::NamedEvent::OpenOrCreate("MemoryChannel function protect");
    std::atomic<bool> stop{false};
    MemoryChannel client(MemoryChannel::kClientRole);
    client.SetStopFlag(&stop);
    client.Open(MemoryChannel::kPageName, 1);

    // A service that holds its guard but never opens the channel: without the
    // flag the client would wait for the call lock as long as the guard is held.
    ASSERT_FALSE(callLock->IsSignalled());
    EXPECT_LT(BeginUntilStopped(client, stop), 2000ms);
    client.EndExchange();
    EXPECT_FALSE(callLock->IsSignalled());

    // No service at all, within the start-up limit of ten seconds.
    m_serviceGuard.reset();
    EXPECT_LT(BeginUntilStopped(client, stop), 2000ms);

    // A free call lock is not taken once the flag is up.
    m_serviceGuard = platform::SingleInstanceGuard::TryAcquire(MemoryChannel::kServiceGuardName);
    MemoryChannel service(MemoryChannel::kServiceRole);
    service.Open(MemoryChannel::kPageName, 0);
    ASSERT_TRUE(callLock->IsSignalled());
    EXPECT_EQ(RefusalOf([&] { client.BeginExchange(); }), MemoryChannel::kStopRequested);
    client.EndExchange();
    EXPECT_TRUE(callLock->IsSignalled());

    // Lowered again, the client goes on as before.
    stop = false;
    client.BeginExchange();
    EXPECT_FALSE(callLock->IsSignalled());
    client.EndExchange();
    EXPECT_TRUE(callLock->IsSignalled());
    client.SetStopFlag(nullptr);
}

TEST_F(MemoryChannelTest, TheServiceProgramIsLookedForBesideThisBinaryThenInLibexec) {
    // This test program plays the part of the library: the code sits in it.
    auto folder = std::filesystem::read_symlink("/proc/self/exe").parent_path();
    auto beside = folder / "halvserve";
    auto expected = access(beside.c_str(), R_OK) == 0
                        ? beside
                        : (folder / "../libexec/halvara/halvserve").lexically_normal();
    EXPECT_EQ(MemoryChannel::ServiceProgram(), expected);
    setenv("HALVSERVE_PATH", "/opt/elsewhere/halvserve", 1);
    EXPECT_EQ(MemoryChannel::ServiceProgram(), "/opt/elsewhere/halvserve");
    setenv("HALVSERVE_PATH", "", 1);
    EXPECT_EQ(MemoryChannel::ServiceProgram(), expected);
}

TEST_F(MemoryChannelTest, StartServiceFindsLaunchesOrRefusesTheProgram) {
    MemoryChannel client(MemoryChannel::kClientRole);
    setenv("HALVSERVE_PATH", (m_runtime.Path() / "missing").c_str(), 1);
    EXPECT_EQ(RefusalOf([&] { client.StartService(); }), 203);

    auto plain = m_runtime.Path() / "plain";
    std::ofstream(plain.string()) << "not a program";
    setenv("HALVSERVE_PATH", plain.c_str(), 1);
    EXPECT_EQ(RefusalOf([&] { client.StartService(); }), 206);

    auto folder = m_runtime.Path() / "bin";
    std::filesystem::create_directory(folder);
    auto program = folder / "halvserve";
    std::ofstream(program.string()) << "#!/bin/sh\npwd > started.tmp && mv started.tmp started\n";
    chmod(program.c_str(), 0700);
    setenv("HALVSERVE_PATH", program.c_str(), 1);
    EXPECT_EQ(RefusalOf([&] { client.StartService(); }), 0);
    auto started = folder / "started";
    ASSERT_TRUE(testsupport::WaitFor([&] { return std::filesystem::exists(started); }, 10s));
    std::ifstream in(started);
    std::string workingFolder;
    std::getline(in, workingFolder);
    EXPECT_EQ(std::filesystem::canonical(workingFolder), std::filesystem::canonical(folder));
}

} // namespace

TEST_F(MemoryChannelTest, TheEndingServiceKeepsTheCallLockOnceTheLastClientGivesItBack) {
    auto callLock = platform::NamedEvent::OpenOrCreate("MemoryChannel function protect");
    MemoryChannel service(MemoryChannel::kServiceRole);
    EXPECT_EQ(RefusalOf([&] { service.TakeCallLockForEnd(0ms); }), MemoryChannel::kEndRefused);
    service.Open(MemoryChannel::kPageName, 0);
    MemoryChannel client(MemoryChannel::kClientRole);
    client.Open(MemoryChannel::kPageName, 1);
    EXPECT_EQ(RefusalOf([&] { client.TakeCallLockForEnd(0ms); }), MemoryChannel::kEndRefused);

    // A live client inside its exchange keeps the lock for as long as it needs.
    client.BeginExchange();
    EXPECT_FALSE(service.TakeCallLockForEnd(100ms));
    std::thread lastClient([&] {
        std::this_thread::sleep_for(200ms);
        client.EndExchange();
    });
    EXPECT_TRUE(service.TakeCallLockForEnd(5000ms));
    lastClient.join();
    EXPECT_FALSE(callLock->IsSignalled());

    // Closing keeps it taken: the next client waits for the next service.
    service.Close();
    EXPECT_FALSE(callLock->IsSignalled());
    EXPECT_FALSE(callLock->Wait(0ms));
}

TEST_F(MemoryChannelTest, TheEndingServiceTakesOverTheCallLockOfAClientThatDied) {
    MemoryChannel service(MemoryChannel::kServiceRole);
    service.Open(MemoryChannel::kPageName, 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        MemoryChannel client(MemoryChannel::kClientRole);
        client.Open(MemoryChannel::kPageName, 1);
        client.BeginExchange();
        _exit(0);
    }
    EXPECT_EQ(channeltest::WaitChild(child, 10s), 0);
    auto callLock = platform::NamedEvent::OpenOrCreate("MemoryChannel function protect");
    ASSERT_FALSE(callLock->IsSignalled());
    EXPECT_TRUE(service.TakeCallLockForEnd(0ms));
    EXPECT_FALSE(callLock->IsHeldByDeadProcess());
}
