// drovick-peer as its users run it: two users on their own loopback addresses
// serving real files; the second browses and downloads from the first.

#include "DrovickPeerUsers.h"

#include <csignal>

namespace {

using namespace drovickpeertest;

TEST_F(TwoUsers, BrowsesTheSharedFolderAndItsSubfolders) {
    Result root = List("/");
    EXPECT_EQ(root.code, 0) << root.output;
    ASSERT_EQ(Lines(root.output).size(), 1u) << root.output;
    EXPECT_TRUE(StartsWith(Lines(root.output)[0], m_share.string() + "\t-\tfolder\t"));

    Result top = List(m_share.string());
    ASSERT_EQ(top.code, 0) << top.output;
    auto lines = Lines(top.output);
    ASSERT_EQ(lines.size(), 2u) << top.output;
    EXPECT_TRUE(StartsWith(lines[0], "small.txt\t1500\tfile\t20")) << lines[0];
    EXPECT_TRUE(StartsWith(lines[1], "sub\t-\tfolder\t")) << lines[1];
    // The date is the file's own, a day ago, in UTC.
    const auto dayAgo = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now() -
                                                             std::chrono::hours(24));
    char expected[16];
    std::strftime(expected, sizeof expected, "%Y-%m-%d", std::gmtime(&dayAgo));
    EXPECT_TRUE(Contains(lines[0], std::string("\t") + expected + "T")) << lines[0];

    Result sub = List(m_share.string() + "/sub/");
    ASSERT_EQ(sub.code, 0) << sub.output;
    lines = Lines(sub.output);
    ASSERT_EQ(lines.size(), 2u) << sub.output;
    EXPECT_TRUE(StartsWith(lines[0], "deeper\t-\tfolder\t")) << lines[0];
    EXPECT_TRUE(StartsWith(lines[1], "large.bin\t3146505\tfile\t20")) << lines[1];

    // Every step was an event line of the first user's server.
    EXPECT_TRUE(Contains(m_firstServe->Output(), "NFSServer: "));
}

TEST_F(TwoUsers, APathFullOfEscapesReachesTheServersOutputHarmless) {
    const std::string path =
        m_share.string() + "/\x1b[2J\x1b]0;owned\x07\rNFSServer: fake\xc2\x9bm";
    Result refused = Get(path, m_downloads.Path() / "nothing");
    EXPECT_EQ(refused.code, 1) << refused.output;
    // The agent asks with the extended request first; either request's log
    // line must show the path harmless.
    const std::string shown =
        "equest for " + m_share.string() + "/?[2J?]0;owned??NFSServer: fake?m";
    ASSERT_TRUE(testsupport::WaitFor(
        [&] { return Contains(m_firstServe->Output(), "TransferServer: File is not shared"); },
        10s))
        << m_firstServe->Output();
    const std::string output = m_firstServe->Output();
    EXPECT_TRUE(Contains(output, shown)) << output;
    for (const char* raw : {"\x1b", "\r", "\x07", "\xc2\x9b"})
        EXPECT_FALSE(Contains(output, raw)) << output;
}

TEST_F(TwoUsers, RefusesFoldersOutsideTheShares) {
    for (const std::string& path :
         {m_outside.string(), m_share.string() + "/../outside", std::string("/etc"),
          m_share.string() + "/small.txt", m_share.string() + "/missing"}) {
        Result refused = List(path);
        EXPECT_EQ(refused.code, 1) << path << "\n" << refused.output;
        EXPECT_TRUE(Contains(refused.output, "does not list")) << refused.output;
        EXPECT_FALSE(Contains(refused.output, "secret.txt"));
    }
    Result relative = List("share");
    EXPECT_EQ(relative.code, 2);
    Result pattern = List(m_share.string() + "/s*");
    EXPECT_EQ(pattern.code, 2) << pattern.output;
    EXPECT_FALSE(Contains(pattern.output, "small.txt"));
    // Nobody serves on the second user's address at the first user's port.
    Result nobody =
        m_second.Run({"ls", "127.0.0.4", "/", "--nfs-port", std::to_string(m_first.NfsPort())});
    EXPECT_EQ(nobody.code, 1);
    EXPECT_TRUE(Contains(nobody.output, "cannot reach")) << nobody.output;
}

TEST_F(TwoUsers, DownloadsArriveByteIdentical) {
    Result small = Get(m_share.string() + "/small.txt", m_downloads.Path() / "small.txt");
    ASSERT_EQ(small.code, 0) << small.output;
    EXPECT_EQ(ReadFile(m_downloads.Path() / "small.txt"), m_small);

    // Into a folder: the file keeps its name. Not a terminal: plain lines.
    Result large = Get(m_share.string() + "/sub/large.bin", m_downloads.Path());
    ASSERT_EQ(large.code, 0) << large.output;
    EXPECT_EQ(ReadFile(m_downloads.Path() / "large.bin"), m_large);
    EXPECT_TRUE(Contains(large.output, "received 3146505 of 3146505 bytes (100%)")) << large.output;
    // The state, 0% to 100%, the final state and the result.
    const auto lines = Lines(large.output);
    ASSERT_EQ(lines.size(), 14u) << large.output;
    EXPECT_EQ(lines.front(), "Transferring");
    EXPECT_EQ(lines[12], "Verified");

    Result exact = Get(m_share.string() + "/sub/deeper/exact.bin", m_downloads.Path() / "e");
    ASSERT_EQ(exact.code, 0) << exact.output;
    EXPECT_EQ(ReadFile(m_downloads.Path() / "e"), RandomBytes(10240, 3));

    // No temporary file is left beside the downloads.
    int files = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(m_downloads.Path()))
        ++files;
    EXPECT_EQ(files, 3);
    EXPECT_TRUE(Contains(m_firstServe->Output(), "TransferServer: "));
}

TEST_F(TwoUsers, ATerminalGetsOneBarRedrawnInPlace) {
    int code = -1;
    const std::string shown =
        RunOnTerminal(m_second,
                      {"get", m_first.Address(), m_share.string() + "/sub/large.bin",
                       (m_downloads.Path() / "large.bin").string(), "--transfer-port",
                       std::to_string(m_first.TransferPort())},
                      code);
    ASSERT_EQ(code, 0) << shown;
    EXPECT_EQ(ReadFile(m_downloads.Path() / "large.bin"), m_large);
    EXPECT_TRUE(Contains(shown, "\r[" + std::string(30, '#') + "] 100%  3.0 MB of 3.0 MB"))
        << shown;
    EXPECT_FALSE(Contains(shown, "received ")) << shown;
    // The bar is one line, redrawn, between the state and the final state;
    // the result follows on a line of its own.
    const auto lines = Lines(shown);
    ASSERT_EQ(lines.size(), 4u) << shown;
    EXPECT_TRUE(StartsWith(lines[0], "Transferring")) << shown;
    EXPECT_TRUE(StartsWith(lines[2], "Verified")) << shown;
    EXPECT_TRUE(Contains(lines[3], "downloaded ")) << shown;
}

TEST_F(TwoUsers, RefusedDownloadsLeaveTheDestinationAlone) {
    const fs::path kept = m_downloads.Path() / "kept.txt";
    WriteFile(kept, "mine");
    for (const std::string& path :
         {(m_outside / "secret.txt").string(), m_share.string() + "/../outside/secret.txt",
          m_share.string() + "/missing.txt", m_share.string() + "/sub"}) {
        Result refused = Get(path, kept);
        EXPECT_EQ(refused.code, 1) << path << "\n" << refused.output;
        EXPECT_TRUE(Contains(refused.output, "refused")) << refused.output;
        EXPECT_EQ(ReadFile(kept), "mine");
        EXPECT_FALSE(fs::exists(m_downloads.Path() / "kept.txt.drovick-part"));
    }
    // A destination folder that is not there is said so, and not made.
    for (const auto& [destination, folder] :
         {std::pair{m_downloads.Path() / "no" / "such" / "", m_downloads.Path() / "no" / "such"},
          std::pair{m_downloads.Path() / "no" / "file", m_downloads.Path() / "no"}}) {
        Result refused = Get(m_share.string() + "/small.txt", destination);
        EXPECT_EQ(refused.code, 1) << refused.output;
        EXPECT_TRUE(Contains(refused.output, "the folder " + folder.string() + " does not exist"))
            << refused.output;
    }
    Result self =
        m_second.Run({"get", "127.0.0.1", m_share.string() + "/small.txt", kept.string()});
    EXPECT_EQ(self.code, 1);
    EXPECT_TRUE(Contains(self.output, "this computer")) << self.output;
    EXPECT_EQ(ReadFile(kept), "mine");
    int files = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(m_downloads.Path()))
        ++files;
    EXPECT_EQ(files, 1);
}

TEST_F(TwoUsers, ShareAndUnshareReachTheRunningServeAtOnce) {
    const fs::path later = fs::canonical(m_files.Path()) / "later";
    fs::create_directories(later);
    WriteFile(later / "new.txt", "new");
    Result shared = m_first.Run({"share", later.string()});
    ASSERT_EQ(shared.code, 0) << shared.output;
    EXPECT_EQ(shared.output, "shared " + later.string() + "\n");
    // The friend sees the new share without a SIGHUP.
    Result listed = List(later.string());
    EXPECT_EQ(listed.code, 0) << listed.output;
    EXPECT_TRUE(Contains(listed.output, "new.txt\t3\tfile")) << listed.output;
    EXPECT_TRUE(
        Contains(m_firstServe->Output(), "shared " + later.string() + "; serving 2 shared folders"))
        << m_firstServe->Output();
    // A refusal comes back in words.
    Result again = m_first.Run({"share", (later / "..").string() + "/later"});
    EXPECT_EQ(again.code, 1);
    EXPECT_TRUE(Contains(again.output, later.string() + " is already shared")) << again.output;

    Result unshared = m_first.Run({"unshare", m_share.string()});
    EXPECT_EQ(unshared.output, "unshared " + m_share.string() + "\n");
    EXPECT_EQ(List(m_share.string()).code, 1);
    EXPECT_TRUE(fs::is_empty(m_first.Runtime() / "halvara" / "share-requests"));

    // The serve saved them: they outlive it. Without a serve the command edits the file.
    m_firstServe->Signal(SIGTERM);
    ASSERT_EQ(m_firstServe->Wait(5s), 0);
    EXPECT_EQ(m_first.Run({"shares"}).output, later.string() + "\n");
    EXPECT_EQ(m_first.Run({"unshare", later.string()}).output, "unshared " + later.string() + "\n");
    EXPECT_EQ(m_first.Run({"shares"}).output, "");
}

TEST_F(TwoUsers, SharesReadAgainOnHangUp) {
    fs::create_directories(m_files.Path() / "later");
    WriteFile(m_files.Path() / "later" / "new.txt", "new");
    // Changed from another session, where the running serve cannot be asked.
    testsupport::TempDir elsewhere;
    Result shared = m_first.Run({"share", (m_files.Path() / "later").string()},
                                {{"XDG_RUNTIME_DIR", elsewhere.Path().string()}});
    ASSERT_EQ(shared.code, 0) << shared.output;
    // The running serve does not see the file change by itself.
    EXPECT_EQ(List(fs::canonical(m_files.Path() / "later").string()).code, 1);

    m_firstServe->Signal(SIGHUP);
    ASSERT_TRUE(testsupport::WaitFor(
        [&] { return Contains(m_firstServe->Output(), "shares read again: 2 shared folders"); },
        5s))
        << m_firstServe->Output();
    Result later = List(fs::canonical(m_files.Path() / "later").string());
    EXPECT_EQ(later.code, 0) << later.output;
    EXPECT_TRUE(Contains(later.output, "new.txt\t3\tfile")) << later.output;
}

TEST_F(TwoUsers, OneServePerUserAndAPromptStop) {
    const std::string settingsBefore = ReadFile(m_first.SettingsFile());
    Result second = m_first.Run({"serve", "--nfs-port", std::to_string(m_first.NfsPort() + 1),
                                 "--transfer-port", std::to_string(m_first.TransferPort() + 1)});
    EXPECT_EQ(second.code, 1);
    EXPECT_TRUE(Contains(second.output, "already runs for this user (drovick-peer serve, process " +
                                            std::to_string(m_firstServe->Pid()) + ")"))
        << second.output;
    EXPECT_TRUE(m_firstServe->Running());

    const auto start = std::chrono::steady_clock::now();
    m_firstServe->Signal(SIGTERM);
    EXPECT_EQ(m_firstServe->Wait(5s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_TRUE(Contains(m_firstServe->Output(), "stopping on SIGTERM"));
    EXPECT_FALSE(testsupport::CanConnect(m_first.Address(), m_first.NfsPort(), 500ms));
    EXPECT_FALSE(testsupport::CanConnect(m_first.Address(), m_first.TransferPort(), 500ms));
    EXPECT_EQ(ReadFile(m_first.SettingsFile()), settingsBefore);

    // With the first gone the guard is free again; SIGINT stops it as well.
    auto again = m_first.Serve();
    ASSERT_TRUE(Listening(*again)) << again->Output();
    again->Signal(SIGINT);
    EXPECT_EQ(again->Wait(5s), 0);

    // The other user's serve never noticed.
    EXPECT_TRUE(m_secondServe->Running());
}

} // namespace
