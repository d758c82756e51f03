#include "PeerTestSupport.h"
#include "TransferTestSupport.h"
#include "app/files/ShareTable.h"
#include "app/peer/transfer/TransferAgentDownload.h"
#include "app/peer/transfer/TransferAgentQueue.h"
#include "app/peer/transfer/TransferServer.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using peertest::RandomBytes;
using peertest::ReadFile;
using peertest::WriteFile;

// Everything the queue reports, in order.
class RecordingObserver : public TransferQueueObserver {
public:
    void RowAdded(int row, const TransferQueueRow& shown) override {
        Note("added " + std::to_string(row) + " " + shown.status);
    }
    void RowStatusChanged(int row, const std::string& status) override {
        Note("status " + std::to_string(row) + " " + status);
        if (onStatus)
            onStatus(status);
    }
    void RowRemoved(int row) override { Note("removed " + std::to_string(row)); }
    void FolderChanged(const std::string& folder) override { Note("folder " + folder); }
    void AutoCloseRequested() override { Note("auto close"); }

    std::vector<std::string> Events() const {
        std::lock_guard lock(m_mutex);
        return m_events;
    }
    int Count(const std::string& event) const {
        auto events = Events();
        return static_cast<int>(std::count(events.begin(), events.end(), event));
    }
    // Called on the worker under the queue's lock.
    std::function<void(const std::string&)> onStatus;

private:
    void Note(const std::string& event) {
        std::lock_guard lock(m_mutex);
        m_events.push_back(event);
    }
    mutable std::mutex m_mutex;
    std::vector<std::string> m_events;
};

class FakeFriends : public FriendResolver {
public:
    std::string AddressOf(const std::string& email) override {
        asked.push_back(email);
        auto found = addresses.find(email);
        return found == addresses.end() ? std::string() : found->second;
    }
    std::map<std::string, std::string> addresses;
    std::vector<std::string> asked;
};

const char* const kServerAddress = "127.0.0.4";

// A real transfer server sharing one folder; downloads land in another.
class TransferAgentTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_share = m_temp.Path() / "share";
        m_downloads = m_temp.Path() / "downloads";
        fs::create_directories(m_downloads);
        m_table = peertest::TableSharing(m_share);
        ASSERT_TRUE(m_table);
        m_options.port = testsupport::FreeTcpPort(kServerAddress);
        m_server =
            peertest::ListeningTransferServer(m_table, nullptr, kServerAddress, m_options.port);
        ASSERT_TRUE(m_server);
    }
    void TearDown() override {
        m_server.reset();
        unsetenv("HALVARA_ADDRESS");
    }

    fs::path Shared(const std::string& name, const std::vector<std::uint8_t>& content) {
        fs::path path = m_share / name;
        WriteFile(path, content);
        return path;
    }

    DownloadResult Download(const std::string& source, const std::string& sourceHost,
                            const fs::path& destination,
                            const std::string& destinationHost = "127.0.0.1") {
        std::atomic<bool> running{true};
        TransferItem item{source, sourceHost, destination.string(), destinationHost};
        return DownloadTransferItem(item, &m_friends, running, nullptr, m_options);
    }

    testsupport::TempDir m_temp;
    fs::path m_share, m_downloads;
    std::shared_ptr<ShareTable> m_table;
    TransferDownloadOptions m_options;
    FakeFriends m_friends;
    std::unique_ptr<TransferServer> m_server;
};

TEST_F(TransferAgentTest, QueuedDownloadsArriveByteIdenticalAndLeaveTheQueue) {
    RecordingObserver observer;
    TransferAgentQueue queue(&observer, &m_friends, m_options);
    queue.SetAutoClose(true);
    // The large file first keeps the worker busy while the others are queued,
    // so the queue runs empty only once.
    const std::vector<std::size_t> sizes{50u << 20, 1, 10240, 10241, 25600};
    std::map<std::size_t, std::vector<std::uint8_t>> contents;
    for (std::size_t size : sizes) {
        contents[size] = RandomBytes(size, static_cast<unsigned>(size));
        fs::path source = Shared("f" + std::to_string(size), contents[size]);
        ASSERT_TRUE(queue.AddTransfer(source.string(), kServerAddress,
                                      (m_downloads / ("f" + std::to_string(size))).string(),
                                      "127.0.0.1"));
    }
    ASSERT_TRUE(testsupport::WaitFor(
        [&] { return queue.PendingCount() == 0 && !queue.IsWorkerActive(); }, 30s));
    for (std::size_t size : sizes) {
        SCOPED_TRACE(size);
        EXPECT_EQ(ReadFile(m_downloads / ("f" + std::to_string(size))), contents[size]);
    }
    // Every row stays with its final state; one host's downloads ran in turn.
    for (std::size_t row = 0; row < sizes.size(); ++row) {
        EXPECT_EQ(observer.Count("added " + std::to_string(row) + " Waiting"), 1);
        EXPECT_EQ(observer.Count("status " + std::to_string(row) + " Transferring"), 1);
        EXPECT_EQ(observer.Count("status " + std::to_string(row) + " Verified"), 1);
    }
    EXPECT_EQ(observer.Count("removed 0"), 0);
    EXPECT_EQ(queue.RowCount(), static_cast<int>(sizes.size()));
    EXPECT_EQ(queue.ClearFinished(), static_cast<int>(sizes.size()));
    EXPECT_EQ(queue.RowCount(), 0);
    EXPECT_EQ(observer.Count("folder " + m_downloads.string()), static_cast<int>(sizes.size()));
    // The large file runs through many blocks and ends at 100 percent.
    EXPECT_GE(observer.Count("status 0 Transferring (50%)"), 1);
    EXPECT_GE(observer.Count("status 0 Transferring (100%)"), 1);
    auto events = observer.Events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back(), "removed 0") << "cleared from the back";
    EXPECT_EQ(observer.Count("auto close"), 1);
}

TEST_F(TransferAgentTest, EmptyOrUnsharedFilesAreRefusedAndLeaveAnEmptyFile) {
    fs::path empty = Shared("empty", {});
    EXPECT_EQ(Download(empty.string(), kServerAddress, m_downloads / "empty"),
              DownloadResult::Refused);
    EXPECT_TRUE(fs::exists(m_downloads / "empty"));
    EXPECT_EQ(fs::file_size(m_downloads / "empty"), 0u);

    WriteFile(m_temp.Path() / "private", RandomBytes(50, 1));
    EXPECT_EQ(
        Download((m_share / ".." / "private").string(), kServerAddress, m_downloads / "private"),
        DownloadResult::Refused);
    EXPECT_EQ(fs::file_size(m_downloads / "private"), 0u);
}

TEST_F(TransferAgentTest, OnlyDownloadsFromAnotherComputerToThisOne) {
    fs::path source = Shared("x", RandomBytes(10, 1));
    EXPECT_EQ(Download(source.string(), "127.0.0.1", m_downloads / "a"),
              DownloadResult::WrongDirection);
    EXPECT_EQ(Download(source.string(), kServerAddress, m_downloads / "b", kServerAddress),
              DownloadResult::WrongDirection);
    EXPECT_FALSE(fs::exists(m_downloads / "a"));
    EXPECT_FALSE(fs::exists(m_downloads / "b"));
    EXPECT_EQ(Download(source.string(), kServerAddress, m_downloads / "c", "127.0.0.1"),
              DownloadResult::Done);
    EXPECT_EQ(Download(source.string(), kServerAddress, m_downloads / "d", "127.0.0.1"),
              DownloadResult::Done);
    EXPECT_EQ(ReadFile(m_downloads / "c"), ReadFile(source));
    EXPECT_EQ(Download(source.string(), kServerAddress, m_downloads / "no" / "such" / "dir"),
              DownloadResult::CannotCreate);
}

TEST_F(TransferAgentTest, AFriendsAddressIsResolvedFromTheLowerCasedEmail) {
    fs::path source = Shared("song", RandomBytes(30000, 5));
    m_friends.addresses["ann@example.org"] = kServerAddress;
    m_friends.addresses["offline@example.org"] = "0.0.0.0";
    m_friends.addresses["junk@example.org"] = "not an address";
    EXPECT_EQ(Download(source.string(), "Ann@Example.ORG", m_downloads / "song"),
              DownloadResult::Done);
    EXPECT_EQ(ReadFile(m_downloads / "song"), ReadFile(source));
    ASSERT_FALSE(m_friends.asked.empty());
    EXPECT_EQ(m_friends.asked.front(), "ann@example.org");

    for (const char* host : {"bob@example.org", "offline@example.org", "junk@example.org"}) {
        SCOPED_TRACE(host);
        EXPECT_EQ(Download(source.string(), host, m_downloads / host), DownloadResult::NoAddress);
    }
    std::atomic<bool> running{true};
    TransferItem item{source.string(), "ann@example.org", (m_downloads / "none").string(),
                      "127.0.0.1"};
    EXPECT_EQ(DownloadTransferItem(item, nullptr, running, nullptr, m_options),
              DownloadResult::NoAddress)
        << "no presence library yet";
}

TEST_F(TransferAgentTest, AStopBetweenBlocksKeepsThePartialFileAndTheRowsLeft) {
    const std::size_t size = 8u << 20;
    auto content = RandomBytes(size, 9);
    fs::path source = Shared("big", content);
    fs::path other = Shared("other", RandomBytes(100, 2));

    // The classic exchange, whose blocks are what the partial file is made of.
    TransferDownloadOptions classic = m_options;
    classic.extended = false;
    RecordingObserver observer;
    TransferAgentQueue queue(&observer, &m_friends, classic);
    observer.onStatus = [&](const std::string& status) {
        if (status == "Transferring (30%)")
            queue.RequestStop();
    };
    ASSERT_TRUE(queue.AddTransfer(source.string(), kServerAddress, (m_downloads / "big").string(),
                                  "127.0.0.1"));
    ASSERT_TRUE(queue.AddTransfer(other.string(), kServerAddress, (m_downloads / "other").string(),
                                  "127.0.0.1"));
    ASSERT_TRUE(testsupport::WaitFor([&] { return !queue.IsWorkerActive(); }, 20s));

    auto partial = ReadFile(m_downloads / "big.drovick-part");
    EXPECT_GT(partial.size(), 0u);
    EXPECT_LT(partial.size(), size);
    EXPECT_EQ(partial.size() % kTransferBlockSize, 0u) << "only whole blocks are written";
    EXPECT_TRUE(std::equal(partial.begin(), partial.end(), content.begin()));
    EXPECT_EQ(observer.Count("status 0 Transferring (31%)"), 0);

    // The stopped row waits again, before the next one, for a new start.
    auto rows = queue.Rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].fileName, source.string());
    EXPECT_EQ(rows[0].status, "Waiting");
    EXPECT_EQ(rows[1].fileName, other.string());
    EXPECT_EQ(rows[1].status, "Waiting");
    EXPECT_FALSE(fs::exists(m_downloads / "other"));

    // Started again, the stopped download is fetched whole once more: the
    // classic exchange cannot start past byte 0.
    observer.onStatus = nullptr;
    EXPECT_TRUE(queue.StartWorker());
    ASSERT_TRUE(testsupport::WaitFor([&] { return queue.PendingCount() == 0; }, 10s));
    ASSERT_TRUE(testsupport::WaitFor([&] { return fs::exists(m_downloads / "other"); }, 5s));
    EXPECT_EQ(ReadFile(m_downloads / "other"), ReadFile(other));
    EXPECT_EQ(ReadFile(m_downloads / "big"), content);
    EXPECT_EQ(observer.Count("status 0 Transferring (0%)"), 2);
    // Nothing to check it against: done, not verified.
    EXPECT_EQ(queue.Rows()[0].status, "Done");
}

TEST_F(TransferAgentTest, RefusesMissingOverlongAndDuplicateTransfers) {
    // A listener that never accepts holds the first download at its size word.
    TimeOutSocket silent;
    ASSERT_TRUE(silent.Listen("127.0.0.5", 0));
    TransferDownloadOptions options = m_options;
    options.port = silent.LocalPort();

    RecordingObserver observer;
    TransferAgentQueue queue(&observer, &m_friends, options);
    const std::string dest = (m_downloads / "a").string();
    ASSERT_TRUE(queue.AddTransfer("/x/a", "127.0.0.5", dest, "127.0.0.1"));
    ASSERT_TRUE(
        testsupport::WaitFor([&] { return observer.Count("status 0 Transferring") == 1; }, 5s));

    EXPECT_TRUE(queue.AddTransfer("/x/b", "127.0.0.5", dest + "b", "127.0.0.1"));
    EXPECT_FALSE(queue.AddTransfer("/x/b", "127.0.0.5", dest + "b", "127.0.0.1"));
    EXPECT_FALSE(queue.AddTransfer("/X/B", "127.0.0.5", dest + "B", "127.0.0.1"))
        << "letter case is ignored";
    // Another host: its download runs beside the first and fails at once.
    EXPECT_TRUE(queue.AddTransfer("/x/b", "127.0.0.6", dest + "b", "127.0.0.1"));
    // The download in hand keeps its row.
    EXPECT_FALSE(queue.AddTransfer("/x/a", "127.0.0.5", dest, "127.0.0.1"));

    const std::string path260(260, 'p'), host256(256, 'h');
    EXPECT_FALSE(queue.AddTransfer("", "127.0.0.5", dest, "127.0.0.1"));
    EXPECT_FALSE(queue.AddTransfer("/x/c", "", dest, "127.0.0.1"));
    EXPECT_FALSE(queue.AddTransfer("/x/c", "127.0.0.5", "", "127.0.0.1"));
    EXPECT_FALSE(queue.AddTransfer("/x/c", "127.0.0.5", dest, ""));
    EXPECT_FALSE(queue.AddTransfer(path260 + "p", "127.0.0.5", dest, "127.0.0.1"));
    EXPECT_FALSE(queue.AddTransfer("/x/c", "127.0.0.5", path260 + "p", "127.0.0.1"));
    EXPECT_FALSE(queue.AddTransfer("/x/c", host256 + "h", dest, "127.0.0.1"));
    EXPECT_FALSE(queue.AddTransfer("/x/c", "127.0.0.5", dest, host256 + "h"));
    EXPECT_TRUE(queue.AddTransfer(path260, host256, path260, host256));

    ASSERT_TRUE(testsupport::WaitFor([&] { return queue.PendingCount() == 2; }, 10s));
    auto rows = queue.Rows();
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0].status, "Transferring");
    EXPECT_EQ(rows[1].status, "Waiting") << "the same host waits its turn";
    EXPECT_EQ(rows[2].status, "Failed");
    EXPECT_EQ(rows[3].status, "Failed");

    // A stop cancels the wait on the silent server at once.
    auto started = Clock::now();
    EXPECT_TRUE(queue.StopWorker(true));
    EXPECT_LT(Clock::now() - started, 2s);
    EXPECT_EQ(queue.RowCount(), 4);
    EXPECT_EQ(queue.Rows()[0].status, "Waiting");
}

// A server that announces a size and then sends what the test says.
class FakeServer {
public:
    FakeServer(std::int32_t size, std::vector<std::uint8_t> body) {
        m_listener.Listen("127.0.0.6", 0);
        m_thread = std::thread([this, size, body] {
            TimeOutSocket connection;
            m_listener.SetTimeOut(10s);
            if (!m_listener.Accept(connection))
                return;
            std::vector<std::uint8_t> request;
            if (!connection.ReceiveBlock(request, kTransferPathWidth))
                return;
            connection.SendInt32(size);
            connection.SendBlock(body);
        });
    }
    ~FakeServer() { m_thread.join(); }
    int Port() const { return m_listener.LocalPort(); }

private:
    TimeOutSocket m_listener;
    std::thread m_thread;
};

TEST(TransferAgentDownload, AServerCannotMakeTheAgentAllocateOrWriteMoreThanItSent) {
    testsupport::TempDir temp;
    fs::path destination = temp.Path() / "out";
    TransferDownloadOptions options;
    std::atomic<bool> running{true};
    TransferItem item{"/x", "127.0.0.6", destination.string(), "127.0.0.1"};
    {
        // The largest size, then one and a half blocks and a hang-up.
        FakeServer server(0x7fffffff, RandomBytes(15360, 1));
        options.port = server.Port();
        std::int64_t lastProgress = 0;
        auto result = DownloadTransferItem(
            item, nullptr, running,
            [&](std::int64_t received, std::int32_t) { lastProgress = received; }, options);
        EXPECT_EQ(result, DownloadResult::ReceiveFailed);
        EXPECT_EQ(lastProgress, 15360);
    }
    EXPECT_EQ(fs::file_size(destination), kTransferBlockSize);
    for (std::int32_t size : {0, -1, std::numeric_limits<std::int32_t>::min()}) {
        SCOPED_TRACE(size);
        FakeServer server(size, RandomBytes(20480, 2));
        options.port = server.Port();
        EXPECT_EQ(DownloadTransferItem(item, nullptr, running, nullptr, options),
                  DownloadResult::Refused);
        EXPECT_EQ(fs::file_size(destination), 0u);
    }
}

} // namespace
