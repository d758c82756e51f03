// Clients that connect and then say nothing, or send their request a byte at
// a time: they must not keep anybody else from being answered, and a request
// that does not arrive whole in time is refused.

#include "HalvdirProcess.h"
#include "directory/DirectoryServer.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>

namespace {

using halvdirtest::HalvdirProcess;
using Clock = std::chrono::steady_clock;

constexpr auto kBound = std::chrono::seconds(10);
const std::string kRequest = "GET /cgi-bin/lookupip?1 HTTP/1.1\r\nHost: directory\r\n"
                             "User-Agent: Halvara 1.17\r\nConnection: close\r\n\r\n";

// Open connections that send one byte of a request each in turn, until
// stopped; what the server does with them is up to it.
class Tricklers {
public:
    Tricklers(int port, int count, const char* source, std::chrono::milliseconds pause)
        : m_sender([this, port, count, source, pause] {
            for (int i = 0; i < count; ++i)
                m_sockets.push_back(halvdirtest::ConnectFrom(port, source));
            m_connected = true;
            for (size_t at = 0; at < kRequest.size() && !m_stop; ++at) {
                for (int fd : m_sockets)
                    if (fd >= 0)
                        send(fd, kRequest.data() + at, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
                auto until = Clock::now() + pause;
                while (!m_stop && Clock::now() < until)
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }) {
        testsupport::WaitFor([&] { return m_connected.load(); }, std::chrono::seconds(20));
    }
    ~Tricklers() {
        m_stop = true;
        m_sender.join();
        for (int fd : m_sockets)
            if (fd >= 0)
                close(fd);
    }

private:
    std::vector<int> m_sockets;
    std::atomic<bool> m_connected{false};
    std::atomic<bool> m_stop{false};
    std::thread m_sender;
};

// What the server sent on the socket until it closed it or the limit passed,
// and whether it closed it.
std::pair<std::string, bool> ReadUntilClosed(int fd, std::chrono::seconds limit) {
    std::string received;
    char buffer[4096];
    auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return {received, true};
        received.append(buffer, static_cast<size_t>(n));
    }
    return {received, false};
}

TEST(DirectorySlowClients, ALookupIsAnsweredWhileEightyConnectionsTrickleAndOthersIdle) {
    HalvdirProcess directory;
    ASSERT_TRUE(directory.Started()) << directory.Output();
    ASSERT_EQ(directory.Get("/cgi-bin/registerid").body, "NewID: 1\n");
    ASSERT_EQ(directory.Get("/cgi-bin/updateip?1+127.0.0.2").body, "Result: 1\n");

    Tricklers trickling(directory.Port(), 80, "127.0.0.5", std::chrono::milliseconds(500));
    std::vector<int> idle;
    for (int i = 0; i < 40; ++i)
        idle.push_back(halvdirtest::ConnectFrom(directory.Port(), "127.0.0.6"));

    auto started = Clock::now();
    auto reply = halvdirtest::Get(directory.Port(), "/cgi-bin/lookupip?1", kBound);
    EXPECT_EQ(reply.body, "IP: 127.0.0.2\n");
    EXPECT_LT(Clock::now() - started, kBound);
    for (int fd : idle)
        if (fd >= 0)
            close(fd);
}

TEST(DirectorySlowClients, ARequestTrickledPastTheDeadlineIsRefusedAndClosed) {
    HalvdirProcess directory;
    ASSERT_TRUE(directory.Started()) << directory.Output();
    // One byte every 300 ms would take about 25 s for the whole request.
    int fd = halvdirtest::ConnectFrom(directory.Port());
    ASSERT_GE(fd, 0);
    std::atomic<bool> done{false};
    std::thread slow([&] {
        for (size_t at = 0; at < kRequest.size() && !done; ++at) {
            send(fd, kRequest.data() + at, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
    });
    auto started = Clock::now();
    auto [received, closed] =
        ReadUntilClosed(fd, halvdir::DirectoryServer::kRequestDeadline + kBound);
    auto took = Clock::now() - started;
    done = true;
    slow.join();
    close(fd);
    EXPECT_TRUE(closed);
    EXPECT_LT(took, halvdir::DirectoryServer::kRequestDeadline + kBound);
    EXPECT_EQ(received.rfind("HTTP/1.1 408 ", 0), 0u) << received;
}

TEST(DirectorySlowClients, ReadersThatStopReadingHoldNoWorker) {
    // Two workers, and four times as many readers that ask for a long answer
    // over and over at once and never read, with a small receive buffer: the
    // answers back up until the server cannot write them.
    HalvdirProcess directory({"--threads", "2"});
    ASSERT_TRUE(directory.Started()) << directory.Output();
    directory.SystemMessage("Long", std::string(60000, 'x'));
    std::string run;
    for (int i = 0; i < 200; ++i)
        run += "GET /sysmessage HTTP/1.1\r\nHost: x\r\n\r\n";
    std::vector<int> stalled;
    for (int i = 0; i < 8; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int small = 4096;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(directory.Port()));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        send(fd, run.data(), run.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        stalled.push_back(fd);
    }
    // Let the answers pile up.
    std::this_thread::sleep_for(std::chrono::seconds(2));

    auto started = Clock::now();
    EXPECT_EQ(halvdirtest::Get(directory.Port(), "/cgi-bin/lookupip?1", kBound).body,
              "IP: 0.0.0.0\n");
    EXPECT_LT(Clock::now() - started, kBound);
    for (int fd : stalled)
        close(fd);
}

TEST(DirectorySlowClients, OneAddressCannotHoldMoreThanItsShareOfConnections) {
    HalvdirProcess directory;
    ASSERT_TRUE(directory.Started()) << directory.Output();
    constexpr int kBeyond = 20;
    std::vector<int> sockets;
    for (int i = 0; i < halvdir::DirectoryServer::kMaxConnectionsPerAddress + kBeyond; ++i)
        sockets.push_back(halvdirtest::ConnectFrom(directory.Port(), "127.0.0.7"));
    // The surplus is closed at once; the others wait for their request
    // (well inside its deadline here).
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::vector<pollfd> polled;
    for (int fd : sockets)
        polled.push_back(pollfd{fd, POLLIN, 0});
    poll(polled.data(), polled.size(), 0);
    int closedEarly = 0;
    for (const auto& p : polled)
        closedEarly += p.fd < 0 || (p.revents & (POLLIN | POLLHUP)) != 0;
    EXPECT_EQ(closedEarly, kBeyond);
    // Another address is served meanwhile.
    EXPECT_EQ(directory.Get("/cgi-bin/lookupip?1").body, "IP: 0.0.0.0\n");
    for (int fd : sockets)
        if (fd >= 0)
            close(fd);
}

} // namespace
