#include "service/TimedSocket.h"

#include "support/TestSupport.h"

#include <arpa/inet.h>
#include <atomic>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

long long MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A listener on a loopback port that never accepts anything.
struct SilentListener {
    explicit SilentListener(int backlog) {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof local;
        bind(fd, reinterpret_cast<sockaddr*>(&local), length);
        listen(fd, backlog);
        getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
        port = ntohs(local.sin_port);
    }
    ~SilentListener() { close(fd); }
    int fd = -1;
    int port = 0;
};

TEST(TimedSocketTest, ConnectedPairCarriesBytesBothWays) {
    TimedSocket listener;
    ASSERT_TRUE(listener.Listen("127.0.0.1", 0, 4));
    int port = listener.LocalPort();
    ASSERT_GT(port, 0);

    std::thread peer([port] {
        TimedSocket client;
        ASSERT_TRUE(client.Connect("127.0.0.1", port));
        client.SetLimit(2000);
        EXPECT_EQ(client.Send("ping!", 5), 5u);
        char answer[4] = {};
        EXPECT_EQ(client.ReceiveAll(answer, 4), 4u);
        EXPECT_EQ(std::string(answer, 4), "pong");
    });
    TimedSocket incoming;
    listener.SetLimit(3000);
    ASSERT_TRUE(listener.Accept(incoming));
    EXPECT_EQ(incoming.PeerAddress(), "127.0.0.1");
    char request[5] = {};
    EXPECT_EQ(incoming.ReceiveAll(request, 5), 5u);
    EXPECT_EQ(std::string(request, 5), "ping!");
    incoming.SetLimit(2000);
    EXPECT_EQ(incoming.Send("pong", 4), 4u);
    peer.join();
}

TEST(TimedSocketTest, PeerThatNeverAnswersCostsAtMostTheLimit) {
    SilentListener silent(4);
    TimedSocket socket;
    ASSERT_TRUE(socket.Connect("127.0.0.1", silent.port));
    char byte = 0;
    socket.SetLimit(700);
    auto start = Clock::now();
    EXPECT_EQ(socket.Receive(&byte, 1), -1);
    long long spent = MillisecondsSince(start);
    EXPECT_GE(spent, 650);
    EXPECT_LT(spent, 1200);
    EXPECT_TRUE(socket.LimitPassed());
}

TEST(TimedSocketTest, ConnectToAPeerThatNeverAcceptsEndsAtTheLimit) {
    // With its accept queue full, the kernel drops further connection requests,
    // so a connect waits for an answer that does not come.
    SilentListener silent(0);
    std::vector<std::unique_ptr<TimedSocket>> fillers;
    for (int i = 0; i < 4; ++i) {
        auto filler = std::make_unique<TimedSocket>();
        if (!filler->ConnectWithin("127.0.0.1", silent.port, 300))
            break;
        fillers.push_back(std::move(filler));
    }
    TimedSocket socket;
    auto start = Clock::now();
    EXPECT_FALSE(socket.ConnectWithin("127.0.0.1", silent.port, 800));
    long long spent = MillisecondsSince(start);
    EXPECT_GE(spent, 750);
    EXPECT_LT(spent, 1300);
    EXPECT_FALSE(socket.IsOpen());
}

TEST(TimedSocketTest, RefusedOrUnresolvableConnectFailsAtOnce) {
    TimedSocket socket;
    auto start = Clock::now();
    EXPECT_FALSE(socket.Connect("127.0.0.1", testsupport::FreeTcpPort()));
    EXPECT_FALSE(socket.Connect("", 80));
    EXPECT_FALSE(socket.Connect("127.0.0.1", 0));
    EXPECT_LT(MillisecondsSince(start), 1000);
    EXPECT_FALSE(socket.SetLimit(0));
}

TEST(TimedSocketTest, AcceptWithoutCallerEndsAtTheLimit) {
    TimedSocket listener;
    ASSERT_TRUE(listener.Listen("127.0.0.1", 0, 4));
    TimedSocket incoming;
    listener.SetLimit(500);
    auto start = Clock::now();
    EXPECT_FALSE(listener.Accept(incoming));
    EXPECT_GE(MillisecondsSince(start), 450);
    EXPECT_FALSE(incoming.IsOpen());
}

TEST(TimedSocketTest, ReceiveAllEndsShortWhenThePeerCloses) {
    TimedSocket listener;
    ASSERT_TRUE(listener.Listen("127.0.0.1", 0, 4));
    int port = listener.LocalPort();
    std::thread peer([port] {
        TimedSocket client;
        ASSERT_TRUE(client.Connect("127.0.0.1", port));
        client.SetLimit(2000);
        client.Send("abc", 3);
        client.Close();
    });
    TimedSocket incoming;
    listener.SetLimit(3000);
    ASSERT_TRUE(listener.Accept(incoming));
    peer.join();
    char buffer[10] = {};
    auto start = Clock::now();
    EXPECT_EQ(incoming.ReceiveAll(buffer, sizeof buffer), 3u);
    EXPECT_LT(MillisecondsSince(start), 1000);
}

TEST(TimedSocketTest, ReceiveAllGivesASilentPeerOneSecondChance) {
    SilentListener silent(4);
    TimedSocket socket;
    ASSERT_TRUE(socket.Connect("127.0.0.1", silent.port));
    char buffer[8] = {};
    auto start = Clock::now();
    EXPECT_EQ(socket.ReceiveAll(buffer, sizeof buffer), 0u);
    long long spent = MillisecondsSince(start);
    // Two receive limits of 5000 ms each, and no more.
    EXPECT_GE(spent, 2 * TimedSocket::kReceiveLimitMs - 100);
    EXPECT_LT(spent, 2 * TimedSocket::kReceiveLimitMs + 1000);
}

TEST(TimedSocketTest, SendToAPeerThatNeverReadsEndsAtTheLimit) {
    SilentListener silent(4);
    TimedSocket socket;
    ASSERT_TRUE(socket.Connect("127.0.0.1", silent.port));
    // Far more than both socket buffers hold.
    std::vector<char> block(16 * 1024 * 1024, 'x');
    socket.SetLimit(800);
    auto start = Clock::now();
    std::size_t sent = socket.Send(block.data(), block.size());
    long long spent = MillisecondsSince(start);
    EXPECT_LT(sent, block.size());
    EXPECT_LT(spent, 1500);
}

} // namespace

namespace {

TEST(TimedSocketTest, ARunFlagClearedElsewhereEndsEveryKindOfWaitAtOnce) {
    SilentListener silent(4);
    std::atomic<bool> running{true};
    TimedSocket socket;
    socket.SetBounds(&running);
    ASSERT_TRUE(socket.Connect("127.0.0.1", silent.port));
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        running.store(false);
    });
    // Both the single receive and the block receive with its second chance
    // would wait 5 s and more for this silent peer.
    char bytes[4] = {};
    auto start = Clock::now();
    socket.SetLimit(5000);
    EXPECT_EQ(socket.Receive(bytes, 4), -1);
    EXPECT_EQ(socket.ReceiveAll(bytes, 4), 0u);
    canceller.join();
    long long spent = MillisecondsSince(start);
    EXPECT_GE(spent, 250);
    EXPECT_LT(spent, 1000);

    // Nothing starts once the flag is down: not even a connect that would work.
    TimedSocket late;
    late.SetBounds(&running);
    EXPECT_FALSE(late.ConnectWithin("127.0.0.1", silent.port, 2000));
    TimedSocket listener;
    ASSERT_TRUE(listener.Listen("127.0.0.1", 0, 4));
    listener.SetBounds(&running);
    listener.SetLimit(3000);
    TimedSocket incoming;
    start = Clock::now();
    EXPECT_FALSE(listener.Accept(incoming));
    EXPECT_LT(MillisecondsSince(start), 300);
}

TEST(TimedSocketTest, ACutOffShortensEveryLimitArmedAfterIt) {
    SilentListener silent(4);
    TimedSocket socket;
    ASSERT_TRUE(socket.Connect("127.0.0.1", silent.port));
    const auto start = Clock::now();
    socket.SetBounds(nullptr, start + std::chrono::milliseconds(600));
    char bytes[4] = {};
    // Re-armed limits of 5 s do not reach past the cut-off.
    EXPECT_EQ(socket.ReceiveAll(bytes, 4), 0u);
    socket.SetLimit(5000);
    EXPECT_EQ(socket.Receive(bytes, 4), -1);
    EXPECT_TRUE(socket.LimitPassed());
    long long spent = MillisecondsSince(start);
    EXPECT_GE(spent, 550);
    EXPECT_LT(spent, 1200);

    // Moved sockets keep their bounds.
    TimedSocket moved(std::move(socket));
    moved.SetLimit(5000);
    EXPECT_TRUE(moved.LimitPassed());
}

} // namespace
