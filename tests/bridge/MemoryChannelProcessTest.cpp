#include "ChannelTestSupport.h"
#include "bridge/CStdExcept.h"
#include "bridge/MemoryChannel.h"
#include "platform/NamedEvent.h"
#include "support/TestSupport.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <signal.h>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using channeltest::EchoExchange;
using channeltest::RunEchoService;
using channeltest::Spawn;
using channeltest::WaitChild;

namespace {

// One exchange made by a client process of its own, so that a channel that
// stays locked fails the test within the limit instead of hanging it.
int ExchangeInChild(int tag, int round, std::chrono::milliseconds limit) {
    return WaitChild(Spawn([tag, round] {
                         MemoryChannel channel(MemoryChannel::kClientRole);
                         channel.Open(MemoryChannel::kPageName, 1);
                         return EchoExchange(channel, tag, round) ? 0 : 1;
                     }),
                     limit);
}

class MemoryChannelProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("XDG_RUNTIME_DIR", m_runtime.Path().c_str(), 1);
        unsetenv("HALVARA_BRIDGE_START_LIMIT_MS");
        m_ready = platform::NamedEvent::OpenOrCreate(channeltest::kServiceReady);
    }
    void TearDown() override {
        if (m_service > 0)
            WaitChild(m_service, 0ms);
    }

    void StartService(bool mute = false) {
        m_service = Spawn([mute] { return RunEchoService(mute); });
        ASSERT_TRUE(m_ready->Wait(10s));
    }
    // Ends the echo service the way it is asked to stop and returns its exit
    // code: the number of abandoned exchanges it recovered from.
    int StopService() {
        kill(m_service, SIGTERM);
        int code = WaitChild(m_service, 5s);
        m_service = -1;
        return code;
    }

    testsupport::TempDir m_runtime;
    std::unique_ptr<platform::NamedEvent> m_ready;
    pid_t m_service = -1;
};

TEST_F(MemoryChannelProcessTest, AServiceProcessEchoesEveryRecordAndStopsWhenAsked) {
    StartService();
    MemoryChannel client(MemoryChannel::kClientRole);
    client.Open(MemoryChannel::kPageName, 1);
    int matched = 0;
    for (int round = 0; round < 200; ++round)
        matched += EchoExchange(client, 1, round) ? 1 : 0;
    EXPECT_EQ(matched, 200);
    auto stopping = std::chrono::steady_clock::now();
    EXPECT_EQ(StopService(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, 2s);
}

TEST_F(MemoryChannelProcessTest, TwoClientProcessesAtOnceNeverGetEachOthersReplies) {
    StartService();
    auto client = [](int tag) {
        return [tag] {
            MemoryChannel channel(MemoryChannel::kClientRole);
            channel.Open(MemoryChannel::kPageName, 1);
            for (int round = 0; round < 300; ++round) {
                if (!EchoExchange(channel, tag, round))
                    return 1;
            }
            return 0;
        };
    };
    // Four at once, so that one is always waiting for the call lock when
    // another gives it back.
    std::vector<pid_t> clients;
    for (int tag : {11, 22, 33, 44})
        clients.push_back(Spawn(client(tag)));
    for (pid_t pid : clients)
        EXPECT_EQ(WaitChild(pid, 40s), 0);
    EXPECT_EQ(StopService(), 0);
}

TEST_F(MemoryChannelProcessTest, AClientStartedBeforeTheServiceCompletesOnceItIsUp) {
    setenv("HALVARA_BRIDGE_START_LIMIT_MS", "8000", 1);
    pid_t early = Spawn([] {
        MemoryChannel channel(MemoryChannel::kClientRole);
        channel.Open(MemoryChannel::kPageName, 1);
        return EchoExchange(channel, 5, 0) ? 0 : 1;
    });
    std::this_thread::sleep_for(1200ms);
    EXPECT_EQ(waitpid(early, nullptr, WNOHANG), 0) << "the client was to wait for the service";
    StartService();
    EXPECT_EQ(WaitChild(early, 10s), 0);
    EXPECT_EQ(StopService(), 0);
}

TEST_F(MemoryChannelProcessTest, AServiceThatDiesBeforeReplyingFailsTheWaitingClientSoon) {
    StartService(true);
    MemoryChannel client(MemoryChannel::kClientRole);
    client.Open(MemoryChannel::kPageName, 1);
    auto started = std::chrono::steady_clock::now();
    int refusal = 0;
    try {
        EchoExchange(client, 3, 0);
    } catch (const CStdExcept& failure) {
        refusal = failure.Number();
    }
    EXPECT_EQ(refusal, MemoryChannel::kServiceGone);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
    EXPECT_EQ(WaitChild(m_service, 5s), 0);
    m_service = -1;

    // A service started after the crash serves the same client again.
    StartService();
    EXPECT_TRUE(EchoExchange(client, 3, 1));
    EXPECT_EQ(StopService(), 0);
}

TEST_F(MemoryChannelProcessTest, AClientKilledInsideAnExchangeDoesNotLockOutTheNext) {
    StartService();
    auto dying = [](bool afterSend) {
        return [afterSend] {
            MemoryChannel channel(MemoryChannel::kClientRole);
            channel.Open(MemoryChannel::kPageName, 1);
            channel.BeginExchange();
            if (afterSend) {
                auto request = channeltest::MakeRequest(9, 0);
                channel.Send(request.data(), request.size());
            }
            raise(SIGKILL);
            return 0;
        };
    };
    for (bool afterSend : {false, true}) {
        ASSERT_EQ(WaitChild(Spawn(dying(afterSend)), 5s), 128 + SIGKILL);
        EXPECT_EQ(ExchangeInChild(4, afterSend ? 1 : 0, 4s), 0);
    }

    // A process that died holding the memory lock: it only guarded a copy.
    ASSERT_EQ(WaitChild(Spawn([] {
                            auto lock =
                                platform::NamedEvent::OpenOrCreate("Quembly mem wait event");
                            if (!lock->Wait(5s))
                                return 1;
                            raise(SIGKILL);
                            return 0;
                        }),
                        5s),
              128 + SIGKILL);
    EXPECT_EQ(ExchangeInChild(4, 2, 4s), 0);
    EXPECT_EQ(StopService(), 2) << "one recovery for each abandoned exchange";
}

} // namespace
