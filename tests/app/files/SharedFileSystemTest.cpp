#include "app/files/SharedFileSystem.h"

#include "app/files/PeerPath.h"
#include "app/files/ShareTable.h"
#include "support/TestSupport.h"

#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>

namespace {

namespace fs = std::filesystem;

void WriteFile(const fs::path& path) {
    std::ofstream(path) << "data";
}

std::vector<std::string> ListPaths(FileSystem& files, const std::string& pattern) {
    std::vector<std::string> paths;
    if (!files.FindFile(pattern, 0))
        return paths;
    bool more = true;
    while (more) {
        more = files.FindNextFile();
        paths.push_back(files.GetFilePath());
    }
    return paths;
}

// A home with a shared "Music", a private "music", a private folder and links
// leading out of the share.
class SharedView : public ::testing::Test {
protected:
    void SetUp() override {
        m_root = m_dir.Path().string();
        fs::create_directories(m_dir.Path() / "Music" / "Rock");
        fs::create_directories(m_dir.Path() / "music");
        fs::create_directories(m_dir.Path() / "Private");
        WriteFile(m_dir.Path() / "Music" / "song.mp3");
        WriteFile(m_dir.Path() / "Music" / ".hidden");
        WriteFile(m_dir.Path() / "music" / "secret.mp3");
        WriteFile(m_dir.Path() / "Private" / "diary.txt");
        fs::create_symlink(m_dir.Path() / "Private" / "diary.txt",
                           m_dir.Path() / "Music" / "escape.txt");
        fs::create_directory_symlink(m_dir.Path() / "Private", m_dir.Path() / "Music" / "door");
        fs::create_symlink("Rock", m_dir.Path() / "Music" / "inner");
        ASSERT_TRUE(m_table->Add(m_root + "/Music"));
    }

    testsupport::TempDir m_dir;
    std::string m_root;
    std::shared_ptr<ShareTable> m_table = std::make_shared<ShareTable>();
};

TEST_F(SharedView, PeerPathsOutsideASharedFolderAreRefused) {
    std::string canonical;
    EXPECT_TRUE(CanonicalizePeerPath(*m_table, m_root + "/Music/song.mp3", canonical));
    EXPECT_EQ(canonical, fs::canonical(m_dir.Path() / "Music" / "song.mp3").string());
    EXPECT_TRUE(CanonicalizePeerPath(*m_table, m_root + "/Music/", canonical));
    EXPECT_TRUE(CanonicalizePeerPath(*m_table, m_root + "/Music/inner", canonical));

    EXPECT_FALSE(CanonicalizePeerPath(*m_table, m_root + "/music/secret.mp3", canonical));
    EXPECT_FALSE(CanonicalizePeerPath(*m_table, m_root + "/Music/../Private/diary.txt", canonical));
    EXPECT_FALSE(CanonicalizePeerPath(*m_table, m_root + "/Music/./song.mp3", canonical));
    EXPECT_FALSE(CanonicalizePeerPath(*m_table, m_root + "/Music/Rock/..", canonical));
    EXPECT_FALSE(CanonicalizePeerPath(*m_table, m_root + "/Music//song.mp3", canonical));
    EXPECT_FALSE(CanonicalizePeerPath(*m_table, m_root + "/Music/escape.txt", canonical));
    EXPECT_FALSE(CanonicalizePeerPath(*m_table, m_root + "/Music/door/diary.txt", canonical));
    EXPECT_FALSE(CanonicalizePeerPath(*m_table, m_root + "/Music/missing", canonical));
    EXPECT_FALSE(CanonicalizePeerPath(*m_table, "Music/song.mp3", canonical));
    EXPECT_FALSE(CanonicalizePeerPath(*m_table, "", canonical));
    EXPECT_EQ(canonical, "");
}

TEST_F(SharedView, ASharedFolderReachedThroughALinkStillWorks) {
    fs::create_directory_symlink(m_dir.Path() / "Music", m_dir.Path() / "Tunes");
    ASSERT_TRUE(m_table->Add(m_root + "/Tunes"));
    std::string canonical;
    EXPECT_TRUE(CanonicalizePeerPath(*m_table, m_root + "/Tunes/song.mp3", canonical));
    EXPECT_EQ(canonical, fs::canonical(m_dir.Path() / "Music" / "song.mp3").string());
}

TEST_F(SharedView, OwnConfigurationFolderBelowAShareStaysPrivate) {
    fs::create_directories(m_dir.Path() / "Music" / "cfg" / "halvara");
    WriteFile(m_dir.Path() / "Music" / "cfg" / "halvara" / "Globals");
    setenv("XDG_CONFIG_HOME", (m_root + "/Music/cfg").c_str(), 1);
    std::string canonical;
    EXPECT_FALSE(CanonicalizePeerPath(*m_table, m_root + "/Music/cfg/halvara/Globals", canonical));
    EXPECT_TRUE(CanonicalizePeerPath(*m_table, m_root + "/Music/cfg", canonical));
    unsetenv("XDG_CONFIG_HOME");
}

TEST_F(SharedView, RootListsDotsThenEverySharedFolder) {
    ASSERT_TRUE(m_table->Add(m_root + "/Private"));
    SharedFileSystem files(m_table);
    for (std::string pattern : {"/", "/*", "/*.*"}) {
        ASSERT_TRUE(files.FindFile(pattern, 0)) << pattern;
        EXPECT_TRUE(files.FindNextFile());
        EXPECT_TRUE(files.IsDots());
        EXPECT_EQ(files.GetFilePath(), ".");
        EXPECT_TRUE(files.FindNextFile());
        EXPECT_FALSE(files.IsDots());
        EXPECT_TRUE(files.IsDirectory());
        EXPECT_FALSE(files.IsHidden());
        EXPECT_EQ(files.GetFilePath(), m_root + "/Music");
        EXPECT_FALSE(files.FindNextFile());
        EXPECT_EQ(files.GetFilePath(), m_root + "/Private");
    }

    auto empty = std::make_shared<ShareTable>();
    SharedFileSystem nothing(empty);
    EXPECT_EQ(ListPaths(nothing, "/*.*"), std::vector<std::string>{"."});
}

TEST_F(SharedView, ListingWorksOnlyInsideSharedFolders) {
    SharedFileSystem files(m_table);
    auto inside = ListPaths(files, m_root + "/Music/*.*");
    EXPECT_EQ(inside.size(), 8u); // . .. .hidden door escape.txt inner Rock song.mp3
    EXPECT_EQ(ListPaths(files, m_root + "/Music/Rock/*.*").size(), 2u);
    EXPECT_TRUE(ListPaths(files, m_root + "/Private/*.*").empty());
    EXPECT_TRUE(ListPaths(files, m_root + "/music/*.*").empty());
    EXPECT_TRUE(ListPaths(files, m_root + "/Music/door/*.*").empty());
    EXPECT_TRUE(ListPaths(files, m_root + "/Music/../Private/*.*").empty());
    EXPECT_TRUE(ListPaths(files, m_root + "/*.*").empty());

    // A refused listing leaves nothing of the last one readable.
    ASSERT_TRUE(files.FindFile(m_root + "/Music/*.*", 0));
    files.FindNextFile();
    EXPECT_FALSE(files.FindFile(m_root + "/Private/*.*", 0));
    EXPECT_EQ(files.GetFilePath(), "");
}

// A peer's view listed as a value shows what its walk shows, and no more.
TEST_F(SharedView, ListFolderShowsWhatTheWalkShows) {
    fs::create_directories(m_dir.Path() / "Music" / "cfg" / "halvara");
    testsupport::ScopedEnvironment environment;
    environment.Set("XDG_CONFIG_HOME", m_root + "/Music/cfg");
    SharedFileSystem files(m_table);
    auto walked = [&](const std::string& pattern) {
        std::vector<std::string> paths = ListPaths(files, pattern);
        std::erase_if(paths, [](const std::string& path) {
            return path == "." || path.ends_with("/.") || path.ends_with("/..");
        });
        return paths;
    };
    auto listed = [&](const std::string& pattern, FolderListing::Outcome outcome) {
        const FolderListing listing = files.ListFolder(pattern);
        EXPECT_EQ(listing.outcome, outcome) << pattern;
        std::vector<std::string> paths;
        for (const FolderEntry& entry : listing.entries)
            paths.push_back(entry.path);
        return paths;
    };
    using Outcome = FolderListing::Outcome;
    const std::string music = m_root + "/Music/*.*";
    EXPECT_EQ(listed(music, Outcome::Complete), walked(music));
    EXPECT_EQ(walked(music).size(), 7u); // .hidden Rock cfg door escape.txt inner song.mp3
    // Our own configuration folder is left out of its parent's listing.
    EXPECT_TRUE(listed(m_root + "/Music/cfg/*", Outcome::Complete).empty());
    EXPECT_EQ(listed("/*", Outcome::Complete), std::vector<std::string>{m_root + "/Music"});
    EXPECT_TRUE(files.ListFolder("/*").entries.at(0).isDirectory);
    for (const std::string& refused : {m_root + "/Private/*.*", m_root + "/Music/door/*.*",
                                       m_root + "/Music/../Private/*.*", m_root + "/*.*"})
        EXPECT_TRUE(listed(refused, Outcome::NotReadable).empty());
}

TEST_F(SharedView, ChangingOperationsAreRefusedAndReadsAreChecked) {
    SharedFileSystem files(m_table);
    const std::string song = m_root + "/Music/song.mp3";
    EXPECT_EQ(files.GetKind(), kFileSystemShared);
    EXPECT_FALSE(files.CopyFile(song, m_root + "/Music/copy.mp3", false));
    EXPECT_FALSE(files.CreateDirectory(m_root + "/Music/new"));
    EXPECT_FALSE(files.RecycleFile(song.c_str()));
    EXPECT_FALSE(files.MoveFile(song, m_root + "/Music/moved.mp3"));
    EXPECT_FALSE(files.OpenFile(nullptr, song));
    EXPECT_TRUE(fs::exists(song));
    EXPECT_FALSE(fs::exists(m_root + "/Music/new"));

    FileStatus status;
    EXPECT_TRUE(files.GetStatus(song, status));
    EXPECT_FALSE(files.GetStatus(m_root + "/Private/diary.txt", status));
    EXPECT_FALSE(files.GetStatus(m_root + "/Music/escape.txt", status));
    ShellFileInfo info;
    EXPECT_NE(files.GetFileInfo(song, info, kInfoDisplayName), 0);
    EXPECT_EQ(files.GetFileInfo(m_root + "/music/secret.mp3", info, kInfoDisplayName), 0);
    EXPECT_TRUE(files.HasSubdirectories(m_root + "/Music"));
    EXPECT_FALSE(files.HasSubdirectories(m_root));
    EXPECT_FALSE(files.HasSubdirectories("."));
    EXPECT_TRUE(files.HasSubdirectories("/"));

    std::string target = "stale";
    EXPECT_FALSE(files.ResolveShortcut(nullptr, m_root + "/Music/escape.txt", target));
    EXPECT_EQ(target, "");
    EXPECT_TRUE(files.ResolveShortcut(nullptr, m_root + "/Music/inner", target));
    EXPECT_EQ(target, m_root + "/Music/Rock");
    EXPECT_EQ(files.GetRecycleBinPath(), "");
    EXPECT_NE(files.GetDriveType("/"), kDriveNoRoot);
    EXPECT_EQ(files.GetDriveType(m_root + "/Private"), kDriveNoRoot);
}

TEST_F(SharedView, DriveListHoldsOnlyDrivesWithAShare) {
    char buffer[16];
    std::memset(buffer, 'z', sizeof buffer);
    SharedFileSystem files(m_table);
    EXPECT_EQ(files.GetLogicalDriveStrings(sizeof buffer, buffer), 2u);
    EXPECT_EQ(std::string(buffer, 3), std::string("/\0\0", 3));

    auto empty = std::make_shared<ShareTable>();
    SharedFileSystem nothing(empty);
    std::memset(buffer, 'z', sizeof buffer);
    EXPECT_EQ(nothing.GetLogicalDriveStrings(sizeof buffer, buffer), 2u);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(buffer[15], 0);

    SharedFileSystem tableless(nullptr);
    EXPECT_EQ(tableless.GetLogicalDriveStrings(sizeof buffer, buffer), 0u);
    EXPECT_EQ(tableless.GetLogicalDriveStrings(1, buffer), 3u);
}

} // namespace
