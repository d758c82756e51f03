#include "app/peer/wire/TimeOutSocket.h"

#include "ForkedPeer.h"
#include "app/peer/wire/PeerConnection.h"
#include "support/TestSupport.h"

#include <arpa/inet.h>
#include <cerrno>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

auto Elapsed(Clock::time_point since) {
    return Clock::now() - since;
}

// A listener on a free loopback port.
struct Listener {
    TimeOutSocket socket;
    int port = 0;
    Listener() {
        if (!socket.Listen("127.0.0.1", 0))
            throw std::runtime_error("listen failed");
        port = socket.LocalPort();
    }
    // Accepts one connection within the limit (in the child process).
    bool AcceptInto(TimeOutSocket& connection, std::chrono::milliseconds limit = 10s) {
        socket.SetTimeOut(limit);
        return socket.Accept(connection);
    }
};

void SendRaw(TimeOutSocket& socket, const std::vector<std::uint8_t>& bytes) {
    socket.SetTimeOut(5s);
    socket.Send(bytes.data(), bytes.size());
}

TEST(TimeOutSocket, ASilentPeerCostsAtMostTheLimit) {
    Listener listener;
    ForkedPeer peer([&] {
        // Accepts every connection and never says a word.
        std::vector<std::unique_ptr<TimeOutSocket>> held;
        for (int i = 0; i < 3; ++i) {
            held.push_back(std::make_unique<TimeOutSocket>());
            listener.AcceptInto(*held.back(), 20s);
        }
        sleep(30);
    });

    auto client = OpenConnection("127.0.0.1", listener.port);
    ASSERT_TRUE(client);
    std::int32_t value = 0;
    auto started = Clock::now();
    EXPECT_FALSE(client->ReceiveInt32(value, 300ms));
    EXPECT_GE(Elapsed(started), 290ms);
    EXPECT_LT(Elapsed(started), 1500ms);
    EXPECT_EQ(client->LastError(), ETIMEDOUT);

    // A limit armed once covers the calls after it: the second call gets what is left.
    client->SetTimeOut(400ms);
    std::uint8_t byte;
    started = Clock::now();
    EXPECT_EQ(client->Receive(&byte, 1), -1);
    EXPECT_EQ(client->Receive(&byte, 1), -1);
    EXPECT_LT(Elapsed(started), 1500ms);

    // Without an armed limit a call still ends after the default 5 seconds.
    client->KillTimeOut();
    started = Clock::now();
    EXPECT_EQ(client->Receive(&byte, 1), -1);
    EXPECT_GE(Elapsed(started), 4900ms);
    EXPECT_LT(Elapsed(started), 7s);

    // Nobody connects: the accept fails when its limit passes.
    Listener idle;
    TimeOutSocket connection;
    idle.socket.SetTimeOut(200ms);
    started = Clock::now();
    EXPECT_FALSE(idle.socket.Accept(connection));
    EXPECT_GE(Elapsed(started), 190ms);
    EXPECT_LT(Elapsed(started), 1500ms);
    EXPECT_FALSE(connection.IsOpen());
}

TEST(TimeOutSocket, ShortReadsFailAndSplitFieldsAreJoined) {
    Listener listener;
    ForkedPeer peer([&] {
        TimeOutSocket connection;
        // 1: half an integer, then the end of the stream.
        if (listener.AcceptInto(connection))
            SendRaw(connection, {0x10, 0x07});
        connection.Close();
        // 2: 300 bytes of a 512-byte field, then silence.
        TimeOutSocket silent;
        if (listener.AcceptInto(silent))
            SendRaw(silent, std::vector<std::uint8_t>(300, 'p'));
        // 3: 600 bytes of a 1000-byte block, then the end.
        if (listener.AcceptInto(connection))
            SendRaw(connection, std::vector<std::uint8_t>(600, 'b'));
        connection.Close();
        // 4: fields dribbled out in pieces, then an echo of what comes back.
        if (listener.AcceptInto(connection)) {
            SendRaw(connection, {0x10, 0x07});
            usleep(50000);
            SendRaw(connection, {0x00, 0x00});
            auto field = EncodeTextField("C:/shared/music", kPathFieldWidth);
            SendRaw(connection, {field.begin(), field.begin() + 5});
            usleep(50000);
            SendRaw(connection, {field.begin() + 5, field.end()});
            std::int32_t request = 0;
            if (connection.ReceiveInt32(request))
                connection.SendInt32(request + 1);
        }
        sleep(30);
    });

    std::int32_t value = 0;
    std::string text;
    auto client = OpenConnection("127.0.0.1", listener.port);
    ASSERT_TRUE(client);
    auto started = Clock::now();
    EXPECT_FALSE(client->ReceiveInt32(value));
    EXPECT_LT(Elapsed(started), 2s) << "the end of the stream is not a time-out";
    CloseConnection(client);
    EXPECT_FALSE(client);

    client = OpenConnection("127.0.0.1", listener.port);
    ASSERT_TRUE(client);
    EXPECT_FALSE(client->ReceiveText(text, kPathFieldWidth, 300ms));
    EXPECT_EQ(client->LastError(), ETIMEDOUT);

    client = OpenConnection("127.0.0.1", listener.port);
    ASSERT_TRUE(client);
    std::vector<std::uint8_t> block(1000);
    EXPECT_EQ(client->ReceiveAll(block.data(), block.size()), 600u);

    client = OpenConnection("127.0.0.1", listener.port);
    ASSERT_TRUE(client);
    ASSERT_TRUE(client->ReceiveInt32(value));
    EXPECT_EQ(value, 0x710);
    ASSERT_TRUE(client->ReceiveText(text, kPathFieldWidth));
    EXPECT_EQ(text, "C:/shared/music");
    ASSERT_TRUE(client->SendInt32(-7));
    ASSERT_TRUE(client->ReceiveInt32(value));
    EXPECT_EQ(value, -6);
    EXPECT_EQ(client->PeerAddress(), "127.0.0.1");
}

TEST(TimeOutSocket, ConnectAndSendAreBounded) {
    // Nobody listens: refused at once.
    int error = 0;
    int closedPort = testsupport::FreeTcpPort();
    auto started = Clock::now();
    EXPECT_FALSE(OpenConnection("127.0.0.1", closedPort, &error));
    EXPECT_EQ(error, ECONNREFUSED);
    EXPECT_LT(Elapsed(started), 1s);
    EXPECT_FALSE(OpenConnection("not an address", 80, &error));
    EXPECT_FALSE(OpenConnection("127.0.0.1", 0, &error));

    // A listener whose queue is full drops further handshakes: the connect
    // waits for its 5 seconds and then fails.
    TimeOutSocket full;
    ASSERT_TRUE(full.Listen("127.0.0.1", 0, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(full.LocalPort()));
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        fillers.push_back(fd);
    }
    usleep(100000);
    TimeOutSocket client;
    started = Clock::now();
    EXPECT_FALSE(client.Connect("127.0.0.1", full.LocalPort()));
    EXPECT_EQ(client.LastError(), ETIMEDOUT);
    EXPECT_GE(Elapsed(started), 4900ms);
    EXPECT_LT(Elapsed(started), 7s);
    for (int fd : fillers)
        close(fd);

    // A peer that never reads: sending stops when the limit passes.
    Listener listener;
    TimeOutSocket sender, neverReads;
    ASSERT_TRUE(sender.Connect("127.0.0.1", listener.port));
    ASSERT_TRUE(listener.AcceptInto(neverReads, 1s));
    std::vector<std::uint8_t> huge(64u << 20, 'h');
    started = Clock::now();
    EXPECT_FALSE(sender.SendBlock(huge, 300ms));
    EXPECT_EQ(sender.LastError(), ETIMEDOUT);
    EXPECT_LT(Elapsed(started), 2s);

    // A host name is looked up before connecting.
    TimeOutSocket byName;
    EXPECT_TRUE(byName.Connect("localhost", listener.port)) << byName.LastError();
}

TEST(TimeOutSocket, AClearedRunFlagCancelsAWaitingCall) {
    Listener listener;
    TimeOutSocket client, accepted;
    ASSERT_TRUE(client.Connect("127.0.0.1", listener.port));
    ASSERT_TRUE(listener.AcceptInto(accepted, 1s));
    std::atomic<bool> running{true};
    accepted.WatchRunFlag(&running);
    // Whole milliseconds as the protocol code writes them; the flag ends the wait long before.
    EXPECT_TRUE(accepted.SetTimeOut(5000));
    std::thread stopper([&] {
        std::this_thread::sleep_for(200ms);
        running = false;
    });
    std::uint8_t byte = 0;
    auto started = Clock::now();
    EXPECT_EQ(accepted.Receive(&byte, 1), -1);
    auto waited = Elapsed(started);
    stopper.join();
    EXPECT_EQ(accepted.LastError(), ECANCELED);
    EXPECT_GE(waited, 150ms);
    EXPECT_LT(waited, 1s);
    // Later calls fail at once.
    EXPECT_FALSE(accepted.SendInt32(1));
}

} // namespace
