#include "platform/SocketWait.h"

#include "platform/SocketConnect.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <poll.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using platform::SocketCall;
using platform::SocketClock;

SocketCall Within(std::chrono::milliseconds limit, const std::atomic<bool>* running = nullptr) {
    return {SocketClock::now() + limit, running};
}

// One accepted loopback connection: client and server ends, closed at the end.
struct Pair {
    int listener = -1;
    int client = -1;
    int server = -1;

    explicit Pair(const std::string& from = {}) {
        if (platform::ListenOn("127.0.0.1", 0, 4, listener) != 0)
            throw std::runtime_error("listen failed");
        int port = platform::LocalPortOf(listener);
        if (platform::ConnectWithin("127.0.0.1", port, from, Within(2s), client) != 0 ||
            platform::AcceptWithin(listener, Within(2s), server) != 0)
            throw std::runtime_error("no connection");
    }
    ~Pair() {
        for (int fd : {listener, client, server})
            if (fd >= 0)
                close(fd);
    }
    void CloseClient() {
        close(client);
        client = -1;
    }
};

void SendLater(int fd, std::string bytes, std::chrono::milliseconds delay) {
    std::this_thread::sleep_for(delay);
    platform::SendAll(fd, bytes.data(), bytes.size(), Within(1s));
}

// Sends "ab" at once and "cd" after a pause of 450 ms; returns what receive got.
template <typename Receive>
platform::SocketTransfer AcrossAPause(Receive receive) {
    Pair pair;
    SendLater(pair.client, "ab", 0ms);
    std::thread late(SendLater, pair.client, "cd", 450ms);
    auto got = receive(pair.server);
    late.join();
    return got;
}

TEST(SocketWait, EachReceiveGetsItsOwnLimitAndOnlyTheGivenTimeOutsAreForgiven) {
    char buffer[4] = {};
    int calls = 0;
    // 300 ms per receive: the pause of 450 ms before the second half is one
    // time-out, longer than a single receive may wait but shorter than two.
    auto perReceive = [&calls] {
        ++calls;
        return Within(300ms);
    };
    {
        auto got = AcrossAPause(
            [&](int fd) { return platform::ReceiveEachWithin(fd, buffer, 4, perReceive, 1); });
        EXPECT_EQ(got.bytes, 4u);
        EXPECT_EQ(got.error, 0);
        EXPECT_EQ(std::string(buffer, 4), "abcd");
        EXPECT_EQ(calls, 3) << "a limit handed out before every receive";
    }
    {
        auto got = AcrossAPause(
            [&](int fd) { return platform::ReceiveEachWithin(fd, buffer, 4, perReceive, 0); });
        EXPECT_EQ(got.bytes, 2u);
        EXPECT_EQ(got.error, ETIMEDOUT);
        EXPECT_FALSE(got.ended);
    }
    {
        // The end of the stream is no time-out: it ends the block at once,
        // whatever retries are left.
        Pair pair;
        SendLater(pair.client, "ab", 0ms);
        pair.CloseClient();
        auto started = SocketClock::now();
        auto got = platform::ReceiveEachWithin(pair.server, buffer, 4, perReceive, 5);
        EXPECT_LT(SocketClock::now() - started, 1s);
        EXPECT_EQ(got.bytes, 2u);
        EXPECT_EQ(got.error, 0);
        EXPECT_TRUE(got.ended);
    }
    {
        // A single deadline covers the whole block.
        auto got = AcrossAPause(
            [&](int fd) { return platform::ReceiveAll(fd, buffer, 4, Within(300ms)); });
        EXPECT_EQ(got.bytes, 2u);
        EXPECT_EQ(got.error, ETIMEDOUT);
    }
}

TEST(SocketWait, AClearedRunFlagStopsASendThatWaitsOnAPeerThatNeverReads) {
    Pair pair;
    std::atomic<bool> running{true};
    std::vector<char> huge(64u << 20, 'x');
    std::thread stopper([&] {
        std::this_thread::sleep_for(200ms);
        running = false;
    });
    auto started = SocketClock::now();
    auto sent = platform::SendAll(pair.client, huge.data(), huge.size(), Within(20s, &running));
    auto spent = SocketClock::now() - started;
    stopper.join();
    EXPECT_EQ(sent.error, ECANCELED);
    EXPECT_GT(sent.bytes, 0u);
    EXPECT_LT(sent.bytes, huge.size());
    EXPECT_GE(spent, 150ms);
    EXPECT_LT(spent, 1s) << "the flag is looked at every slice, not only at the deadline";

    // Once the flag is down nothing waits, not even on a descriptor that is ready.
    EXPECT_EQ(platform::WaitForSocket(pair.server, POLLIN, Within(5s, &running)), ECANCELED);
    char byte = 0;
    int error = 0;
    EXPECT_EQ(platform::ReceiveSome(pair.server, &byte, 1, Within(5s, &running), error), -1);
    EXPECT_EQ(error, ECANCELED);
}

TEST(SocketWait, ConnectBindsTheGivenLocalAddressAndRefusesWhatItCannotUse) {
    Pair fromThree("127.0.0.3");
    EXPECT_EQ(platform::PeerAddressOf(fromThree.server), "127.0.0.3");
    EXPECT_EQ(platform::PeerAddressOf(fromThree.client), "127.0.0.1");

    int fd = 7;
    int port = platform::LocalPortOf(fromThree.listener);
    EXPECT_EQ(platform::ConnectWithin("127.0.0.1", port, "my.host", Within(1s), fd), EINVAL);
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(platform::ConnectWithin("127.0.0.1", 70000, {}, Within(1s), fd), EHOSTUNREACH);
    EXPECT_EQ(platform::ConnectWithin("", port, {}, Within(1s), fd), EHOSTUNREACH);
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(platform::ListenOn("my.host", 0, 4, fd), EINVAL);
    EXPECT_EQ(platform::PeerAddressOf(-1), "0.0.0.0");
    EXPECT_EQ(platform::LocalPortOf(-1), 0);
}

} // namespace
