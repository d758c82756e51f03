#include "app/peer/transfer/TransferServer.h"

#include "PeerTestSupport.h"
#include "TransferTestSupport.h"
#include "app/files/LogEvent.h"
#include "app/files/ShareTable.h"
#include "app/peer/wire/PeerConnection.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

using LogLines = peertest::RecordedLog;
using peertest::RandomBytes;
using peertest::WriteFile;

// What a raw client gets for one request: the size word (when one came) and
// every byte after it until the server closed.
struct Reply {
    bool gotSize = false;
    std::int32_t size = 0;
    std::vector<std::uint8_t> rest;
};

const char* const kServerAddress = "127.0.0.3";

// A transfer server on its own loopback address with one shared folder
// ("share") and a folder beside it that is not shared ("private").
class TransferServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("HALVARA_ADDRESS", kServerAddress, 1);
        m_share = m_temp.Path() / "share";
        m_private = m_temp.Path() / "private";
        fs::create_directories(m_share / "sub");
        fs::create_directories(m_private);
        m_table = peertest::TableSharing(m_share);
        ASSERT_TRUE(m_table);
        m_log.Register(&m_lines);
        m_port = testsupport::FreeTcpPort(kServerAddress);
    }
    void TearDown() override {
        m_server.reset();
        m_log.Unregister(&m_lines);
        unsetenv("HALVARA_ADDRESS");
    }

    void StartServer(TransferServer::Limits limits = {}) {
        m_server = peertest::ListeningTransferServer(m_table, &m_log, kServerAddress, m_port,
                                                     peertest::QuickTiming(), limits);
        ASSERT_TRUE(m_server);
    }

    Reply Request(const std::string& path) {
        Reply reply;
        auto connection = OpenConnection(kServerAddress, m_port);
        if (!connection || !connection->SendText(path, kTransferPathWidth))
            return reply;
        reply.gotSize = connection->ReceiveInt32(reply.size);
        std::vector<std::uint8_t> buffer(65536);
        while (reply.gotSize) {
            long got = connection->Receive(buffer.data(), buffer.size());
            if (got <= 0)
                break;
            reply.rest.insert(reply.rest.end(), buffer.begin(), buffer.begin() + got);
        }
        return reply;
    }

    testsupport::TempDir m_temp;
    fs::path m_share, m_private;
    std::shared_ptr<ShareTable> m_table;
    LogEvent m_log;
    LogLines m_lines;
    int m_port = 0;
    std::unique_ptr<TransferServer> m_server;
};

TEST_F(TransferServerTest, SendsTheSizeAndWholeBlocksWithZeroFillerAfterTheTail) {
    StartServer();
    for (std::size_t size :
         {std::size_t{1}, std::size_t{10240}, std::size_t{10241}, std::size_t{25600}}) {
        SCOPED_TRACE(size);
        m_lines.Clear();
        auto content = RandomBytes(size, static_cast<unsigned>(size));
        fs::path file = m_share / "sub" / ("file" + std::to_string(size));
        WriteFile(file, content);

        Reply reply = Request(file.string());
        ASSERT_TRUE(reply.gotSize);
        EXPECT_EQ(reply.size, static_cast<std::int32_t>(size));
        std::size_t blocks = size / kTransferBlockSize + 1;
        ASSERT_EQ(reply.rest.size(), blocks * kTransferBlockSize);
        EXPECT_TRUE(std::equal(content.begin(), content.end(), reply.rest.begin()));
        EXPECT_TRUE(std::all_of(reply.rest.begin() + static_cast<long>(size), reply.rest.end(),
                                [](std::uint8_t b) { return b == 0; }));

        ASSERT_TRUE(m_lines.WaitFor("TransferServer: Finished transmission"));
        std::vector<std::string> expected{
            "TransferServer: Got connection", "TransferServer: Request for " + file.string(),
            "TransferServer: Sending the file...", "TransferServer: Finished transmission"};
        EXPECT_EQ(m_lines.Lines(), expected);
    }
}

TEST_F(TransferServerTest, RefusesWhatIsNotASharedFileWithItsLogLineAndNoReply) {
    WriteFile(m_private / "secret", RandomBytes(100, 1));
    WriteFile(m_share / "empty", {});
    WriteFile(m_share / "real", RandomBytes(100, 2));
    fs::create_symlink(m_private / "secret", m_share / "escape");
    fs::create_symlink(m_private, m_share / "escapeFolder");
    fs::create_symlink(m_share / "real", m_share / "sub" / "inside");
    StartServer();

    struct Case {
        std::string path;
        std::string line;
    };
    const std::vector<Case> cases{
        {(m_private / "secret").string(), "TransferServer: File is not shared"},
        {(m_share / ".." / "private" / "secret").string(), "TransferServer: File is not shared"},
        {(m_share / "escape").string(), "TransferServer: File is not shared"},
        {(m_share / "escapeFolder" / "secret").string(), "TransferServer: File is not shared"},
        {"share/real", "TransferServer: File is not shared"},
        {"/etc/passwd", "TransferServer: File is not shared"},
        {(m_share / "missing").string(), "TransferServer: File is not shared"},
        {(m_share / "sub").string(), "TransferServer: File is a directory"},
        {m_share.string() + "/", "TransferServer: File is a directory"},
        {(m_share / "empty").string(), "TransferServer: Can't get file size"},
    };
    for (const auto& refused : cases) {
        SCOPED_TRACE(refused.path);
        m_lines.Clear();
        Reply reply = Request(refused.path);
        EXPECT_FALSE(reply.gotSize) << "a refusal sends nothing";
        ASSERT_TRUE(m_lines.WaitFor(refused.line));
        std::vector<std::string> expected{"TransferServer: Got connection",
                                          "TransferServer: Request for " + refused.path,
                                          refused.line};
        EXPECT_EQ(m_lines.Lines(), expected);
    }

    // A link that stays inside the shares is followed.
    Reply reply = Request((m_share / "sub" / "inside").string());
    ASSERT_TRUE(reply.gotSize);
    EXPECT_EQ(reply.size, 100);
}

TEST_F(TransferServerTest, RefusesAFileOfTwoGibibytesInsteadOfAnnouncingAWrongSize) {
    fs::path huge = m_share / "huge";
    WriteFile(huge, {});
    // Sparse: no disk space is used.
    fs::resize_file(huge, std::uintmax_t{1} << 31);
    fs::path largest = m_share / "largest";
    WriteFile(largest, {});
    fs::resize_file(largest, (std::uintmax_t{1} << 31) - 1);
    StartServer();

    Reply reply = Request(huge.string());
    EXPECT_FALSE(reply.gotSize);
    EXPECT_TRUE(m_lines.WaitFor("TransferServer: File is too large to send (2 GiB or more)"));

    // One byte less still fits the size word; only its size is read here.
    auto connection = OpenConnection(kServerAddress, m_port);
    ASSERT_TRUE(connection);
    ASSERT_TRUE(connection->SendText(largest.string(), kTransferPathWidth));
    std::int32_t size = 0;
    ASSERT_TRUE(connection->ReceiveInt32(size));
    EXPECT_EQ(size, 0x7fffffff);
}

TEST_F(TransferServerTest, ASilentOrShortRequestCostsAtMostTheRequestLimit) {
    WriteFile(m_share / "file", RandomBytes(5000, 3));
    StartServer(TransferServer::Limits{300ms, 5000ms});

    auto silent = OpenConnection(kServerAddress, m_port);
    ASSERT_TRUE(silent);
    auto started = Clock::now();
    // Served beside the silent peer, which is dropped once its limit has run out.
    Reply reply = Request((m_share / "file").string());
    ASSERT_TRUE(reply.gotSize);
    EXPECT_EQ(reply.size, 5000);
    EXPECT_LT(Clock::now() - started, 2s);
    EXPECT_TRUE(m_lines.WaitFor("TransferServer: Lost connection"));

    // Half a request, then the peer hangs up.
    m_lines.Clear();
    auto shortRequest = OpenConnection(kServerAddress, m_port);
    ASSERT_TRUE(shortRequest);
    std::vector<std::uint8_t> half(kTransferPathWidth / 2, 'a');
    ASSERT_TRUE(shortRequest->SendBlock(half));
    shortRequest->Close();
    EXPECT_TRUE(m_lines.WaitFor("TransferServer: Lost connection"));
    EXPECT_FALSE(m_lines.Has("TransferServer: Request for " + std::string(half.size(), 'a')));
}

TEST_F(TransferServerTest, GivesUpOnAPeerThatStopsReading) {
    // Larger than what the socket buffers on both ends hold together.
    std::size_t size = 64u << 20;
    WriteFile(m_share / "big", std::vector<std::uint8_t>(size, 7));
    StartServer(TransferServer::Limits{5000ms, 100ms});

    auto reader = OpenConnection(kServerAddress, m_port);
    ASSERT_TRUE(reader);
    ASSERT_TRUE(reader->SendText((m_share / "big").string(), kTransferPathWidth));
    std::int32_t announced = 0;
    ASSERT_TRUE(reader->ReceiveInt32(announced));
    EXPECT_EQ(announced, static_cast<std::int32_t>(size));
    // Reads nothing more: six sends in a row fail, 100 ms each.
    EXPECT_TRUE(m_lines.WaitFor("TransferServer: Couldn't finish transmission", 5s));
    EXPECT_FALSE(m_lines.Has("TransferServer: Finished transmission"));
}

TEST_F(TransferServerTest, ASlowReaderIsCutOffWhileAnotherDownloadIsServed) {
    // Far more than the socket buffers of both ends hold, so the reader's pace
    // decides.
    const std::size_t size = 32u << 20;
    WriteFile(m_share / "big", std::vector<std::uint8_t>(size, 7));
    WriteFile(m_share / "small", RandomBytes(30000, 5));
    TransferServer::Limits limits;
    limits.minimumRate = 256u << 10;
    limits.rateWindow = 500ms;
    StartServer(limits);

    auto slow = OpenConnection(kServerAddress, m_port);
    ASSERT_TRUE(slow);
    ASSERT_TRUE(slow->SendText((m_share / "big").string(), kTransferPathWidth));
    std::int32_t announced = 0;
    ASSERT_TRUE(slow->ReceiveInt32(announced));

    // 2 KiB every 50 ms: a reader that would take a quarter of an hour.
    std::atomic<bool> reading{true};
    std::thread reader([&] {
        std::vector<std::uint8_t> buffer(2048);
        while (reading) {
            slow->SetTimeOut(100ms);
            slow->Receive(buffer.data(), buffer.size());
            std::this_thread::sleep_for(50ms);
        }
    });
    // Meanwhile another download goes through whole.
    Reply other = Request((m_share / "small").string());
    EXPECT_EQ(other.size, 30000);
    EXPECT_EQ(other.rest.size(), TransferBlockCount(30000) * kTransferBlockSize);

    // The server gives the trickle up (what it had queued may still drain).
    EXPECT_TRUE(m_lines.WaitFor("TransferServer: Couldn't finish transmission", 10s));
    reading = false;
    reader.join();
}

TEST(TransferServerStart, RefusesToStartWithoutAShareTable) {
    TransferServer server(nullptr, nullptr, testsupport::FreeTcpPort());
    EXPECT_FALSE(server.Start());
    EXPECT_FALSE(server.IsRunning());
}

TEST(TransferServerBlocks, CountIncludesTheTailBlock) {
    EXPECT_EQ(TransferBlockCount(1), 1);
    EXPECT_EQ(TransferBlockCount(10239), 1);
    EXPECT_EQ(TransferBlockCount(10240), 2);
    EXPECT_EQ(TransferBlockCount(25600), 3);
}

} // namespace
