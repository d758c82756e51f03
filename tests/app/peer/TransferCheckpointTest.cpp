// The agent's saved hash states: the state itself, its place in the part
// file's record, and a resume that hashes on from it against a real transfer
// server on a loopback address.

#include "PeerTestSupport.h"
#include "TransferTestSupport.h"
#include "app/files/ShareTable.h"
#include "app/peer/transfer/DurableCheckpoints.h"
#include "app/peer/transfer/ExtendedTransfer.h"
#include "app/peer/transfer/TransferPartRecord.h"
#include "app/peer/transfer/TransferResume.h"
#include "app/peer/transfer/TransferServer.h"
#include "app/peer/wire/TimeOutSocket.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using peertest::RandomBytes;
using peertest::ReadFile;
using peertest::WriteFile;

const char* const kServerAddress = "127.0.0.9";
constexpr std::uint64_t kMiB = 1024 * 1024;

std::string Hex(const Sha256::Digest& digest) {
    std::string text;
    for (std::uint8_t byte : digest) {
        text += "0123456789abcdef"[byte >> 4];
        text += "0123456789abcdef"[byte & 15];
    }
    return text;
}

Sha256Checkpoint StateAfter(const std::vector<std::uint8_t>& bytes, std::uint64_t count) {
    Sha256 hash;
    hash.Add(bytes.data(), count);
    return hash.Save().value();
}

TEST(Sha256Checkpoint, ASavedStateGoesOnAsIfTheBytesHadBeenAddedAndANonsenseOneIsRefused) {
    // A million 'a', cut at every kind of place; the state only exists
    // between whole blocks.
    const std::string million(1000000, 'a');
    const char* const expected = "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0";
    for (std::size_t cut :
         {std::size_t(0), std::size_t(64), std::size_t(4096), std::size_t(999936)}) {
        Sha256 first;
        first.Add(million.data(), cut);
        const auto state = first.Save();
        ASSERT_TRUE(state) << cut;
        EXPECT_EQ(state->bytes, cut);
        Sha256 second;
        second.Add("junk", 4);
        ASSERT_TRUE(second.Restore(*state));
        second.Add(million.data() + cut, million.size() - cut);
        EXPECT_EQ(Hex(second.Finish()), expected) << cut;
    }
    Sha256 partial;
    partial.Add(million.data(), 65);
    EXPECT_FALSE(partial.Save());

    Sha256 hash;
    auto state = StateAfter(std::vector<std::uint8_t>(128, 1), 128);
    auto unaligned = state;
    unaligned.bytes = 100;
    unaligned.bits = 800;
    auto disagreeing = state;
    disagreeing.bits += 8;
    for (const auto& bad : {unaligned, disagreeing}) {
        EXPECT_FALSE(hash.Restore(bad));
        // Refused means started over: the empty input's digest.
        EXPECT_EQ(Hex(hash.Finish()),
                  "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    }
}

TEST(TransferPartRecord, AnOlderRecordIsReadWithoutStateAndADamagedStateIsLeftOut) {
    testsupport::TempDir temp;
    const fs::path file = temp.Path() / "x.drovick-part.info";

    // The first layout, byte by byte.
    std::vector<std::uint8_t> older{'D', 'P', 'R', '1', 3, 0, 'h', 'o', 's', 2, 0, '/', 'a'};
    for (std::uint8_t byte : {0x10, 0x27, 0, 0, 0, 0, 0, 0, 0x2A, 0, 0, 0, 0, 0, 0, 0})
        older.push_back(byte);
    WriteFile(file, older);
    auto read = ReadPartRecord(file);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->sourceHost, "hos");
    EXPECT_EQ(read->sourcePath, "/a");
    EXPECT_EQ(read->size, 10000);
    EXPECT_EQ(read->modified, 42);
    EXPECT_FALSE(read->checkpoint);

    const TransferPartRecord record{"hos", "/a", 10000, 42, StateAfter(RandomBytes(4096, 1), 4096)};
    ASSERT_TRUE(WritePartRecord(file, record));
    const auto bytes = ReadFile(file);
    read = ReadPartRecord(file);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->checkpoint, record.checkpoint);
    EXPECT_EQ(read->size, 10000);

    // Any flipped byte of the state or its check drops the state only.
    const std::size_t stateAt = bytes.size() - 56;
    for (std::size_t at = stateAt; at < bytes.size(); at += 7) {
        auto damaged = bytes;
        damaged[at] ^= 0x01;
        WriteFile(file, damaged);
        read = ReadPartRecord(file);
        ASSERT_TRUE(read) << at;
        EXPECT_FALSE(read->checkpoint) << at;
        EXPECT_EQ(read->sourcePath, "/a");
    }
    // Cut short or with bytes after it, the record is no record.
    WriteFile(file, std::vector<std::uint8_t>(bytes.begin(), bytes.end() - 1));
    EXPECT_FALSE(ReadPartRecord(file));
    auto longer = bytes;
    longer.push_back(0);
    WriteFile(file, longer);
    EXPECT_FALSE(ReadPartRecord(file));
}

TEST(DurableCheckpoints, StatesComeOutInOrderAndTheLastOneOfferedIsNeverLost) {
    // Offered far faster than the disk flushes: some are skipped, none comes
    // out of order, and the newest is handed out before the end.
    testsupport::TempDir temp;
    const fs::path file = temp.Path() / "part";
    WriteFile(file, RandomBytes(64 * 1024, 3));
    std::vector<std::uint64_t> taken;
    const int fd = open(file.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    std::optional<DurableCheckpoints> checkpoints;
    checkpoints.emplace(fd, [&](const Sha256Checkpoint& state) { taken.push_back(state.bytes); });
    for (std::uint64_t bytes = 64; bytes <= 64 * 1000; bytes += 64)
        checkpoints->Offer({bytes, {}, bytes * 8});
    checkpoints.reset();
    close(fd);
    ASSERT_FALSE(taken.empty());
    EXPECT_TRUE(std::is_sorted(taken.begin(), taken.end()));
    EXPECT_EQ(std::adjacent_find(taken.begin(), taken.end()), taken.end());
    EXPECT_EQ(taken.back(), 64u * 1000);
}

class ResumeCheckpointTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_table = peertest::TableSharing(m_temp.Path() / "share");
        ASSERT_TRUE(m_table);
        m_options.port = testsupport::FreeTcpPort(kServerAddress);
        m_options.checkpointEvery = kMiB;
        m_server = peertest::ListeningTransferServer(m_table, nullptr, kServerAddress,
                                                     m_options.port, PeerServer::Timing{});
        ASSERT_TRUE(m_server);
        m_content = RandomBytes(5 * kMiB + 17, 8);
        WriteFile(m_source, m_content);
    }
    void TearDown() override {
        m_server.reset();
        unsetenv("HALVARA_ADDRESS");
    }

    TransferItem Item() const {
        return {m_source.string(), kServerAddress, m_destination.string(), "127.0.0.1"};
    }
    // What a cut download leaves: the first partLength bytes and a record.
    void LeavePart(std::uint64_t partLength, std::optional<Sha256Checkpoint> state) {
        WriteFile(PartFileOf(m_destination),
                  std::vector<std::uint8_t>(m_content.begin(),
                                            m_content.begin() + static_cast<long>(partLength)));
        ASSERT_TRUE(WritePartRecord(PartRecordOf(m_destination),
                                    {kServerAddress, m_source.string(),
                                     static_cast<std::int64_t>(m_content.size()), 0, state}));
    }
    DownloadOutcome Resume() {
        std::atomic<bool> running{true};
        return DownloadResumable(Item(), nullptr, running, nullptr, m_options);
    }

    testsupport::TempDir m_temp;
    fs::path m_source = m_temp.Path() / "share" / "film";
    fs::path m_destination = m_temp.Path() / "film";
    std::shared_ptr<ShareTable> m_table;
    TransferDownloadOptions m_options;
    std::unique_ptr<TransferServer> m_server;
    std::vector<std::uint8_t> m_content;
};

TEST_F(ResumeCheckpointTest, ADownloadCutBeforeTheDigestLeavesItsLastStateForTheResume) {
    // A server that promises the digest, sends every byte from the offset
    // asked for and closes without the digest.
    TimeOutSocket listener;
    ASSERT_TRUE(listener.Listen(kServerAddress, 0));
    std::thread server([&] {
        TimeOutSocket connection;
        listener.SetTimeOut(10s);
        std::vector<std::uint8_t> field;
        ExtendedRequest request;
        if (!listener.Accept(connection) || !connection.ReceiveBlock(field, kTransferPathWidth) ||
            DecodeExtendedRequest(field, request) || request.offset > m_content.size())
            return;
        const auto header =
            EncodeExtendedReply({ExtendedStatus::Ok, true, m_content.size(), request.offset});
        std::vector<std::uint8_t> reply(header.begin(), header.end());
        reply.insert(reply.end(), m_content.begin() + static_cast<long>(request.offset),
                     m_content.end());
        connection.SendBlock(reply, 10s);
    });
    TransferDownloadOptions cutOff = m_options;
    cutOff.port = listener.LocalPort();
    std::atomic<bool> running{true};
    auto outcome = DownloadResumable(Item(), nullptr, running, nullptr, cutOff);
    server.join();
    EXPECT_EQ(outcome.result, DownloadResult::ReceiveFailed) << DownloadResultName(outcome.result);
    const auto record = ReadPartRecord(PartRecordOf(m_destination));
    ASSERT_TRUE(record);
    EXPECT_EQ(record->checkpoint, StateAfter(m_content, 5 * kMiB));

    outcome = Resume();
    ASSERT_EQ(outcome.result, DownloadResult::Done) << DownloadResultName(outcome.result);
    EXPECT_EQ(outcome.digest, DownloadOutcome::Digest::Verified);
    EXPECT_EQ(outcome.startOffset, m_content.size());
    EXPECT_EQ(outcome.hashedFrom, 5 * kMiB);
    EXPECT_EQ(ReadFile(m_destination), m_content);
}

TEST_F(ResumeCheckpointTest, AResumeHashesOnFromTheStateAndFromZeroWhenItCannotBeTrusted) {
    const std::uint64_t part = 3 * kMiB + 100;
    struct Case {
        const char* what;
        std::uint64_t stateAt;
        bool damaged;
        std::uint64_t hashedFrom;
    };
    for (const Case& test :
         {Case{"the part is read back only from its state", 2 * kMiB, false, 2 * kMiB},
          Case{"a state past the part's end is not used", 4 * kMiB, false, 0},
          Case{"a state damaged on disk is caught by its check", 2 * kMiB, true, 0}}) {
        fs::remove(m_destination);
        LeavePart(part, StateAfter(m_content, test.stateAt));
        if (test.damaged) {
            auto record = ReadFile(PartRecordOf(m_destination));
            record[record.size() - 20] ^= 0x08;
            WriteFile(PartRecordOf(m_destination), record);
        }
        const auto outcome = Resume();
        ASSERT_EQ(outcome.result, DownloadResult::Done) << test.what;
        EXPECT_EQ(outcome.digest, DownloadOutcome::Digest::Verified) << test.what;
        EXPECT_EQ(outcome.startOffset, part) << test.what;
        EXPECT_EQ(outcome.hashedFrom, test.hashedFrom) << test.what;
        EXPECT_EQ(ReadFile(m_destination), m_content) << test.what;
        EXPECT_FALSE(fs::exists(PartRecordOf(m_destination))) << test.what;
    }

    // A well-formed state of other bytes is not caught before the end: the
    // digest says so, and the part stays under its own name.
    fs::remove(m_destination);
    LeavePart(part, StateAfter(RandomBytes(2 * kMiB, 9), 2 * kMiB));
    const auto outcome = Resume();
    EXPECT_EQ(outcome.result, DownloadResult::DigestMismatch);
    EXPECT_FALSE(fs::exists(m_destination));
    EXPECT_TRUE(fs::exists(PartFileOf(m_destination)));
    EXPECT_FALSE(fs::exists(PartRecordOf(m_destination)));
}

} // namespace
