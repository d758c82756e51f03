#include "app/peer/transfer/ExtendedTransfer.h"

#include "PeerTestSupport.h"
#include "TransferTestSupport.h"
#include "app/files/ShareTable.h"
#include "app/peer/transfer/DigestCache.h"
#include "app/peer/transfer/TransferAgentDownload.h"
#include "app/peer/transfer/TransferServer.h"
#include "app/peer/wire/PeerConnection.h"
#include "app/peer/wire/TimeOutSocket.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <string>
#include <sys/statvfs.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using peertest::RandomBytes;
using peertest::ReadFile;
using peertest::WriteFile;

const char* const kServerAddress = "127.0.0.7";

// Everything a raw client got for one field: the bytes until the server closed.
std::vector<std::uint8_t> Exchange(int port, const std::vector<std::uint8_t>& field) {
    std::vector<std::uint8_t> reply;
    auto connection = OpenConnection(kServerAddress, port);
    if (!connection || !connection->SendBlock(field))
        return reply;
    std::vector<std::uint8_t> buffer(65536);
    while (true) {
        long got = connection->Receive(buffer.data(), buffer.size());
        if (got <= 0)
            break;
        reply.insert(reply.end(), buffer.begin(), buffer.begin() + got);
    }
    return reply;
}

std::vector<std::uint8_t> ExtendedField(const std::string& path, std::uint64_t offset,
                                        bool digest = false) {
    auto field = EncodeExtendedRequest({path, offset, digest});
    return field ? *field : std::vector<std::uint8_t>{};
}

// Listens on the server's address on a port of its own and runs serve for
// each connection until the test ends.
class StandIn {
public:
    explicit StandIn(std::function<void(TimeOutSocket&)> serve)
        : m_serve(std::move(serve)) {
        m_listener.Listen(kServerAddress, 0);
        m_thread = std::thread([this] {
            while (m_running) {
                TimeOutSocket connection;
                m_listener.SetTimeOut(100ms);
                if (m_listener.Accept(connection)) {
                    ++m_connections;
                    m_serve(connection);
                }
            }
        });
    }
    ~StandIn() {
        m_running = false;
        m_thread.join();
    }
    int Port() const { return m_listener.LocalPort(); }
    int Connections() const { return m_connections; }

private:
    std::function<void(TimeOutSocket&)> m_serve;
    TimeOutSocket m_listener;
    std::atomic<bool> m_running{true};
    std::atomic<int> m_connections{0};
    std::thread m_thread;
};

class ExtendedTransferTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_share = m_temp.Path() / "share";
        m_private = m_temp.Path() / "private";
        fs::create_directories(m_private);
        fs::create_directories(m_temp.Path() / "downloads");
        m_table = peertest::TableSharing(m_share);
        ASSERT_TRUE(m_table);
        m_log.Register(&m_lines);
        m_options.port = testsupport::FreeTcpPort(kServerAddress);
        m_server =
            peertest::ListeningTransferServer(m_table, &m_log, kServerAddress, m_options.port);
        ASSERT_TRUE(m_server);
    }
    void TearDown() override {
        m_server.reset();
        m_log.Unregister(&m_lines);
        unsetenv("HALVARA_ADDRESS");
    }

    fs::path Destination(const std::string& name) const {
        return m_temp.Path() / "downloads" / name;
    }

    DownloadOutcome Download(const fs::path& source, const fs::path& destination,
                             const TransferDownloadOptions& options,
                             const TransferProgress& progress = nullptr) {
        std::atomic<bool> running{true};
        TransferItem item{source.string(), kServerAddress, destination.string(), "127.0.0.1"};
        return DownloadTransferItemEx(item, nullptr, running, progress, options);
    }

    testsupport::TempDir m_temp;
    fs::path m_share, m_private;
    std::shared_ptr<ShareTable> m_table;
    LogEvent m_log;
    peertest::RecordedLog m_lines;
    TransferDownloadOptions m_options;
    std::unique_ptr<TransferServer> m_server;
};

TEST_F(ExtendedTransferTest, AResumeMovesOnlyTheRemainderAndAChangedSourceStartsOver) {
    const auto content = RandomBytes(3 * 1024 * 1024 + 17, 3);
    const fs::path source = m_share / "song";
    WriteFile(source, content);
    const fs::path destination = Destination("song");
    const std::uint64_t cut = 1234567;
    WriteFile(destination, std::vector<std::uint8_t>(content.begin(), content.begin() + cut));

    TransferDownloadOptions options = m_options;
    options.startOffset = cut;
    options.expectedSize = content.size();
    std::int64_t firstProgress = -1;
    auto outcome = Download(source, destination, options, [&](std::int64_t got, std::int64_t size) {
        if (firstProgress < 0)
            firstProgress = got;
        EXPECT_EQ(size, static_cast<std::int64_t>(content.size()));
    });
    ASSERT_EQ(outcome.result, DownloadResult::Done) << DownloadResultName(outcome.result);
    EXPECT_TRUE(outcome.extended);
    EXPECT_EQ(outcome.startOffset, cut);
    EXPECT_EQ(outcome.digest, DownloadOutcome::Digest::Verified);
    EXPECT_EQ(firstProgress, static_cast<std::int64_t>(cut)) << "progress counts from byte 0";
    EXPECT_EQ(m_server->ExtendedBytesSent(), content.size() - cut);
    EXPECT_EQ(ReadFile(destination), content);

    // A whole file already here: nothing moves, the kept digest still verifies it.
    options.startOffset = content.size();
    outcome = Download(source, destination, options);
    EXPECT_EQ(outcome.result, DownloadResult::Done);
    EXPECT_EQ(outcome.digest, DownloadOutcome::Digest::Verified);
    EXPECT_EQ(m_server->ExtendedBytesSent(), content.size() - cut);

    // A partial file that was corrupted before the resume is caught too.
    auto damaged = content;
    damaged[10] ^= 0x40;
    WriteFile(destination, std::vector<std::uint8_t>(damaged.begin(), damaged.begin() + cut));
    options.startOffset = cut;
    EXPECT_EQ(Download(source, destination, options).result, DownloadResult::DigestMismatch);

    // The source grew between the attempts: nothing is written past the cut.
    WriteFile(destination, std::vector<std::uint8_t>(content.begin(), content.begin() + cut));
    auto grown = content;
    grown.push_back(7);
    WriteFile(source, grown);
    outcome = Download(source, destination, options);
    EXPECT_EQ(outcome.result, DownloadResult::SourceChanged);
    EXPECT_EQ(fs::file_size(destination), cut);
}

TEST_F(ExtendedTransferTest, BadExtendedRequestsAreRefusedWithALogLineAndNoFileBytes) {
    const auto content = RandomBytes(5000, 4);
    WriteFile(m_share / "a", content);
    WriteFile(m_private / "secret", RandomBytes(5000, 5));
    fs::create_symlink(m_private / "secret", m_share / "link");

    auto versionless = ExtendedField((m_share / "a").string(), 0);
    versionless[6] = 9;
    auto overlong = ExtendedField((m_share / "a").string(), 0);
    overlong[16] = 0xFF;
    overlong[17] = 0x01;
    auto nul = ExtendedField((m_share / "a").string(), 0);
    nul[kExtendedRequestHeader + 1] = 0;
    struct Case {
        const char* what;
        std::vector<std::uint8_t> field;
        ExtendedStatus status;
        std::string line;
    };
    const std::string pastEnd = "TransferServer: Refused an extended request: offset ";
    const std::vector<Case> cases{
        {"past the end", ExtendedField((m_share / "a").string(), 5001), ExtendedStatus::BadOffset,
         pastEnd + "5001 is past the end (5000 bytes)"},
        {"negative", ExtendedField((m_share / "a").string(), 1ull << 63), ExtendedStatus::BadOffset,
         pastEnd + "9223372036854775808 is past the end (5000 bytes)"},
        {"huge", ExtendedField((m_share / "a").string(), ~0ull), ExtendedStatus::BadOffset,
         pastEnd + "18446744073709551615 is past the end (5000 bytes)"},
        {"version", versionless, ExtendedStatus::BadRequest,
         "TransferServer: Refused an extended request: unknown version 9"},
        {"length", overlong, ExtendedStatus::BadRequest,
         "TransferServer: Refused an extended request: path length 511 outside the field"},
        {"nul", nul, ExtendedStatus::BadRequest,
         "TransferServer: Refused an extended request: NUL inside the path"},
        {"dot-dot", ExtendedField((m_share / ".." / "private" / "secret").string(), 0),
         ExtendedStatus::NotShared, "TransferServer: File is not shared"},
        {"link out", ExtendedField((m_share / "link").string(), 0), ExtendedStatus::NotShared,
         "TransferServer: File is not shared"},
        {"folder", ExtendedField(m_share.string(), 0), ExtendedStatus::NotAFile,
         "TransferServer: File is a directory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        m_lines.Clear();
        auto reply = Exchange(m_options.port, c.field);
        ExtendedReply header;
        ASSERT_TRUE(DecodeExtendedReply(reply, header));
        EXPECT_EQ(header.status, c.status);
        EXPECT_EQ(reply.size(), kExtendedReplySize) << "nothing follows a refusal";
        EXPECT_TRUE(m_lines.WaitFor(c.line)) << c.line;
    }

    // A header cut short is a lost connection, as a short classic field is.
    m_lines.Clear();
    auto cutShort = ExtendedField((m_share / "a").string(), 0);
    cutShort.resize(12);
    {
        auto connection = OpenConnection(kServerAddress, m_options.port);
        ASSERT_TRUE(connection && connection->SendBlock(cutShort));
    }
    EXPECT_TRUE(m_lines.WaitFor("TransferServer: Lost connection"));

    // The server still serves afterwards, the bytes from the offset and no filler.
    auto reply = Exchange(m_options.port, ExtendedField((m_share / "a").string(), 4000));
    ExtendedReply header;
    ASSERT_TRUE(DecodeExtendedReply(reply, header));
    EXPECT_EQ(header.status, ExtendedStatus::Ok);
    EXPECT_EQ(header.size, 5000u);
    ASSERT_EQ(reply.size(), kExtendedReplySize + 1000);
    EXPECT_TRUE(
        std::equal(content.begin() + 4000, content.end(), reply.begin() + kExtendedReplySize));
}

TEST_F(ExtendedTransferTest, AServerSpeakingOnlyTheClassicExchangeStillServesTheAgent) {
    // Written from the classic exchange alone: a path field in, a size word
    // and whole blocks out; a field naming nothing is closed on.
    const auto content = RandomBytes(25000, 6);
    StandIn classic([&](TimeOutSocket& connection) {
        std::string path;
        if (!connection.ReceiveText(path, kTransferPathWidth) || path != "/f")
            return;
        connection.SendInt32(static_cast<std::int32_t>(content.size()));
        auto blocks = content;
        blocks.resize(static_cast<std::size_t>(
                          TransferBlockCount(static_cast<std::int64_t>(content.size()))) *
                          kTransferBlockSize,
                      0);
        connection.SendBlock(blocks);
    });
    TransferDownloadOptions options = m_options;
    options.port = classic.Port();
    const fs::path destination = Destination("f");
    WriteFile(destination, RandomBytes(9000, 7)); // a partial file from an earlier attempt
    options.startOffset = 9000;
    auto outcome = Download("/f", destination, options);
    ASSERT_EQ(outcome.result, DownloadResult::Done) << DownloadResultName(outcome.result);
    EXPECT_FALSE(outcome.extended);
    EXPECT_EQ(outcome.startOffset, 0u) << "the classic exchange starts over";
    EXPECT_EQ(outcome.digest, DownloadOutcome::Digest::NotAsked);
    EXPECT_EQ(classic.Connections(), 2);
    EXPECT_EQ(ReadFile(destination), content);

    // A file the classic exchange cannot announce is said to be too large.
    options.expectedSize = 3ull << 30;
    EXPECT_EQ(Download("/f", destination, options).result, DownloadResult::TooLarge);
}

// Passes bytes between the agent and the server, flipping one byte of the
// server's reply at the given position.
TEST_F(ExtendedTransferTest, AByteFlippedOnTheWireEndsInADigestMismatch) {
    const auto content = RandomBytes(600000, 8);
    const fs::path source = m_share / "doc";
    WriteFile(source, content);
    const std::size_t flipAt = kExtendedReplySize + 300000;
    StandIn proxy([&](TimeOutSocket& agent) {
        std::vector<std::uint8_t> field;
        if (!agent.ReceiveBlock(field, kTransferPathWidth))
            return;
        auto server = OpenConnection(kServerAddress, m_options.port);
        if (!server || !server->SendBlock(field))
            return;
        std::vector<std::uint8_t> buffer(65536);
        std::size_t passed = 0;
        while (true) {
            long got = server->Receive(buffer.data(), buffer.size());
            if (got <= 0)
                break;
            if (flipAt >= passed && flipAt < passed + static_cast<std::size_t>(got))
                buffer[flipAt - passed] ^= 0x01;
            passed += static_cast<std::size_t>(got);
            std::vector<std::uint8_t> chunk(buffer.begin(), buffer.begin() + got);
            if (!agent.SendBlock(chunk))
                break;
        }
    });
    TransferDownloadOptions options = m_options;
    options.port = proxy.Port();
    const fs::path destination = Destination("doc");
    auto outcome = Download(source, destination, options);
    EXPECT_EQ(outcome.result, DownloadResult::DigestMismatch);
    EXPECT_EQ(outcome.digest, DownloadOutcome::Digest::Mismatch);
    EXPECT_EQ(fs::file_size(destination), content.size()) << "left as written";

    // Without the digest the same damage goes unnoticed: the check is what caught it.
    options.wantDigest = false;
    outcome = Download(source, destination, options);
    EXPECT_EQ(outcome.result, DownloadResult::Done);
    EXPECT_NE(ReadFile(destination), content);
}

TEST_F(ExtendedTransferTest, TwoAgentsDownloadFromOneServerAtOnce) {
    const auto content = RandomBytes(8 * 1024 * 1024, 9);
    const fs::path source = m_share / "film";
    WriteFile(source, content);
    // Each agent, once it has bytes, waits until the other has bytes too: a
    // server that served one download after the other would leave the first
    // waiting in vain.
    std::atomic<bool> started[2]{false, false};
    std::atomic<bool> sawOther[2]{false, false};
    auto run = [&](int me) {
        return Download(source, Destination("film" + std::to_string(me)), m_options,
                        [&, me](std::int64_t got, std::int64_t) {
                            if (got <= 0 || started[me].exchange(true))
                                return;
                            sawOther[me] =
                                testsupport::WaitFor([&] { return started[1 - me].load(); }, 10s);
                        });
    };
    DownloadOutcome outcomes[2];
    std::thread other([&] { outcomes[1] = run(1); });
    outcomes[0] = run(0);
    other.join();
    for (int me : {0, 1}) {
        SCOPED_TRACE(me);
        EXPECT_EQ(outcomes[me].result, DownloadResult::Done);
        EXPECT_TRUE(sawOther[me].load());
        EXPECT_EQ(ReadFile(Destination("film" + std::to_string(me))), content);
    }
}

TEST_F(ExtendedTransferTest, AThreeGigabyteSparseFileArrivesVerified) {
    const std::uint64_t size = (3ull << 30) + 5;
    struct statvfs disk {};
    ASSERT_EQ(statvfs(m_temp.Path().c_str(), &disk), 0);
    if (static_cast<std::uint64_t>(disk.f_bavail) * disk.f_frsize < size + (1ull << 30))
        GTEST_SKIP() << "not enough free disk for the received copy";

    // Marks where a 32-bit size or offset would go wrong.
    const fs::path source = m_share / "disk.img";
    const std::vector<std::pair<std::uint64_t, std::uint8_t>> marks{{0, 0x11},
                                                                    {(1ull << 31) - 1, 0x22},
                                                                    {1ull << 31, 0x33},
                                                                    {3ull << 30, 0x44},
                                                                    {size - 1, 0x55}};
    {
        int fd = open(source.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, static_cast<off_t>(size)), 0);
        for (auto [at, value] : marks)
            ASSERT_EQ(pwrite(fd, &value, 1, static_cast<off_t>(at)), 1);
        close(fd);
    }
    const fs::path destination = Destination("disk.img");
    auto outcome = Download(source, destination, m_options);
    EXPECT_EQ(outcome.result, DownloadResult::Done) << DownloadResultName(outcome.result);
    EXPECT_EQ(outcome.size, size);
    EXPECT_EQ(outcome.digest, DownloadOutcome::Digest::Verified);
    EXPECT_EQ(fs::file_size(destination), size);
    int fd = open(destination.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    for (auto [at, value] : marks) {
        std::uint8_t got = 0;
        EXPECT_EQ(pread(fd, &got, 1, static_cast<off_t>(at)), 1);
        EXPECT_EQ(got, value) << at;
    }
    close(fd);
    fs::remove(destination);
    fs::remove(source);
}

} // namespace

namespace {

TEST(DigestCache, ForgetsTheLeastRecentlyUsedAndAnyChangeOfSizeOrTime) {
    DigestCache cache(2);
    const Sha256::Digest one{1}, two{2}, three{3};
    cache.Keep({"/a", 10, 100}, one);
    cache.Keep({"/b", 10, 100}, two);
    EXPECT_TRUE(cache.Find({"/a", 10, 100})); // /a is now the more recent
    cache.Keep({"/c", 10, 100}, three);
    EXPECT_EQ(cache.Size(), 2u);
    EXPECT_FALSE(cache.Find({"/b", 10, 100}));
    EXPECT_EQ(cache.Find({"/a", 10, 100}), one);
    EXPECT_EQ(cache.Find({"/c", 10, 100}), three);
    EXPECT_FALSE(cache.Find({"/a", 11, 100}));
    EXPECT_FALSE(cache.Find({"/a", 10, 101}));
}

TEST(Sha256, MatchesTheStandardVectorsWhateverTheSplit) {
    auto hex = [](const Sha256::Digest& digest) {
        std::string text;
        for (std::uint8_t byte : digest) {
            text += "0123456789abcdef"[byte >> 4];
            text += "0123456789abcdef"[byte & 15];
        }
        return text;
    };
    Sha256 hash;
    EXPECT_EQ(hex(hash.Finish()),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    const std::string text = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    hash.Add(text.data(), 5);
    hash.Add(text.data() + 5, text.size() - 5);
    EXPECT_EQ(hex(hash.Finish()),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

} // namespace
