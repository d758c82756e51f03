#include "app/peer/wire/PeerServer.h"

#include "ForkedPeer.h"
#include "app/peer/wire/PeerConnection.h"
#include "support/TestSupport.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

auto Elapsed(Clock::time_point since) {
    return Clock::now() - since;
}

// Answers a number with the number plus one. Code 99 throws, code 0 waits for
// more than it will ever get; both are answered by nothing.
class IncrementServer : public PeerServer {
public:
    using PeerServer::PeerServer;
    ~IncrementServer() override { Stop(true); }

    int Served() const { return m_served.load(); }
    int MostAtOnce() const { return m_mostAtOnce.load(); }
    std::vector<std::pair<int, int>> ListenFailures() {
        std::lock_guard lock(m_mutex);
        return m_failures;
    }

protected:
    void ServeConnection(TimeOutSocket& connection) override {
        int now = ++m_atOnce;
        m_mostAtOnce = std::max(m_mostAtOnce.load(), now);
        struct Leave {
            std::atomic<int>& count;
            ~Leave() { --count; }
        } leave{m_atOnce};
        std::int32_t value = 0;
        if (!connection.ReceiveInt32(value))
            return;
        if (value == 99)
            throw std::runtime_error("a request this server refuses");
        std::this_thread::sleep_for(20ms);
        ++m_served;
        connection.SendInt32(value + 1);
    }
    void OnListenFailed(int attempt, int error) override {
        std::lock_guard lock(m_mutex);
        m_failures.emplace_back(attempt, error);
    }

private:
    std::atomic<int> m_served{0}, m_atOnce{0}, m_mostAtOnce{0};
    std::mutex m_mutex;
    std::vector<std::pair<int, int>> m_failures;
};

// Sets HALVARA_ADDRESS for the scope of a test.
struct ScopedAddress {
    explicit ScopedAddress(const char* value) {
        if (value)
            setenv("HALVARA_ADDRESS", value, 1);
        else
            unsetenv("HALVARA_ADDRESS");
    }
    ~ScopedAddress() { unsetenv("HALVARA_ADDRESS"); }
};

std::int32_t Ask(int port, std::int32_t value, const char* host = "127.0.0.1") {
    auto connection = OpenConnection(host, port);
    std::int32_t answer = -1;
    if (!connection || !connection->SendInt32(value) || !connection->ReceiveInt32(answer))
        return -1;
    return answer;
}

const PeerServer::Timing kQuick{3, 100ms, 5000ms};

TEST(PeerServer, ServesConnectionsSideBySideAndSurvivesAFailedOne) {
    ScopedAddress address("127.0.0.1");
    int port = testsupport::FreeTcpPort();
    // Clients in other processes, started before any thread of this test.
    std::vector<std::unique_ptr<ForkedPeer>> clients;
    for (int c = 0; c < 3; ++c) {
        clients.push_back(std::make_unique<ForkedPeer>([port, c] {
            testsupport::WaitFor([&] { return testsupport::CanConnect("127.0.0.1", port, 100ms); },
                                 10s);
            for (int i = 0; i < 5; ++i) {
                if (Ask(port, c * 100 + i) != c * 100 + i + 1)
                    _exit(1);
            }
        }));
    }

    IncrementServer server(port, kQuick);
    EXPECT_FALSE(server.Stop(false)) << "no worker recorded yet";
    EXPECT_EQ(server.ExitCode(), -1);
    ASSERT_TRUE(server.Start());
    EXPECT_FALSE(server.Start()) << "a second start while the worker runs";
    ASSERT_TRUE(testsupport::WaitFor([&] { return server.IsListening(); }, 5s));
    EXPECT_EQ(server.ExitCode(), platform::kThreadStillActive);

    EXPECT_EQ(Ask(port, 99), -1);
    EXPECT_EQ(Ask(port, 41), 42) << "the server goes on after a request that threw";
    for (auto& client : clients) {
        int status = client->Wait();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    EXPECT_EQ(server.Served(), 16);

    EXPECT_TRUE(server.Stop(true));
    EXPECT_EQ(server.ExitCode(), 1);
    EXPECT_FALSE(server.IsListening());
    EXPECT_FALSE(testsupport::CanConnect("127.0.0.1", port, 200ms));
    EXPECT_FALSE(server.Stop(true)) << "the worker is no longer recorded";
    // A stopped server starts again on the same port.
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(testsupport::WaitFor([&] { return server.IsListening(); }, 5s));
    EXPECT_EQ(Ask(port, 1), 2);
}

TEST(PeerServer, StopsWithAndWithoutWaitingWhileAClientHangsOnIt) {
    ScopedAddress address(nullptr);
    int port = testsupport::FreeTcpPort();
    // A client that connects and then sends nothing, twice.
    ForkedPeer hanging([port] {
        for (int round = 0; round < 2; ++round) {
            testsupport::WaitFor([&] { return testsupport::CanConnect("127.0.0.1", port, 100ms); },
                                 10s);
            auto connection = OpenConnection("127.0.0.1", port);
            std::int32_t never = 0;
            if (connection)
                connection->ReceiveInt32(never, 20s);
        }
    });

    IncrementServer server(port, kQuick);
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(testsupport::WaitFor([&] { return server.IsListening(); }, 5s));
    // Give the client time to be accepted and the server to wait on it.
    std::this_thread::sleep_for(500ms);
    auto started = Clock::now();
    EXPECT_TRUE(server.Stop(true));
    EXPECT_LT(Elapsed(started), 1s) << "the stop cancels the wait on the silent client";
    EXPECT_EQ(server.ExitCode(), 1);
    EXPECT_FALSE(server.IsRunning());

    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(testsupport::WaitFor([&] { return server.IsListening(); }, 5s));
    std::this_thread::sleep_for(500ms);
    started = Clock::now();
    EXPECT_TRUE(server.Stop(false));
    EXPECT_LT(Elapsed(started), 200ms) << "a stop that does not wait returns at once";
    EXPECT_FALSE(server.Start()) << "the worker is still recorded until it ends";
    EXPECT_TRUE(testsupport::WaitFor([&] { return server.ExitCode() == 1; }, 2s));
    EXPECT_FALSE(server.Stop(true));

    // Idle in accept, a stop ends the worker within the accept limit too.
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(testsupport::WaitFor([&] { return server.IsListening(); }, 5s));
    started = Clock::now();
    EXPECT_TRUE(server.Stop(true));
    EXPECT_LT(Elapsed(started), 1s);
}

TEST(PeerServer, ABurstOfConnectionsIsTakenFromTheQueueWhileAWorkerIsBusy) {
    ScopedAddress address("127.0.0.1");
    int port = testsupport::FreeTcpPort();
    IncrementServer server(port, kQuick);
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(testsupport::WaitFor([&] { return server.IsListening(); }, 5s));
    // The worker waits on a client that says nothing.
    auto silent = OpenConnection("127.0.0.1", port);
    ASSERT_TRUE(silent);
    ASSERT_TRUE(testsupport::WaitFor([&] { return server.MostAtOnce() == 1; }, 5s));

    // Far more than 24: a queue full at that depth drops the next handshake, and
    // each dropped one costs its client a second before the kernel tries again.
    std::vector<std::unique_ptr<TimeOutSocket>> burst;
    auto started = Clock::now();
    for (int i = 0; i < 60; ++i) {
        burst.push_back(OpenConnection("127.0.0.1", port));
        ASSERT_TRUE(burst.back()) << "connection " << i;
    }
    EXPECT_LT(Elapsed(started), 900ms);

    // The first of the burst are served beside the silent one; those over the
    // address's bound were closed at once.
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(burst[i]->SendInt32(i * 10));
    for (std::size_t i = 3; i < burst.size(); ++i)
        burst[i]->Close();
    silent.reset();
    for (int i = 0; i < 3; ++i) {
        std::int32_t answer = -1;
        EXPECT_TRUE(burst[i]->ReceiveInt32(answer));
        EXPECT_EQ(answer, i * 10 + 1);
    }
    EXPECT_EQ(Ask(port, 41), 42);
    EXPECT_TRUE(server.Stop(true));
}

// What a server's state listener was told, in order.
class ListenEvents {
public:
    explicit ListenEvents(PeerServer& server) {
        server.SetStateListener([this](PeerServer::ListenEvent event) {
            std::lock_guard lock(m_mutex);
            m_events.push_back(event);
        });
    }
    std::vector<PeerServer::ListenEvent> Told() {
        std::lock_guard lock(m_mutex);
        return m_events;
    }

private:
    std::mutex m_mutex;
    std::vector<PeerServer::ListenEvent> m_events;
};

using Event = PeerServer::ListenEvent;

// The state listener hears each outcome once: a server that gave up says
// nothing more, one that listened says so and then that it stopped, and one
// stopped while it still tried says only that it stopped.
TEST(PeerServer, RetriesATakenPortAndGivesUp) {
    ScopedAddress address(nullptr);
    TimeOutSocket holder;
    ASSERT_TRUE(holder.Listen("", 0));
    int port = holder.LocalPort();

    IncrementServer server(port, kQuick);
    ListenEvents serverEvents(server);
    auto started = Clock::now();
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(testsupport::WaitFor(
        [&] { return server.ExitCode() != platform::kThreadStillActive; }, 5s));
    EXPECT_EQ(server.ExitCode(), 0);
    EXPECT_GE(Elapsed(started), 190ms) << "three attempts, 100 ms apart";
    EXPECT_FALSE(server.IsRunning());
    auto failures = server.ListenFailures();
    ASSERT_EQ(failures.size(), 3u);
    EXPECT_EQ(failures[2].first, 3);
    EXPECT_EQ(failures[0].second, EADDRINUSE);
    EXPECT_FALSE(server.Stop(true));
    EXPECT_EQ(serverEvents.Told(), std::vector<Event>{Event::GaveUp});

    IncrementServer stopped(port, {20, 100ms, 5000ms});
    ListenEvents stoppedEvents(stopped);
    ASSERT_TRUE(stopped.Start());
    std::this_thread::sleep_for(150ms);
    EXPECT_TRUE(stopped.Stop(true));
    EXPECT_EQ(stoppedEvents.Told(), std::vector<Event>{Event::Stopped});

    // Freed while the server still tries: it takes the port.
    IncrementServer patient(port, {20, 100ms, 5000ms});
    ListenEvents patientEvents(patient);
    ASSERT_TRUE(patient.Start());
    std::this_thread::sleep_for(250ms);
    holder.Close();
    ASSERT_TRUE(testsupport::WaitFor([&] { return patient.IsListening(); }, 5s));
    EXPECT_EQ(Ask(port, 5), 6);
    EXPECT_TRUE(patient.Stop(true));
    EXPECT_EQ(patientEvents.Told(), (std::vector<Event>{Event::Listening, Event::Stopped}));
}

TEST(PeerServer, ListensOnTheConfiguredAddressOnly) {
    int port = testsupport::FreeTcpPort("127.0.0.2");
    ScopedAddress address("127.0.0.2");
    IncrementServer server(port, kQuick);
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(testsupport::WaitFor([&] { return server.IsListening(); }, 5s));
    EXPECT_EQ(Ask(port, 10, "127.0.0.2"), 11);
    EXPECT_FALSE(testsupport::CanConnect("127.0.0.1", port, 200ms));
    EXPECT_TRUE(server.Stop(true));

    // An address that is no IPv4 address is not silently widened to all of them.
    ScopedAddress bad("my.host");
    IncrementServer refused(port, {1, 10ms, 5000ms});
    ASSERT_TRUE(refused.Start());
    ASSERT_TRUE(testsupport::WaitFor([&] { return refused.ExitCode() == 0; }, 5s));
}

} // namespace
