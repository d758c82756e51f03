// The transfer agent's queue against real transfer servers on loopback
// addresses: several hosts at once, one host at a time, the queue file, and a
// download whose bytes were changed on the way.

#include "PeerTestSupport.h"
#include "TransferTestSupport.h"
#include "app/files/ShareTable.h"
#include "app/peer/transfer/TransferAgentQueue.h"
#include "app/peer/transfer/TransferPartRecord.h"
#include "app/peer/transfer/TransferQueueFile.h"
#include "app/peer/transfer/TransferServer.h"
#include "app/peer/wire/TimeOutSocket.h"
#include "support/TestSupport.h"

#include <arpa/inet.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <set>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using peertest::RandomBytes;
using peertest::ReadFile;
using peertest::WriteFile;

const char* const kFirstHost = "127.0.0.4";
const char* const kSecondHost = "127.0.0.7";

bool Active(const std::string& status) {
    return status.rfind("Transferring", 0) == 0 || status.rfind("Resuming", 0) == 0;
}

// Follows every row's status as the queue reports it (under its lock, so in
// order) and notes what ran at the same time.
class OverlapObserver : public TransferQueueObserver {
public:
    explicit OverlapObserver(std::vector<std::string> hostOfRow)
        : m_hostOfRow(std::move(hostOfRow)) {}

    void RowStatusChanged(int row, const std::string& status) override {
        std::lock_guard lock(m_mutex);
        m_status[row] = status;
        std::map<std::string, int> activeByHost;
        std::set<std::string> midway;
        for (const auto& [index, shown] : m_status) {
            if (!Active(shown))
                continue;
            const std::string& host = m_hostOfRow.at(static_cast<std::size_t>(index));
            ++activeByHost[host];
            // Past its first percent and short of its last.
            if (shown.find('(') != std::string::npos && shown != "Transferring (100%)" &&
                shown != "Transferring (0%)")
                midway.insert(host);
        }
        for (const auto& [host, count] : activeByHost)
            mostAtOnceOneHost = std::max(mostAtOnceOneHost, count);
        if (midway.size() >= 2)
            bothMidway = true;
        order.push_back(std::to_string(row) + " " + status);
    }

    std::mutex m_mutex;
    std::map<int, std::string> m_status;
    const std::vector<std::string> m_hostOfRow;
    int mostAtOnceOneHost = 0;
    bool bothMidway = false;
    std::vector<std::string> order;
};

// Two friends' transfer servers on the same port of two addresses.
class TransferQueueTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_share = m_temp.Path() / "share";
        m_downloads = m_temp.Path() / "downloads";
        fs::create_directories(m_downloads);
        m_table = peertest::TableSharing(m_share);
        ASSERT_TRUE(m_table);
        m_options.port = testsupport::FreeTcpPort(kFirstHost);
        for (const char* host : {kFirstHost, kSecondHost}) {
            m_servers.push_back(peertest::ListeningTransferServer(
                m_table, nullptr, host, m_options.port, peertest::QuickTiming(4)));
            ASSERT_TRUE(m_servers.back());
        }
    }
    void TearDown() override {
        m_servers.clear();
        unsetenv("HALVARA_ADDRESS");
    }

    fs::path Shared(const std::string& name, const std::vector<std::uint8_t>& content) {
        WriteFile(m_share / name, content);
        return m_share / name;
    }

    testsupport::TempDir m_temp;
    fs::path m_share, m_downloads;
    std::shared_ptr<ShareTable> m_table;
    TransferDownloadOptions m_options;
    std::vector<std::unique_ptr<TransferServer>> m_servers;
};

TEST_F(TransferQueueTest, TwoHostsProgressAtOnceWhileEachHostKeepsItsOrder) {
    const auto large = RandomBytes(24u << 20, 1);
    const auto small = RandomBytes(30000, 2);
    Shared("large", large);
    Shared("small", small);
    // Rows 0 and 2 from the first host, 1 and 3 from the second.
    const std::vector<std::string> hosts{kFirstHost, kSecondHost, kFirstHost, kSecondHost};
    const std::vector<std::string> names{"large", "large", "small", "small"};
    OverlapObserver observer(hosts);
    TransferAgentQueue queue(&observer, nullptr, m_options);
    for (std::size_t row = 0; row < hosts.size(); ++row)
        ASSERT_TRUE(queue.AddTransfer((m_share / names[row]).string(), hosts[row],
                                      (m_downloads / (std::to_string(row) + names[row])).string(),
                                      "127.0.0.1"));
    ASSERT_TRUE(testsupport::WaitFor(
        [&] { return queue.PendingCount() == 0 && !queue.IsWorkerActive(); }, 60s));

    for (std::size_t row = 0; row < hosts.size(); ++row) {
        SCOPED_TRACE(row);
        EXPECT_EQ(queue.Rows()[row].status, "Verified");
        EXPECT_EQ(ReadFile(m_downloads / (std::to_string(row) + names[row])),
                  names[row] == "large" ? large : small);
    }
    std::lock_guard lock(observer.m_mutex);
    EXPECT_TRUE(observer.bothMidway) << "the two hosts' large files never ran side by side";
    EXPECT_EQ(observer.mostAtOnceOneHost, 1) << "one host served two downloads at once";
    // Each host's small file started only after its large one ended.
    auto position = [&](const std::string& event) {
        return std::find(observer.order.begin(), observer.order.end(), event) -
               observer.order.begin();
    };
    EXPECT_LT(position("0 Verified"), position("2 Transferring"));
    EXPECT_LT(position("1 Verified"), position("3 Transferring"));
}

TEST_F(TransferQueueTest, TheQueueFileBringsBackWhatWasLeftAndIgnoresDamage) {
    const fs::path queueFile = m_temp.Path() / "config" / kTransferQueueFileName;
    const auto first = RandomBytes(50000, 3);
    const auto second = RandomBytes(70000, 4);
    Shared("first", first);
    Shared("second", second);
    {
        // A server that takes the connection and never answers holds the
        // first download in hand and the second waiting when the program ends.
        TimeOutSocket silent;
        ASSERT_TRUE(silent.Listen(kFirstHost, 0));
        TransferDownloadOptions stalled = m_options;
        stalled.port = silent.LocalPort();
        TransferAgentQueue queue(nullptr, nullptr, stalled, queueFile);
        for (const char* name : {"first", "second"})
            ASSERT_TRUE(queue.AddTransfer((m_share / name).string(), kFirstHost,
                                          (m_downloads / name).string(), "127.0.0.1"));
        ASSERT_TRUE(
            testsupport::WaitFor([&] { return queue.Rows()[0].status == "Transferring"; }, 10s));
    }
    const auto saved = LoadTransferQueue(queueFile);
    ASSERT_EQ(saved.size(), 2u);
    EXPECT_EQ(saved[1].sourcePath, (m_share / "second").string());
    EXPECT_EQ(saved[1].destinationPath, (m_downloads / "second").string());

    {
        TransferAgentQueue queue(nullptr, nullptr, m_options, queueFile);
        EXPECT_EQ(queue.RestoreSaved(), 2);
        ASSERT_TRUE(testsupport::WaitFor(
            [&] { return queue.PendingCount() == 0 && !queue.IsWorkerActive(); }, 30s));
        EXPECT_EQ(queue.Rows()[0].status, "Verified");
        EXPECT_EQ(queue.Rows()[1].status, "Verified");
        EXPECT_EQ(ReadFile(m_downloads / "first"), first);
        EXPECT_EQ(ReadFile(m_downloads / "second"), second);
        // Nothing is left to do; the final states stay until cleared.
        EXPECT_TRUE(LoadTransferQueue(queueFile).empty());
    }
    {
        TransferAgentQueue queue(nullptr, nullptr, m_options, queueFile);
        EXPECT_EQ(queue.RestoreSaved(), 0);
        ASSERT_EQ(queue.RowCount(), 2);
        EXPECT_EQ(queue.PendingCount(), 0);
        EXPECT_EQ(queue.Rows()[1].status, "Verified");
        EXPECT_EQ(queue.Rows()[1].fileName, (m_share / "second").string());
    }
    {
        // A download handed over before the saved rows were restored comes
        // after them; the file is never written before it was read.
        TransferAgentQueue queue(nullptr, nullptr, m_options, queueFile);
        ASSERT_TRUE(queue.AddTransfer((m_share / "first").string(), kSecondHost,
                                      (m_downloads / "again").string(), "127.0.0.1"));
        EXPECT_EQ(queue.RestoreSaved(), 0);
        ASSERT_EQ(queue.RowCount(), 3);
        EXPECT_EQ(queue.Rows()[0].status, "Verified");
        EXPECT_EQ(queue.Rows()[2].host, kSecondHost);
        ASSERT_TRUE(testsupport::WaitFor([&] { return queue.PendingCount() == 0; }, 30s));
        EXPECT_EQ(queue.ClearFinished(), 3);
        EXPECT_TRUE(LoadSavedTransfers(queueFile).empty());
    }

    // A file of the first layout, rows without a state, is still read.
    std::vector<std::uint8_t> firstLayout = {'D', 'T', 'Q', '1', 1, 0, 0, 0};
    for (const std::string text : {"/share/a", "127.0.0.4", "/downloads/a", "127.0.0.1"}) {
        firstLayout.push_back(static_cast<std::uint8_t>(text.size()));
        firstLayout.push_back(0);
        firstLayout.insert(firstLayout.end(), text.begin(), text.end());
    }
    WriteFile(queueFile, firstLayout);
    const auto old = LoadSavedTransfers(queueFile);
    ASSERT_EQ(old.size(), 1u);
    EXPECT_EQ(old[0].item.sourceHost, "127.0.0.4");
    EXPECT_EQ(old[0].item.destinationPath, "/downloads/a");
    EXPECT_EQ(old[0].finalState, "");

    // Damaged files read as an empty queue, never as part of one.
    ASSERT_TRUE(SaveTransferQueue(queueFile, saved));
    const auto whole = ReadFile(queueFile);
    auto truncated = whole;
    truncated.pop_back();
    auto trailing = whole;
    trailing.push_back(0);
    auto hugeCount = whole;
    hugeCount[4] = hugeCount[5] = hugeCount[6] = hugeCount[7] = 0xff;
    auto longText = whole;
    longText[8] = 0xff, longText[9] = 0xff; // the first path's length
    auto nul = whole;
    nul[10] = 0;
    ASSERT_TRUE(SaveTransferQueue(queueFile, {SavedTransfer{saved[0], "Verified"}}));
    auto strangeState = ReadFile(queueFile);
    strangeState.back() = 'x';
    for (const auto& damaged : {truncated, trailing, hugeCount, longText, nul, strangeState}) {
        WriteFile(queueFile, damaged);
        EXPECT_TRUE(LoadTransferQueue(queueFile).empty());
    }
    WriteFile(queueFile, whole);
    EXPECT_EQ(LoadTransferQueue(queueFile).size(), saved.size());
}

TEST_F(TransferQueueTest, RemoveAndStopReachEachDownloadInHand) {
    // Servers on both hosts that take connections and never answer.
    m_servers.clear();
    std::vector<std::unique_ptr<TimeOutSocket>> silent;
    for (const char* host : {kFirstHost, kSecondHost}) {
        silent.push_back(std::make_unique<TimeOutSocket>());
        ASSERT_TRUE(silent.back()->Listen(host, m_options.port));
    }
    TransferDownloadOptions patient = m_options;
    patient.callLimit = 60s;
    TransferAgentQueue queue(nullptr, nullptr, patient);
    auto add = [&](const char* name, const char* host) {
        return queue.AddTransfer((m_share / name).string(), host,
                                 (m_downloads / (std::string(name) + host)).string(), "127.0.0.1");
    };
    ASSERT_TRUE(add("x", kFirstHost));
    ASSERT_TRUE(add("x", kSecondHost));
    ASSERT_TRUE(add("y", kFirstHost));
    auto statuses = [&] {
        std::vector<std::string> shown;
        for (const auto& row : queue.Rows())
            shown.push_back(row.status);
        return shown;
    };
    using Shown = std::vector<std::string>;
    ASSERT_TRUE(testsupport::WaitFor(
        [&] {
            return statuses() == Shown{"Transferring", "Transferring", "Waiting"};
        },
        10s));

    // The first host's download in hand ends; that host's next one starts.
    ASSERT_TRUE(queue.Remove((m_share / "x").string(), kFirstHost));
    ASSERT_TRUE(testsupport::WaitFor(
        [&] {
            return statuses() == Shown{"Transferring", "Transferring"};
        },
        10s));
    EXPECT_EQ(queue.Rows()[1].fileName, (m_share / "y").string());
    EXPECT_TRUE(testsupport::WaitFor(
        [&] { return !fs::exists(PartFileOf(m_downloads / (std::string("x") + kFirstHost))); },
        10s));
    EXPECT_TRUE(fs::exists(PartFileOf(m_downloads / (std::string("x") + kSecondHost))))
        << "the other host's download keeps its part file";

    // A stop ends both waits at once; the rows wait to go on.
    const auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(queue.StopWorker(true));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    EXPECT_EQ(statuses(), (Shown{"Waiting", "Waiting"}));
}

// Forwards one connection to the transfer server and flips one byte of what
// comes back, far past any reply header.
class FlippingProxy {
public:
    FlippingProxy(const std::string& address, int upstreamPort, std::size_t flipAt)
        : m_upstreamPort(upstreamPort)
        , m_flipAt(flipAt) {
        m_listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_port = 0;
        inet_pton(AF_INET, address.c_str(), &where.sin_addr);
        bind(m_listener, reinterpret_cast<sockaddr*>(&where), sizeof where);
        listen(m_listener, 4);
        socklen_t length = sizeof where;
        getsockname(m_listener, reinterpret_cast<sockaddr*>(&where), &length);
        m_port = ntohs(where.sin_port);
        m_address = address;
        m_thread = std::thread([this] { Forward(); });
    }
    ~FlippingProxy() {
        m_stop = true;
        m_thread.join();
        close(m_listener);
    }
    int Port() const { return m_port; }

private:
    void Forward() {
        pollfd waiting{m_listener, POLLIN, 0};
        if (poll(&waiting, 1, 20000) != 1)
            return;
        const int client = accept(m_listener, nullptr, nullptr);
        const int server = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_port = htons(static_cast<std::uint16_t>(m_upstreamPort));
        inet_pton(AF_INET, m_address.c_str(), &where.sin_addr);
        if (client >= 0 &&
            connect(server, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0) {
            std::size_t fromServer = 0;
            std::vector<char> buffer(65536);
            while (!m_stop) {
                pollfd ends[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
                if (poll(ends, 2, 100) <= 0)
                    continue;
                const bool up = (ends[0].revents & (POLLIN | POLLHUP)) != 0;
                const int from = up ? client : server;
                const ssize_t got = recv(from, buffer.data(), buffer.size(), 0);
                if (got <= 0)
                    break;
                if (!up && fromServer <= m_flipAt &&
                    m_flipAt < fromServer + static_cast<std::size_t>(got))
                    buffer[m_flipAt - fromServer] ^= 0x01;
                if (!up)
                    fromServer += static_cast<std::size_t>(got);
                if (send(up ? server : client, buffer.data(), static_cast<std::size_t>(got),
                         MSG_NOSIGNAL) != got)
                    break;
            }
        }
        close(server);
        if (client >= 0)
            close(client);
    }

    int m_listener = -1;
    int m_port = 0;
    std::string m_address;
    const int m_upstreamPort;
    const std::size_t m_flipAt;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

TEST_F(TransferQueueTest, AFlippedByteEndsInDigestMismatchWithNothingRenamed) {
    const auto content = RandomBytes(300000, 5);
    Shared("file", content);
    FlippingProxy proxy(kFirstHost, m_options.port, 150000);
    TransferDownloadOptions throughProxy = m_options;
    throughProxy.port = proxy.Port();
    TransferAgentQueue queue(nullptr, nullptr, throughProxy);
    const fs::path destination = m_downloads / "file";
    ASSERT_TRUE(queue.AddTransfer((m_share / "file").string(), kFirstHost, destination.string(),
                                  "127.0.0.1"));
    ASSERT_TRUE(testsupport::WaitFor([&] { return queue.PendingCount() == 0; }, 30s));
    EXPECT_EQ(queue.Rows()[0].status, "Digest mismatch");
    EXPECT_FALSE(fs::exists(destination));
    // What arrived stays under its part name, without a record: queued
    // again, it starts over rather than building on damaged bytes.
    const auto kept = ReadFile(PartFileOf(destination));
    ASSERT_EQ(kept.size(), content.size());
    EXPECT_NE(kept, content);
    EXPECT_FALSE(fs::exists(PartRecordOf(destination)));
}

} // namespace
