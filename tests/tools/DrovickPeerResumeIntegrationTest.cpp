// drovick-peer get killed half way and run again: it goes on from its part
// file, and the serving drovick-peer's log shows it sent only the rest.

#include "DrovickPeerUsers.h"

#include <csignal>
#include <fstream>

namespace {

using namespace drovickpeertest;

constexpr std::size_t kSize = 96u << 20;

// A file no two megabytes of which are alike, cheap to make.
std::string Content(unsigned seed) {
    std::string block = RandomBytes(1u << 20, seed);
    std::string content;
    content.reserve(kSize);
    for (std::size_t megabyte = 0; content.size() < kSize; ++megabyte) {
        block[0] = static_cast<char>(megabyte);
        block[1] = static_cast<char>(megabyte >> 8);
        content += block;
    }
    return content;
}

std::uintmax_t SizeOf(const fs::path& file) {
    std::error_code failure;
    const auto size = fs::file_size(file, failure);
    return failure ? 0 : size;
}

// The offsets the server was asked to start from, in order, for path.
std::vector<std::uint64_t> AskedOffsets(const std::string& log, const std::string& path) {
    std::vector<std::uint64_t> offsets;
    const std::string lead = "Extended request for " + path + " from byte ";
    for (std::size_t at = log.find(lead); at != std::string::npos; at = log.find(lead, at + 1))
        offsets.push_back(std::stoull(log.substr(at + lead.size())));
    return offsets;
}

class ResumedGet : public TwoUsers {
protected:
    // Starts a get and kills it once its part file holds about half.
    std::uintmax_t KillAtHalf(const std::string& path, const fs::path& destination) {
        ChildProcess get(testsupport::BuildBin("drovick-peer"),
                         {"get", m_first.Address(), path, destination.string(), "--transfer-port",
                          std::to_string(m_first.TransferPort())},
                         m_second.Environment());
        const fs::path part = destination.string() + ".drovick-part";
        testsupport::WaitFor([&] { return SizeOf(part) >= kSize / 2 || !get.Running(); }, 60s);
        get.Signal(SIGKILL);
        EXPECT_EQ(get.Wait(10s), 128 + SIGKILL) << get.Output();
        return SizeOf(part);
    }
};

TEST_F(ResumedGet, AKilledDownloadGoesOnFromItsPartAndIsVerified) {
    const std::string content = Content(7);
    WriteFile(m_share / "big.bin", content);
    const std::string path = m_share.string() + "/big.bin";
    const fs::path destination = m_downloads.Path() / "big.bin";

    const std::uintmax_t kept = KillAtHalf(path, destination);
    ASSERT_GT(kept, kSize / 4) << "killed too early to tell";
    ASSERT_LT(kept, kSize) << "the download ended before the kill";
    EXPECT_FALSE(fs::exists(destination));

    const Result again = Get(path, destination);
    EXPECT_EQ(again.code, 0) << again.output;
    EXPECT_TRUE(Contains(again.output, "Resuming (")) << again.output;
    EXPECT_TRUE(Contains(again.output, "Verified")) << again.output;
    EXPECT_EQ(ReadFile(destination), content);
    EXPECT_FALSE(fs::exists(destination.string() + ".drovick-part"));
    EXPECT_FALSE(fs::exists(destination.string() + ".drovick-part.info"));
    // The second request asked from where the killed one stopped, so the
    // server sent only the rest.
    const auto offsets = AskedOffsets(m_firstServe->Output(), path);
    ASSERT_EQ(offsets.size(), 2u) << m_firstServe->Output();
    EXPECT_EQ(offsets[0], 0u);
    EXPECT_EQ(offsets[1], kept);
}

TEST_F(ResumedGet, ASourceThatChangedSizeStartsOver) {
    WriteFile(m_share / "big.bin", Content(8));
    const std::string path = m_share.string() + "/big.bin";
    const fs::path destination = m_downloads.Path() / "big.bin";
    const std::uintmax_t kept = KillAtHalf(path, destination);
    ASSERT_GT(kept, 0u);
    ASSERT_LT(kept, kSize);

    std::string changed = Content(9);
    changed.resize(kSize - 12345);
    WriteFile(m_share / "big.bin", changed);
    const Result again = Get(path, destination);
    EXPECT_EQ(again.code, 0) << again.output;
    EXPECT_FALSE(Contains(again.output, "Resuming (")) << again.output;
    EXPECT_TRUE(Contains(again.output, "Verified")) << again.output;
    EXPECT_EQ(ReadFile(destination), changed);
    // Asked from the part's end, told another size, asked from 0.
    const auto offsets = AskedOffsets(m_firstServe->Output(), path);
    ASSERT_EQ(offsets.size(), 3u) << m_firstServe->Output();
    EXPECT_EQ(offsets[1], kept);
    EXPECT_EQ(offsets[2], 0u);
}

} // namespace
