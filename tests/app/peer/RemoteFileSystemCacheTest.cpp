#include "app/peer/remotefs/RemoteFileSystemCache.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

NFSListingEntry Entry(const std::string& path, std::int32_t size) {
    NFSListingEntry entry;
    entry.path = path;
    entry.status.size = size;
    entry.statusResult = 1;
    entry.infoA.displayName = "small";
    entry.infoB.displayName = "plain";
    entry.infoC.displayName = "open";
    entry.infoResultA = 1;
    entry.infoResultB = 2;
    entry.infoResultC = 3;
    entry.hasSubdirectories = size % 2;
    return entry;
}

TEST(RemoteFileSystemCache, NormalisesOneTrailingSlashButNotTheRoot) {
    EXPECT_EQ(RemoteFileSystemCache::NormalisePath("/music/"), "/music");
    EXPECT_EQ(RemoteFileSystemCache::NormalisePath("/music//"), "/music/");
    EXPECT_EQ(RemoteFileSystemCache::NormalisePath("/"), "/");
    EXPECT_EQ(RemoteFileSystemCache::NormalisePath(""), "");
    EXPECT_EQ(RemoteFileSystemCache::NormalisePath("/music"), "/music");
}

TEST(RemoteFileSystemCache, LooksUpByExactPathFirstEntryWinning) {
    RemoteFileSystemCache cache;
    cache.Replace({Entry(".", 0), Entry("/m/Song.mp3", 1), Entry("/m/dir", 2),
                   Entry("/m/Song.mp3", 9), Entry("/", 5)});
    FileStatus status;
    std::int32_t result = 0;
    ASSERT_TRUE(cache.FindStatus("/m/Song.mp3", status, result));
    EXPECT_EQ(status.size, 1);
    EXPECT_EQ(result, 1);
    // File names are case-sensitive here: another name, not the same file.
    EXPECT_FALSE(cache.FindStatus("/m/song.mp3", status, result));
    ASSERT_TRUE(cache.FindStatus("/m/dir/", status, result));
    EXPECT_EQ(status.size, 2);
    ASSERT_TRUE(cache.FindStatus("/", status, result));
    EXPECT_EQ(status.size, 5);
    // The hint from the last match does not stand in for another path.
    ASSERT_TRUE(cache.FindStatus("/m/Song.mp3", status, result));
    EXPECT_EQ(status.size, 1);
    bool has = true;
    ASSERT_TRUE(cache.FindHasSubdirectories("/m/Song.mp3", has));
    EXPECT_TRUE(has);
    ASSERT_TRUE(cache.FindHasSubdirectories("/m/dir", has));
    EXPECT_FALSE(has);
    EXPECT_FALSE(cache.FindHasSubdirectories("/m/none", has));

    cache.Replace({});
    EXPECT_FALSE(cache.FindStatus("/m/Song.mp3", status, result));
}

TEST(RemoteFileSystemCache, PicksTheRecordOfTheIconVariant) {
    RemoteFileSystemCache cache;
    cache.Replace({Entry(".", 0), Entry("/f", 1)});
    ShellFileInfo info;
    std::int32_t result = 0;
    ASSERT_TRUE(cache.FindInfo("/f", kInfoSmallIcon, info, result));
    EXPECT_EQ(info.displayName, "small");
    EXPECT_EQ(result, 1);
    ASSERT_TRUE(cache.FindInfo("/f", kInfoSmallIcon | kInfoOpenIcon, info, result));
    EXPECT_EQ(info.displayName, "small");
    ASSERT_TRUE(cache.FindInfo("/f", kInfoOpenIcon, info, result));
    EXPECT_EQ(info.displayName, "open");
    EXPECT_EQ(result, 3);
    ASSERT_TRUE(cache.FindInfo("/f", kInfoIcon | kInfoDisplayName, info, result));
    EXPECT_EQ(info.displayName, "plain");
    EXPECT_EQ(result, 2);
}

TEST(RemoteFileSystemCache, WalkSkipsTheFirstItemAndStaysOnTheLast) {
    RemoteFileSystemCache cache;
    EXPECT_FALSE(cache.Next()); // an empty listing has nothing current
    EXPECT_EQ(cache.CurrentPath(), "");
    cache.Replace({Entry(".", 0), Entry("/a", 1), Entry("/b", 2)});
    EXPECT_EQ(cache.CurrentPath(), "");
    EXPECT_TRUE(cache.Next());
    EXPECT_EQ(cache.CurrentPath(), ""); // the "." item is never current
    EXPECT_TRUE(cache.Next());
    EXPECT_EQ(cache.CurrentPath(), "/a");
    EXPECT_FALSE(cache.Next());
    EXPECT_EQ(cache.CurrentPath(), "/b");
    EXPECT_FALSE(cache.Next());
    EXPECT_EQ(cache.CurrentPath(), "/b");
    cache.Replace({Entry(".", 0), Entry("/c", 1)});
    EXPECT_TRUE(cache.Next());
    EXPECT_FALSE(cache.Next());
    EXPECT_EQ(cache.CurrentPath(), "/c");
}

} // namespace
