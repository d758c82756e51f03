#include "app/files/LocalFileSystem.h"

#include "app/files/IconIndexCache.h"
#include "support/TestSupport.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

void WriteFile(const fs::path& path, std::size_t size) {
    std::ofstream out(path, std::ios::binary);
    out << std::string(size, 'x');
}

struct Seen {
    std::string path;
    bool directory;
    bool hidden;
    bool dots;
};

// Runs the listing protocol every caller follows.
std::vector<Seen> List(FileSystem& files, const std::string& pattern) {
    std::vector<Seen> seen;
    if (!files.FindFile(pattern, 0))
        return seen;
    bool more = true;
    while (more) {
        more = files.FindNextFile();
        seen.push_back(
            {files.GetFilePath(), files.IsDirectory(), files.IsHidden(), files.IsDots()});
    }
    return seen;
}

// Points the per-user data folder (and home, so the trash is the home trash)
// at a temporary folder for one test.
class ScopedHome {
public:
    explicit ScopedHome(const fs::path& home) {
        m_environment.Set("HOME", home.string());
        m_environment.Set("XDG_DATA_HOME", (home / "data").string());
    }

private:
    testsupport::ScopedEnvironment m_environment;
};

TEST(LocalFileSystem, ListingWalksEveryEntryWithDotsFirstAndMarksHiddenOnes) {
    testsupport::TempDir dir;
    const std::string root = dir.Path().string();
    WriteFile(dir.Path() / "b.txt", 3);
    WriteFile(dir.Path() / ".secret", 1);
    fs::create_directory(dir.Path() / "a-folder");
    fs::create_directory(dir.Path() / ".cache");

    LocalFileSystem files;
    auto seen = List(files, root + "/*.*");
    ASSERT_EQ(seen.size(), 6u);
    EXPECT_EQ(seen[0].path, root + "/.");
    EXPECT_TRUE(seen[0].dots);
    EXPECT_FALSE(seen[0].hidden);
    EXPECT_TRUE(seen[1].dots);
    EXPECT_EQ(seen[2].path, root + "/.cache");
    EXPECT_TRUE(seen[2].directory);
    EXPECT_TRUE(seen[2].hidden);
    EXPECT_EQ(seen[3].path, root + "/.secret");
    EXPECT_FALSE(seen[3].directory);
    EXPECT_TRUE(seen[3].hidden);
    EXPECT_EQ(seen[4].path, root + "/a-folder");
    EXPECT_TRUE(seen[4].directory);
    EXPECT_FALSE(seen[4].hidden);
    EXPECT_EQ(seen[5].path, root + "/b.txt");
    EXPECT_FALSE(seen[5].dots);

    // "*" lists the same; a narrower pattern only what matches.
    EXPECT_EQ(List(files, root + "/*").size(), 6u);
    auto texts = List(files, root + "/*.txt");
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0].path, root + "/b.txt");
    EXPECT_FALSE(files.FindFile(root + "/*.none", 0));
    EXPECT_FALSE(files.FindFile(root + "/missing/*.*", 0));
}

TEST(LocalFileSystem, ListFolderTellsAMissingFolderFromNoMatchAndLeavesTheWalk) {
    testsupport::TempDir dir;
    const std::string root = dir.Path().string();
    WriteFile(dir.Path() / "b.txt", 3);
    WriteFile(dir.Path() / ".secret", 1);
    fs::create_directory(dir.Path() / "a-folder");

    LocalFileSystem files;
    ASSERT_TRUE(files.FindFile(root + "/*.*", 0));
    files.FindNextFile();
    files.FindNextFile();
    const std::string walkedTo = files.GetFilePath();

    const FolderListing all = files.ListFolder(root + "/*");
    EXPECT_EQ(all.outcome, FolderListing::Outcome::Complete);
    EXPECT_EQ(all.entries, (std::vector<FolderEntry>{{root + "/.secret", false, true},
                                                     {root + "/a-folder", true, false},
                                                     {root + "/b.txt", false, false}}));
    const FolderListing none = files.ListFolder(root + "/*.none");
    EXPECT_EQ(none.outcome, FolderListing::Outcome::Complete);
    EXPECT_TRUE(none.entries.empty());
    EXPECT_EQ(files.ListFolder(root + "/missing/*").outcome, FolderListing::Outcome::NotReadable);
    EXPECT_EQ(files.ListFolder(root + "/b.txt/*").outcome, FolderListing::Outcome::NotReadable);

    EXPECT_EQ(files.GetFilePath(), walkedTo);
}

TEST(LocalFileSystem, ListingOfOneEntryReportsItsLastPassAtOnce) {
    testsupport::TempDir dir;
    WriteFile(dir.Path() / "only", 1);
    LocalFileSystem files;
    ASSERT_TRUE(files.FindFile((dir.Path() / "only").string(), 0));
    EXPECT_FALSE(files.FindNextFile());
    EXPECT_EQ(files.GetFilePath(), (dir.Path() / "only").string());
    // Past the end the entry stays where it was.
    EXPECT_FALSE(files.FindNextFile());
    EXPECT_EQ(files.GetFilePath(), (dir.Path() / "only").string());
}

TEST(LocalFileSystem, HasSubdirectoriesIgnoresDotsFilesAndAcceptsTrailingSlash) {
    testsupport::TempDir dir;
    const std::string root = dir.Path().string();
    fs::create_directories(dir.Path() / "data" / "inner");
    fs::create_directory(dir.Path() / "flat");
    WriteFile(dir.Path() / "flat" / "file", 1);
    fs::create_directory(dir.Path() / "linked");
    fs::create_directory_symlink(dir.Path() / "data", dir.Path() / "linked" / "to-data");

    LocalFileSystem files;
    EXPECT_TRUE(files.HasSubdirectories(root + "/data"));
    EXPECT_TRUE(files.HasSubdirectories(root + "/data/"));
    EXPECT_FALSE(files.HasSubdirectories(root + "/flat"));
    EXPECT_FALSE(files.HasSubdirectories(root + "/flat/"));
    EXPECT_FALSE(files.HasSubdirectories(root + "/data/inner"));
    EXPECT_FALSE(files.HasSubdirectories(root + "/missing"));
    // A linked folder is browsed like a folder.
    EXPECT_TRUE(files.HasSubdirectories(root + "/linked"));
    EXPECT_TRUE(files.HasSubdirectories("/"));

    // It runs beside a listing without disturbing it.
    ASSERT_TRUE(files.FindFile(root + "/*.*", 0));
    files.FindNextFile();
    files.FindNextFile();
    files.FindNextFile();
    std::string before = files.GetFilePath();
    EXPECT_TRUE(files.HasSubdirectories(root));
    EXPECT_EQ(files.GetFilePath(), before);
}

TEST(LocalFileSystem, RecycleFileMovesFilesAndFoldersIntoTheTrash) {
    testsupport::TempDir dir;
    ScopedHome home(dir.Path());
    fs::create_directories(dir.Path() / "work" / "folder" / "inside");
    WriteFile(dir.Path() / "work" / "folder" / "inside" / "deep.txt", 5);
    WriteFile(dir.Path() / "work" / "note.txt", 7);

    LocalFileSystem files;
    const std::string trash = files.GetRecycleBinPath();
    EXPECT_EQ(trash, (dir.Path() / "data" / "Trash" / "files").string());

    EXPECT_TRUE(files.RecycleFile((dir.Path() / "work" / "note.txt").c_str()));
    EXPECT_FALSE(fs::exists(dir.Path() / "work" / "note.txt"));
    EXPECT_TRUE(fs::exists(fs::path(trash) / "note.txt"));
    EXPECT_TRUE(fs::exists(dir.Path() / "data" / "Trash" / "info" / "note.txt.trashinfo"));

    EXPECT_TRUE(files.RecycleFile((dir.Path() / "work" / "folder").c_str()));
    EXPECT_FALSE(fs::exists(dir.Path() / "work" / "folder"));
    EXPECT_TRUE(fs::exists(fs::path(trash) / "folder" / "inside" / "deep.txt"));

    EXPECT_FALSE(files.RecycleFile((dir.Path() / "work" / "missing").c_str()));
    EXPECT_FALSE(files.RecycleFile(nullptr));
    EXPECT_FALSE(files.RecycleFile(""));

    EXPECT_TRUE(files.IsRecycleBin(trash));
    EXPECT_FALSE(files.IsRecycleBin((dir.Path() / "work").string()));
}

TEST(LocalFileSystem, FormatSizeRoundsUpToKilobytesAndGroupsDigits) {
    EXPECT_EQ(FormatKilobytes(0), "0KB");
    EXPECT_EQ(FormatKilobytes(1), "1KB");
    EXPECT_EQ(FormatKilobytes(1024), "1KB");
    EXPECT_EQ(FormatKilobytes(1025), "2KB");
    EXPECT_EQ(FormatKilobytes(999 * 1024), "999KB");
    EXPECT_EQ(FormatKilobytes(1'023'999), "1,000KB");
    EXPECT_EQ(FormatKilobytes(1234 * 1024), "1,234KB");
    EXPECT_EQ(FormatKilobytes(1'234'567u * 1024u - 5), "1,234,567KB");
    // The record keeps 32 bits: the largest size still formats as unsigned.
    EXPECT_EQ(FormatKilobytes(0xFFFFFFFFu), "4,194,304KB");

    testsupport::TempDir dir;
    WriteFile(dir.Path() / "empty", 0);
    WriteFile(dir.Path() / "one", 1);
    WriteFile(dir.Path() / "over", 1025);
    LocalFileSystem files;
    EXPECT_EQ(files.FormatSize((dir.Path() / "empty").string()), "0KB");
    EXPECT_EQ(files.FormatSize((dir.Path() / "one").string()), "1KB");
    EXPECT_EQ(files.FormatSize((dir.Path() / "over").string()), "2KB");
    EXPECT_EQ(files.FormatSize(dir.Path().string()), "");
    EXPECT_EQ(files.FormatSize((dir.Path() / "missing").string()), "");
}

TEST(LocalFileSystem, GetStatusFillsAttributesTimesAndPath) {
    testsupport::TempDir dir;
    const fs::path file = dir.Path() / ".hidden-file";
    WriteFile(file, 4100);
    chmod(file.c_str(), 0444);
    fs::create_directory(dir.Path() / "sub");

    LocalFileSystem files;
    FileStatus status;
    ASSERT_TRUE(files.GetStatus(file.string(), status));
    EXPECT_EQ(status.size, 4100);
    EXPECT_EQ(status.fullPath, file.string());
    EXPECT_EQ(status.attribute, kAttributeHidden | kAttributeReadOnly | kAttributeArchive);
    EXPECT_GT(status.modificationTime, 1'600'000'000);
    EXPECT_GT(status.creationTime, 0);
    EXPECT_EQ(files.GetModifiedTime(file.string()), status.modificationTime);

    ASSERT_TRUE(files.GetStatus((dir.Path() / "sub").string(), status));
    EXPECT_EQ(status.attribute, kAttributeDirectory);

    status.fullPath = "stale";
    EXPECT_FALSE(files.GetStatus((dir.Path() / "gone").string(), status));
    EXPECT_EQ(status.fullPath, "");
    EXPECT_EQ(files.GetModifiedTime((dir.Path() / "gone").string()), 0);
}

TEST(LocalFileSystem, ShortcutsAreSymbolicLinks) {
    testsupport::TempDir dir;
    WriteFile(dir.Path() / "target.txt", 1);
    LocalFileSystem files;
    const std::string link = (dir.Path() / "link").string();
    EXPECT_TRUE(files.CreateShortcut((dir.Path() / "target.txt").string(), link, "a note"));
    EXPECT_TRUE(files.IsShortcut(link));
    EXPECT_FALSE(files.IsShortcut((dir.Path() / "target.txt").string()));

    std::string target = "stale";
    EXPECT_TRUE(files.ResolveShortcut(nullptr, link, target));
    EXPECT_EQ(target, (dir.Path() / "target.txt").string());

    // A relative link resolves against the link's folder.
    fs::create_directory(dir.Path() / "sub");
    fs::create_symlink("../target.txt", dir.Path() / "sub" / "up");
    EXPECT_TRUE(files.ResolveShortcut(nullptr, (dir.Path() / "sub" / "up").string(), target));
    EXPECT_EQ(target, (dir.Path() / "target.txt").string());

    // Not a link: TRUE with an empty target.
    EXPECT_TRUE(files.ResolveShortcut(nullptr, (dir.Path() / "target.txt").string(), target));
    EXPECT_EQ(target, "");

    // A target that cannot fit 260 characters fails.
    fs::create_symlink("/" + std::string(300, 'a'), dir.Path() / "long");
    EXPECT_FALSE(files.ResolveShortcut(nullptr, (dir.Path() / "long").string(), target));
    EXPECT_EQ(target, "");
}

TEST(LocalFileSystem, CopyMoveAndCreateKeepExistingFiles) {
    testsupport::TempDir dir;
    const std::string a = (dir.Path() / "a").string();
    const std::string b = (dir.Path() / "b").string();
    WriteFile(a, 10);
    WriteFile(b, 20);
    LocalFileSystem files;
    EXPECT_FALSE(files.CopyFile(a, b, true));
    EXPECT_EQ(fs::file_size(b), 20u);
    EXPECT_TRUE(files.CopyFile(a, b, false));
    EXPECT_EQ(fs::file_size(b), 10u);
    EXPECT_FALSE(files.CopyFile(dir.Path().string(), (dir.Path() / "c").string(), false));

    EXPECT_FALSE(files.MoveFile(a, b));
    EXPECT_TRUE(fs::exists(a));
    EXPECT_TRUE(files.MoveFile(a, (dir.Path() / "moved").string()));
    EXPECT_FALSE(fs::exists(a));

    EXPECT_TRUE(files.CreateDirectory((dir.Path() / "new").string()));
    EXPECT_FALSE(files.CreateDirectory((dir.Path() / "new").string()));
    EXPECT_FALSE(files.CreateDirectory((dir.Path() / "x" / "y").string()));
}

TEST(LocalFileSystem, MachineDrivesAndPropertiesDescribeThisComputer) {
    LocalFileSystem files;
    EXPECT_EQ(files.GetKind(), kFileSystemLocal);
    std::vector<std::string> properties{"left over"};
    EXPECT_TRUE(files.GetProperties(properties));
    ASSERT_EQ(properties.size(), 3u);
    EXPECT_EQ(properties[0], files.GetMachineName());
    EXPECT_FALSE(properties[0].empty());
    EXPECT_EQ(properties[1], "Unimplemented");
    EXPECT_EQ(properties[2], "Unimplemented");

    char buffer[16];
    std::memset(buffer, 'z', sizeof buffer);
    EXPECT_EQ(files.GetLogicalDriveStrings(sizeof buffer, buffer), 2u);
    EXPECT_EQ(std::string(buffer, 3), std::string("/\0\0", 3));
    EXPECT_EQ(files.GetLogicalDriveStrings(2, buffer), 3u);

    EXPECT_EQ(files.GetDriveType("/definitely/not/here"), kDriveNoRoot);
    EXPECT_NE(files.GetDriveType("/"), kDriveNoRoot);
}

TEST(LocalFileSystem, DriveTypeComesFromTheLongestMountOfThePath) {
    testsupport::TempDir dir;
    fs::create_directories(dir.Path() / "cd" / "x");
    fs::create_directories(dir.Path() / "net share");
    const std::string root = dir.Path().string();
    {
        std::ofstream mounts(dir.Path() / "mounts");
        mounts << "/dev/vda / ext4 rw 0 0\n"
               << "tmpfs " << root << " tmpfs rw 0 0\n"
               << "/dev/sr0 " << root << "/cd iso9660 ro 0 0\n"
               << "server:/x " << root << "/net\\040share nfs4 rw 0 0\n";
    }
    const std::string mounts = (dir.Path() / "mounts").string();
    EXPECT_EQ(DriveTypeOfPath(root + "/cd/x", mounts), kDriveOptical);
    EXPECT_EQ(DriveTypeOfPath(root + "/net share", mounts), kDriveRemote);
    EXPECT_EQ(DriveTypeOfPath(root, mounts), kDriveRam);
    EXPECT_EQ(DriveTypeOfPath(root + "/missing", mounts), kDriveNoRoot);
    EXPECT_EQ(DriveTypeOfPath(root, root + "/no-mounts-file"), kDriveUnknown);
}

TEST(LocalFileSystem, FileInfoGivesNamesTypesAttributesAndFeedsTheIconCache) {
    testsupport::TempDir dir;
    WriteFile(dir.Path() / "Song.MP3", 10);
    fs::create_directory(dir.Path() / "album.old");
    IconIndexCache cache;
    LocalFileSystem files(&cache);

    ShellFileInfo info;
    const std::string song = (dir.Path() / "Song.MP3").string();
    ASSERT_NE(files.GetFileInfo(song, info,
                                kInfoIcon | kInfoSmallIcon | kInfoTypeName | kInfoDisplayName |
                                    kInfoAttributes),
              0);
    EXPECT_EQ(info.displayName, "Song.MP3");
    EXPECT_EQ(info.typeName, "MP3 audio");
    EXPECT_EQ(info.attributes, 0u);
    EXPECT_EQ(cache.Lookup("other.mp3", kIconSmall), info.iconIndex);
    EXPECT_NE(info.iconIndex, 0);

    const std::string album = (dir.Path() / "album.old").string();
    ASSERT_NE(files.GetFileInfo(album, info, kInfoIcon | kInfoTypeName | kInfoAttributes), 0);
    EXPECT_EQ(info.typeName, "Folder");
    EXPECT_EQ(info.attributes, kItemFolder);
    // Folders never teach the cache about an extension.
    EXPECT_EQ(cache.Lookup("x.old", kIconLarge), 0);
    EXPECT_TRUE(files.IsFolder(album));
    EXPECT_TRUE(files.IsFolder("/"));
    EXPECT_FALSE(files.IsFolder(song));

    EXPECT_EQ(files.GetFileInfo((dir.Path() / "gone").string(), info, kInfoAttributes), 0);
    EXPECT_EQ(files.GetDisplayName((dir.Path() / "gone").string()), "");
    EXPECT_EQ(files.GetDisplayPath(album + "/"), album);
    EXPECT_EQ(files.GetDisplayPath("/"), "/");
    EXPECT_EQ(files.GetDisplayPath(""), "");
}

TEST(FileSystemDerived, DriveRootsAreRootWithOrWithoutFolderCheck) {
    LocalFileSystem files;
    EXPECT_TRUE(files.IsDriveRoot("/", false));
    EXPECT_TRUE(files.IsDriveRoot("/", true));
    EXPECT_FALSE(files.IsDriveRoot("/usr", false));
    EXPECT_FALSE(files.IsDriveRoot("/usr/", false));
}

TEST(LocalFileSystem, OpenFileRefusesAMissingFile) {
    LocalFileSystem files;
    EXPECT_FALSE(files.OpenFile(nullptr, "/definitely/not/here.txt"));
    EXPECT_FALSE(files.OpenFile(nullptr, ""));
}

} // namespace
