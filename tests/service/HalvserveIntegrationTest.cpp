#include "bridge/BridgeRecord.h"
#include "bridge/MemoryChannel.h"
#include "platform/SingleInstanceGuard.h"
#include "support/HalvdirServer.h"
#include "support/TestSupport.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using testsupport::ChildProcess;

constexpr int kAlreadyRunning = 1;
constexpr int kStartFailed = 2;
constexpr auto kAnswerLimit = 15s;

// A private session for each test: its own namespace, configuration and home,
// shared by this process (the client) and the services it starts.
class HalvserveIntegrationTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::filesystem::path runtime = m_dir.Path() / "run";
        std::filesystem::create_directories(runtime);
        ::chmod(runtime.c_str(), 0700);
        m_environment = {{"XDG_RUNTIME_DIR", runtime.string()},
                         {"XDG_CONFIG_HOME", (m_dir.Path() / "config").string()},
                         {"HOME", m_dir.Path().string()},
                         {"HALVARA_DIRECTORY", "127.0.0.1:9"}};
        for (const auto& [name, value] : m_environment)
            ::setenv(name.c_str(), value.c_str(), 1);
    }

    void TearDown() override {
        m_client.reset();
        m_services.clear();
    }

    ChildProcess& Launch() {
        m_services.push_back(std::make_unique<ChildProcess>(
            testsupport::BuildBin("halvserve"), std::vector<std::string>{}, m_environment));
        return *m_services.back();
    }

    MemoryChannel& Client() {
        if (!m_client) {
            m_client = std::make_unique<MemoryChannel>(MemoryChannel::kClientRole);
            m_client->Open(MemoryChannel::kPageName, 1);
        }
        return *m_client;
    }

    // One exchange: the request bytes as given, then the number of reply
    // records asked for. A service that stops answering fails the test instead
    // of hanging it: it is killed, which ends the client's waits.
    std::vector<BridgeRecord> Exchange(const void* request, std::size_t length,
                                       int replyCount = 1) {
        MemoryChannel& channel = Client();
        auto exchange = std::async(std::launch::async, [&] {
            std::vector<BridgeRecord> replies;
            channel.BeginExchange();
            try {
                channel.Send(request, length);
                for (int i = 0; i < replyCount; ++i) {
                    BridgeRecord reply;
                    if (channel.Receive(reply.Data(), BridgeRecord::kSize) !=
                        int(BridgeRecord::kSize))
                        ADD_FAILURE() << "short reply";
                    replies.push_back(reply);
                }
            } catch (...) {
                channel.EndExchange();
                throw;
            }
            channel.EndExchange();
            return replies;
        });
        if (exchange.wait_for(kAnswerLimit) != std::future_status::ready) {
            ADD_FAILURE() << "the service did not answer";
            for (auto& service : m_services)
                service->Signal(SIGKILL);
        }
        return exchange.get();
    }

    BridgeRecord Command(std::int32_t code, std::vector<std::int32_t> arguments = {}) {
        BridgeRecord request;
        request.SetCode(code);
        for (std::size_t i = 0; i < arguments.size(); ++i)
            request.SetI32At(4 + 4 * i, arguments[i]);
        std::vector<BridgeRecord> replies = Exchange(request.Data(), BridgeRecord::kSize);
        EXPECT_EQ(replies.at(0).Code(), kCmdReply);
        return replies.at(0);
    }

    std::int32_t NumActiveTOS() { return Command(kCmdNumActiveTOS).I32At(4); }
    std::int32_t UpdateTOS(std::int32_t tos, bool on) {
        return Command(kCmdUpdateTOS, {tos, on ? 1 : 0}).I32At(4);
    }

    testsupport::TempDir m_dir;
    std::map<std::string, std::string> m_environment;
    std::vector<std::unique_ptr<ChildProcess>> m_services;
    std::unique_ptr<MemoryChannel> m_client;
};

TEST_F(HalvserveIntegrationTest, SecondLaunchEndsAtOnceWhileTheFirstKeepsServing) {
    ChildProcess& first = Launch();
    EXPECT_EQ(UpdateTOS(155, true), 1);

    ChildProcess& second = Launch();
    EXPECT_EQ(second.Wait(5s), kAlreadyRunning) << second.Output();
    EXPECT_TRUE(first.Running());
    EXPECT_EQ(NumActiveTOS(), 1);
    EXPECT_TRUE(platform::SingleInstanceGuard::IsHeld(MemoryChannel::kServiceGuardName));

    EXPECT_EQ(UpdateTOS(155, false), 1);
    EXPECT_EQ(first.Wait(10s), 0) << first.Output();
}

TEST_F(HalvserveIntegrationTest, CountsRegistrationsAndEndsAfterTheLastUnregistration) {
    ChildProcess& service = Launch();
    EXPECT_EQ(NumActiveTOS(), 0);
    EXPECT_EQ(UpdateTOS(155, true), 1);
    EXPECT_EQ(UpdateTOS(155, true), 1);
    EXPECT_EQ(UpdateTOS(7, true), 1);
    EXPECT_EQ(NumActiveTOS(), 2);
    // Plain presence cannot be registered; unregistering an unknown TOS fails.
    EXPECT_EQ(UpdateTOS(-1, true), 0);
    EXPECT_EQ(UpdateTOS(9, false), 0);

    EXPECT_EQ(UpdateTOS(7, false), 1);
    EXPECT_EQ(UpdateTOS(155, false), 1);
    EXPECT_EQ(NumActiveTOS(), 1);
    EXPECT_TRUE(service.Running());

    // The exchange that drops the last registration is still answered.
    BridgeRecord reply = Command(kCmdUpdateTOS, {155, 0});
    EXPECT_EQ(reply.I32At(4), 1);
    EXPECT_EQ(service.Wait(10s), 0) << service.Output();
    EXPECT_FALSE(platform::SingleInstanceGuard::IsHeld(MemoryChannel::kServiceGuardName));
}

TEST_F(HalvserveIntegrationTest, NextLaunchServesAgainFromScratch) {
    ChildProcess& service = Launch();
    EXPECT_EQ(UpdateTOS(155, true), 1);
    EXPECT_EQ(UpdateTOS(155, false), 1);
    ASSERT_EQ(service.Wait(10s), 0) << service.Output();

    // A client that calls at once, before the new service has opened its end
    // of the channel, is served by it.
    ChildProcess& next = Launch();
    EXPECT_EQ(NumActiveTOS(), 0);
    EXPECT_EQ(UpdateTOS(155, true), 1);
    EXPECT_TRUE(next.Running());
}

TEST_F(HalvserveIntegrationTest, OddRequestLengthsAndUnknownCodes) {
    Launch();
    EXPECT_EQ(UpdateTOS(155, true), 1);

    // A zero-length request gets no reply; the next exchange is served.
    std::uint8_t nothing = 0;
    Exchange(&nothing, 0, 0);
    EXPECT_EQ(NumActiveTOS(), 1);

    // The longest payload the channel carries: only its first record counts.
    std::vector<std::uint8_t> longRequest(MemoryChannel::kMaxPayload, 0xAB);
    BridgeRecord head;
    head.SetCode(kCmdNumActiveTOS);
    std::memcpy(longRequest.data(), head.Data(), 4);
    std::vector<BridgeRecord> replies = Exchange(longRequest.data(), longRequest.size());
    EXPECT_EQ(replies.at(0).Code(), kCmdReply);
    EXPECT_EQ(replies.at(0).I32At(4), 1);
    EXPECT_EQ(replies.at(0).Data()[8], 0xAB);

    // One byte: read as a zero-padded record.
    const std::uint8_t one = kCmdNumActiveTOS;
    replies = Exchange(&one, 1);
    EXPECT_EQ(replies.at(0).I32At(4), 1);
    EXPECT_EQ(replies.at(0).Data()[8], 0);

    for (std::int32_t code : {28, 40, 0, -3}) {
        BridgeRecord request;
        for (std::size_t i = 0; i < BridgeRecord::kSize; ++i)
            request.Data()[i] = static_cast<std::uint8_t>(i * 13 + 1);
        request.SetCode(code);
        replies = Exchange(request.Data(), BridgeRecord::kSize);
        EXPECT_EQ(replies.at(0).Code(), kCmdReply) << code;
        EXPECT_EQ(
            0, std::memcmp(replies.at(0).Data() + 4, request.Data() + 4, BridgeRecord::kSize - 4))
            << code;
    }

    // Command 30 with nothing to list answers one record, and the service
    // stays in step for the next request.
    BridgeRecord anon;
    anon.SetCode(kCmdGetAnonAcquaintances);
    anon.SetI32At(4, 155);
    replies = Exchange(anon.Data(), BridgeRecord::kSize, 1);
    EXPECT_EQ(replies.at(0).I32At(8), 0);
    EXPECT_EQ(NumActiveTOS(), 1);
}

TEST_F(HalvserveIntegrationTest, ClientDyingInsideAnExchangeDoesNotStopTheService) {
    ChildProcess& service = Launch();
    EXPECT_EQ(UpdateTOS(155, true), 1);

    // One client dies before sending, another after sending but before reading.
    for (int sendFirst : {0, 1}) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            MemoryChannel channel(MemoryChannel::kClientRole);
            channel.Open(MemoryChannel::kPageName, 1);
            channel.BeginExchange();
            if (sendFirst) {
                BridgeRecord request;
                request.SetCode(kCmdNumActiveTOS);
                channel.Send(request.Data(), BridgeRecord::kSize);
            }
            ::_exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(NumActiveTOS(), 1) << sendFirst;
    }
    EXPECT_TRUE(service.Running());
}

TEST_F(HalvserveIntegrationTest, WithADirectoryTheServiceGetsAnIdAndListsItsOwnEntry) {
    testsupport::HalvdirServer directory({"--threads", "2"});
    ASSERT_TRUE(directory.Started()) << directory.Output();
    m_environment["HALVARA_DIRECTORY"] = directory.Host();
    // An address of its own, so its peer port is nobody else's.
    m_environment["HALVARA_ADDRESS"] = "127.0.0.4";
    ChildProcess& service = Launch();
    EXPECT_EQ(UpdateTOS(155, true), 1);
    const std::int32_t id = Command(kCmdGetMyID).I32At(4);
    EXPECT_GT(id, 0);
    EXPECT_EQ(Command(kCmdIsRegistered).I32At(4), 0);
    EXPECT_EQ(Command(kCmdGetFriend, {0}).I32At(4), id);
    EXPECT_EQ(Command(kCmdGetFriend, {1}).I32At(4), -1);
    EXPECT_EQ(UpdateTOS(155, false), 1);
    EXPECT_EQ(service.Wait(15s), 0) << service.Output();
}

TEST_F(HalvserveIntegrationTest, UnusableSessionNamespaceEndsTheStartWithItsOwnCode) {
    // Something that is not a folder where the namespace belongs: no guard can
    // be taken, and the start-up says so instead of claiming another instance.
    const std::filesystem::path blocker = m_dir.Path() / "run" / "halvara";
    std::FILE* file = std::fopen(blocker.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    ChildProcess& service = Launch();
    EXPECT_EQ(service.Wait(10s), kStartFailed) << service.Output();
}

} // namespace
