// A listing's table, byte for byte, against the answers the same server gives
// item by item: a listing checks its folder once and each item by its name,
// a status or information request checks the whole path, and both must say
// the same about every item of a tree full of links, hidden files, odd names
// and never-shared folders.

#include "PeerTestSupport.h"
#include "app/files/ShareTable.h"
#include "app/files/SharedFileSystem.h"
#include "app/peer/remotefs/NFSListingEntry.h"
#include "app/peer/remotefs/NFSServer.h"
#include "app/peer/wire/PeerConnection.h"
#include "support/TestSupport.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr char kAddress[] = "127.0.0.5";

void WriteFile(const fs::path& path) {
    std::ofstream(path, std::ios::binary) << path.filename().string();
}

// The table the server sends for a pattern; empty when it sent a count of 0.
std::vector<std::uint8_t> ServerTable(int port, std::int32_t session, const std::string& pattern) {
    std::vector<std::uint8_t> table;
    auto connection = OpenConnection(kAddress, port);
    std::int32_t known = 0;
    std::int32_t count = 0;
    if (!connection || !connection->SendInt32(kNfsOperation) || !connection->SendInt32(session) ||
        !connection->ReceiveInt32(known) || known != 1 ||
        !connection->SendInt32(kNfsListDirectory) ||
        !connection->SendText(pattern, kPathFieldWidth) || !connection->ReceiveInt32(count)) {
        ADD_FAILURE() << "no listing for " << pattern;
        return table;
    }
    if (count > 0) {
        EXPECT_TRUE(connection->ReceiveBlock(
            table, static_cast<std::size_t>(count) * kNfsListingEntrySize, 10s));
    }
    return table;
}

// The same table put together from the per-path questions of a walk, each of
// which checks its path in full.
std::vector<std::uint8_t> TableFromPathAnswers(SharedFileSystem& files,
                                               const std::string& pattern) {
    std::vector<std::uint8_t> table;
    if (!files.FindFile(pattern, 0))
        return table;
    bool more = true;
    while (more) {
        more = files.FindNextFile();
        NFSListingEntry entry;
        entry.isHidden = files.IsHidden();
        entry.isDirectory = files.IsDirectory();
        entry.isDots = files.IsDots();
        entry.path = files.GetFilePath();
        entry.hasSubdirectories = files.HasSubdirectories(entry.path);
        entry.statusResult = files.GetStatus(entry.path, entry.status);
        entry.infoResultA = entry.infoResultB = entry.infoResultC =
            files.GetFileInfo(entry.path, entry.infoB, kNfsListingInfoFlags);
        entry.infoA = entry.infoC = entry.infoB;
        table.resize(table.size() + kNfsListingEntrySize);
        EncodeNFSListingEntry(entry, std::span<std::uint8_t, kNfsListingEntrySize>(
                                         table.end() - kNfsListingEntrySize, table.end()));
    }
    return table;
}

// The entries of a table by path, for a readable failure message.
std::string Describe(const std::vector<std::uint8_t>& table) {
    std::string text;
    for (std::size_t at = 0; at + kNfsListingEntrySize <= table.size(); at += kNfsListingEntrySize) {
        const NFSListingEntry entry = DecodeNFSListingEntry(
            std::span<const std::uint8_t, kNfsListingEntrySize>(&table[at], kNfsListingEntrySize));
        text += entry.path + " status " + std::to_string(entry.statusResult) + " info " +
                std::to_string(entry.infoResultB) + " sub " +
                std::to_string(entry.hasSubdirectories) + "\n";
    }
    return text;
}

TEST(NFSServerListing, EveryItemReadsAsItsOwnPathRequestWouldAnswerIt) {
    testsupport::TempDir temp;
    const fs::path root = temp.Path();
    const fs::path share = root / "home" / "Shared";
    const fs::path outside = root / "home" / "Private";
    testsupport::ScopedEnvironment environment;
    environment.Set("HALVARA_ADDRESS", kAddress);
    // The program's own folders lie inside the share, as in a shared home.
    environment.Set("XDG_CONFIG_HOME", (share / "config").string());
    environment.Set("XDG_RUNTIME_DIR", (share / "run").string());
    environment.Set("XDG_DATA_HOME", (share / "data").string());

    fs::create_directories(share / "sub" / "deeper");
    fs::create_directories(share / "flat");
    fs::create_directories(share / "empty");
    fs::create_directories(share / "config" / "halvara");
    fs::create_directories(share / "run");
    fs::create_directories(share / "data" / "Trash" / "files");
    fs::create_directories(outside / "inner");
    fs::create_directories(root / "Other");
    for (const char* name : {"plain.txt", ".hidden", "with space.mp3", "quote\"and'apostrophe",
                             "new\nline.txt", "caf\xe9-latin1.jpg", "archive.tar.gz", "README"})
        WriteFile(share / name);
    WriteFile(share / std::string(255 - 4, 'n').append(".txt"));
    WriteFile(share / "flat" / "only-a-file");
    WriteFile(share / "config" / "halvara" / "Globals");
    WriteFile(share / "run" / "halvara"); // a file where a never-shared folder would be
    WriteFile(outside / "secret.txt");
    WriteFile(root / "Other" / "song.mp3");
    fs::create_symlink("plain.txt", share / "link-inside");
    fs::create_directory_symlink(share / "sub", share / "linked-folder");
    fs::create_symlink(outside / "secret.txt", share / "link-out");
    fs::create_directory_symlink(outside, share / "folder-out");
    fs::create_symlink(share / "missing", share / "dangling");
    fs::create_directory_symlink(share / "config" / "halvara", share / "link-to-config");
    fs::create_directory_symlink(root / "Other", share / "to-other-share");
    fs::create_directory_symlink(share, root / "Tunes");
    ASSERT_EQ(chmod((share / "plain.txt").c_str(), 0444), 0);

    auto table = std::make_shared<ShareTable>();
    ASSERT_TRUE(table->Add(share.string()));
    ASSERT_TRUE(table->Add((root / "Other").string()));
    ASSERT_TRUE(table->Add((root / "Tunes").string()));
    const int port = testsupport::FreeTcpPort(kAddress);
    NFSServer server(table, nullptr, port);
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(testsupport::WaitFor([&] { return server.IsListening(); }, 5s));
    auto session = OpenConnection(kAddress, port);
    std::int32_t id = -1;
    std::int32_t version = 0;
    ASSERT_TRUE(session && session->SendInt32(kNfsNewClient) && session->SendInt32(kNfsVersion) &&
                session->ReceiveInt32(id) && session->ReceiveInt32(version));
    ASSERT_GE(id, 0);

    SharedFileSystem files(table);
    for (const std::string& pattern : std::vector<std::string>
         {share.string() + "/*.*", share.string() + "/*", share.string() + "/*.txt",
          share.string() + "/sub/*.*", share.string() + "/flat/*", share.string() + "/config/*",
          share.string() + "/run/*", share.string() + "/linked-folder/*",
          share.string() + "/data/Trash/*",
          (root / "Tunes").string() + "/*.*", std::string("/*.*")}) {
        SCOPED_TRACE(pattern);
        // A first listing reads every subfolder once, which may set its
        // access time; the tables compared come after it.
        ServerTable(port, id, pattern);
        const std::vector<std::uint8_t> expected = TableFromPathAnswers(files, pattern);
        const std::vector<std::uint8_t> listed = ServerTable(port, id, pattern);
        ASSERT_FALSE(expected.empty());
        EXPECT_TRUE(listed == expected) << "listed:\n"
                                        << Describe(listed) << "asked one by one:\n"
                                        << Describe(expected);
    }
    // The share check still speaks for itself: a link out of the share and a
    // dangling one tell nothing, one into a never-shared folder is not even
    // named, the one into another share tells.
    const std::vector<std::uint8_t> listed = ServerTable(port, id, share.string() + "/*");
    auto statusOf = [&](const std::string& name) {
        for (std::size_t at = 0; at < listed.size(); at += kNfsListingEntrySize) {
            const NFSListingEntry entry =
                DecodeNFSListingEntry(std::span<const std::uint8_t, kNfsListingEntrySize>(
                    &listed[at], kNfsListingEntrySize));
            if (entry.path == share.string() + "/" + name)
                return entry.statusResult;
        }
        return -1;
    };
    EXPECT_EQ(statusOf("link-out"), 0);
    EXPECT_EQ(statusOf("folder-out"), 0);
    EXPECT_EQ(statusOf("dangling"), 0);
    EXPECT_EQ(statusOf("link-to-config"), -1);
    EXPECT_EQ(statusOf("to-other-share"), 1);
    EXPECT_EQ(statusOf("link-inside"), 1);
    EXPECT_EQ(statusOf("with space.mp3"), 1);
    EXPECT_EQ(statusOf("config"), 1);
}

} // namespace
