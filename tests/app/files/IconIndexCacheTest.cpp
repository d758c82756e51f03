#include "app/files/IconIndexCache.h"

#include "app/files/FileTypeIcon.h"
#include "app/files/LocalFileSystem.h"
#include "app/files/SystemIconTable.h"
#include "platform/ByteOrder.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace {

// The index this process's table has for the icon of files with that extension.
std::int32_t IconHere(const std::string& extension) {
    const IconNames names = FileTypeIconNames("x." + extension);
    return SystemIconTable::IndexOf(names.name, names.fallbackName);
}

TEST(IconIndexCache, StoresShortLowerCasedExtensionsOnly) {
    IconIndexCache cache;
    EXPECT_TRUE(cache.Store("/music/x.TXT", 7, kIconSmall));
    EXPECT_EQ(cache.Lookup("y.txt", kIconSmall), 7);
    EXPECT_EQ(cache.Lookup("Y.TxT", kIconSmall), 7);
    // A kind never stored in an existing node reads as a fresh node's value.
    EXPECT_EQ(cache.Lookup("y.txt", kIconLarge), 0);

    EXPECT_FALSE(cache.Store("page.html", 9, kIconSmall));
    EXPECT_FALSE(cache.Store("setup.exe", 9, kIconSmall));
    EXPECT_FALSE(cache.Store("SETUP.EXE", 9, kIconSmall));
    EXPECT_FALSE(cache.Store("noextension", 9, kIconSmall));
    EXPECT_EQ(cache.Lookup("page.html", kIconSmall), 0);
    EXPECT_EQ(cache.Lookup("setup.exe", kIconSmall), 0);
    EXPECT_EQ(cache.Lookup("noextension", kIconSmall), 0);
    EXPECT_EQ(cache.Lookup("z.abc", kIconSmall), 0); // no node on the way

    // The extension is whatever follows the last dot, even in a folder name.
    EXPECT_FALSE(cache.Store("/a.b/noext", 4, kIconSmall));
    // "name." keeps its icon in the root, whose kinds start at -1.
    EXPECT_EQ(cache.Lookup("name.", kIconOpen), -1);
    EXPECT_TRUE(cache.Store("name.", 3, kIconOpen));
    EXPECT_EQ(cache.Lookup("other.", kIconOpen), 3);

    // The intermediate node "t" exists without anything stored in it.
    EXPECT_EQ(cache.Lookup("a.t", kIconSmall), 0);
    // Every kind keeps its own index.
    cache.Store("x.txt", 8, kIconOpen);
    EXPECT_EQ(cache.Lookup("x.txt", kIconSmall), 7);
    EXPECT_EQ(cache.Lookup("x.txt", kIconOpen), 8);
}

TEST(IconIndexCache, EmptyCacheSerialisesToRootAndTerminator) {
    IconIndexCache cache;
    auto block = cache.Serialize();
    ASSERT_EQ(block.size(), 32u);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(block[i], 0);
    EXPECT_EQ(platform::LoadLE32s(&block[4]), -1);
    EXPECT_EQ(platform::LoadLE32s(&block[12]), -1);
    EXPECT_EQ(platform::LoadLE32(&block[16]), 0u);
    EXPECT_EQ(platform::LoadLE32s(&block[20]), -5);
    EXPECT_EQ(platform::LoadLE32s(&block[28]), -5);
}

TEST(IconIndexCache, BlockIsDepthFirstByByteValueAndRoundTrips) {
    IconIndexCache cache;
    cache.Store("a.mp3", 11, kIconSmall);
    cache.Store("a.mp3", 12, kIconLarge);
    cache.Store("a.doc", 20, kIconSmall);
    cache.Store("a.m", 30, kIconOpen);
    auto block = cache.Serialize();
    // root, d, do, doc, m, mp, mp3, terminator
    ASSERT_EQ(block.size(), 8u * 16u);
    auto name = [&](int record) { return platform::ReadFixedText(&block[record * 16], 3); };
    EXPECT_EQ(name(0), "");
    EXPECT_EQ(name(1), "d");
    EXPECT_EQ(name(3), "doc");
    EXPECT_EQ(name(4), "m");
    EXPECT_EQ(name(6), "mp3");
    EXPECT_EQ(block[6 * 16 + 3], 0);
    EXPECT_EQ(platform::LoadLE32s(&block[6 * 16 + 4]), 11);
    EXPECT_EQ(platform::LoadLE32s(&block[6 * 16 + 8]), 12);
    EXPECT_EQ(platform::LoadLE32s(&block[4 * 16 + 12]), 30);

    IconIndexCache copy;
    copy.Store("a.zip", 99, kIconSmall); // emptied by the rebuild
    EXPECT_EQ(copy.Deserialize(block.data(), block.size()), 7);
    // Saved indexes are not believed: each kind that had one gets the icon its
    // extension has here; kinds without one stay as they were.
    EXPECT_EQ(copy.Lookup("b.MP3", kIconLarge), IconHere("mp3"));
    EXPECT_EQ(copy.Lookup("b.MP3", kIconOpen), 0);
    EXPECT_EQ(copy.Lookup("b.doc", kIconSmall), IconHere("doc"));
    EXPECT_EQ(copy.Lookup("b.m", kIconOpen), IconHere("m"));
    EXPECT_EQ(copy.Lookup("b.zip", kIconSmall), 0);
    // A block written with this process's own indexes reads back to itself.
    auto own = copy.Serialize();
    ASSERT_EQ(own.size(), block.size());
    IconIndexCache again;
    EXPECT_EQ(again.Deserialize(own.data(), own.size()), 7);
    EXPECT_EQ(again.Serialize(), own);
}

TEST(IconIndexCache, SavedIconsKeepTheirNamesAfterARestart) {
    testsupport::TempDir dir;
    const std::vector<std::string> extensions{"mp3", "txt", "png"};
    IconIndexCache saved;
    LocalFileSystem files(&saved);
    ShellFileInfo info;
    for (const auto& extension : extensions) {
        const std::string path = (dir.Path() / ("file." + extension)).string();
        std::ofstream(path) << "x";
        ASSERT_NE(files.GetFileInfo(path, info, kInfoIcon | kInfoSmallIcon), 0);
        ASSERT_NE(files.GetFileInfo(path, info, kInfoIcon), 0);
    }
    auto block = saved.Serialize();

    // The next process met other icons first, so its table numbers these ones
    // differently: a saved index names another icon there.
    IconTable next;
    std::int32_t highest = 0;
    for (const auto& extension : extensions)
        for (int kind : {kIconSmall, kIconLarge})
            highest = std::max(highest, saved.Lookup("x." + extension, kind));
    for (std::int32_t i = 1; i <= highest; ++i)
        next.IndexOf("unrelated-" + std::to_string(i), "unrelated");

    IconIndexCache restarted(next);
    ASSERT_GT(restarted.Deserialize(block.data(), block.size()), 0);
    for (const auto& extension : extensions) {
        for (int kind : {kIconSmall, kIconLarge}) {
            const IconNames before = SystemIconTable::NamesAt(saved.Lookup("x." + extension, kind));
            ASSERT_FALSE(before.name.empty()) << extension;
            ASSERT_NE(next.NamesAt(saved.Lookup("x." + extension, kind)).name, before.name);
            const IconNames after = next.NamesAt(restarted.Lookup("x." + extension, kind));
            EXPECT_EQ(after.name, before.name) << extension;
            EXPECT_EQ(after.fallbackName, before.fallbackName) << extension;
        }
    }
}

TEST(IconIndexCache, DamagedOrAbsentBlockLeavesTheCacheAlone) {
    IconIndexCache cache;
    cache.Store("a.ogg", 5, kIconSmall);
    auto good = cache.Serialize();

    EXPECT_EQ(cache.Deserialize(nullptr, 0), -1);
    std::vector<std::uint8_t> unterminated(good.begin(), good.end() - 16);
    EXPECT_EQ(cache.Deserialize(unterminated.data(), unterminated.size()), -1);
    std::vector<std::uint8_t> ragged(good.begin(), good.end() - 1);
    EXPECT_EQ(cache.Deserialize(ragged.data(), ragged.size()), -1);
    EXPECT_EQ(cache.Lookup("x.ogg", kIconSmall), 5);

    // Records that name "exe" or carry no NUL in their name bytes are read
    // without harm; bytes after the terminator are not looked at.
    std::vector<std::uint8_t> odd(48 + 7, 0xEE);
    std::memcpy(odd.data(), "exe\0", 4);
    std::memcpy(odd.data() + 16, "abcd", 4);
    for (int i = 0; i < 3; ++i)
        platform::StoreLE32s(&odd[16 + 4 + 4 * i], 2);
    std::memset(odd.data() + 32, 0, 4);
    for (int i = 0; i < 3; ++i)
        platform::StoreLE32s(&odd[32 + 4 + 4 * i], -5);
    EXPECT_EQ(cache.Deserialize(odd.data(), odd.size()), 2);
    EXPECT_EQ(cache.Lookup("q.abc", kIconLarge), IconHere("abc"));
    EXPECT_EQ(cache.Lookup("q.ogg", kIconSmall), 0);
}

TEST(IconIndexCache, GrowthIsBoundedForStoresAndBlocks) {
    IconIndexCache cache;
    int stored = 0;
    bool refused = false;
    for (int a = 'a'; a <= 'z' && !refused; ++a)
        for (int b = 1; b < 256 && !refused; ++b)
            for (int c = 1; c < 256 && !refused; ++c) {
                if (b == '.' || c == '.')
                    continue;
                std::string name = {'x', '.', char(a), char(b), char(c)};
                if (cache.Store(name, 1, kIconSmall))
                    ++stored;
                else
                    refused = true;
            }
    EXPECT_TRUE(refused);
    // Upper-case letters fold onto nodes that exist, so more stores succeed
    // than nodes are made.
    EXPECT_GT(stored, 60000);
    EXPECT_EQ(cache.Lookup("y.a\x01\x01", kIconSmall), 1);

    // A block with more records than the cache may hold is refused whole.
    std::vector<std::uint8_t> block((IconIndexCache::kMaxNodes + 2) * 16, 0);
    for (std::size_t i = 0; i < 3; ++i)
        platform::StoreLE32s(&block[block.size() - 12 + 4 * i], -5);
    EXPECT_EQ(cache.Deserialize(block.data(), block.size()), -1);
    EXPECT_EQ(cache.Lookup("y.a\x01\x01", kIconSmall), 1);
}

TEST(IconIndexCache, ListViewsAndServersFeedOneCacheAtOnce) {
    testsupport::TempDir dir;
    for (const char* name : {"a.mp3", "b.txt", "c.jpg", "d.ogg", "e.png", "f.pdf"})
        std::ofstream(dir.Path() / name) << "x";
    IconIndexCache cache;
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&cache, &dir, t] {
            LocalFileSystem files(&cache);
            ShellFileInfo info;
            for (int round = 0; round < 30; ++round) {
                for (const auto& entry : std::filesystem::directory_iterator(dir.Path()))
                    files.GetFileInfo(entry.path().string(), info,
                                      kInfoIcon | (t == 1 ? kInfoSmallIcon : 0u));
                cache.Serialize();
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    LocalFileSystem files;
    ShellFileInfo info;
    files.GetFileInfo((dir.Path() / "d.ogg").string(), info, kInfoIcon | kInfoSmallIcon);
    EXPECT_EQ(cache.Lookup("x.ogg", kIconSmall), info.iconIndex);
    EXPECT_EQ(cache.Lookup("x.ogg", kIconLarge), info.iconIndex);
}

TEST(IconIndexCache, DefaultsComeFromTheRootDriveAndItsFirstFolder) {
    IconIndexCache cache;
    LocalFileSystem files(&cache);
    cache.FillDefaults(files);
    EXPECT_NE(cache.GetDefault(IconIndexCache::kRowDrive, kIconSmall), 0);
    EXPECT_EQ(cache.GetDefault(IconIndexCache::kRowDrive, kIconOpen),
              cache.GetDefault(IconIndexCache::kRowDrive, kIconSmall));
    EXPECT_EQ(cache.GetDefault(IconIndexCache::kRowDrive, kIconLarge), 0);
    EXPECT_NE(cache.GetDefault(IconIndexCache::kRowFolder, kIconSmall), 0);
    EXPECT_NE(cache.GetDefault(IconIndexCache::kRowFolder, kIconOpen),
              cache.GetDefault(IconIndexCache::kRowFolder, kIconSmall));
    cache.SetDefault(IconIndexCache::kRowFolder, kIconLarge, 42);
    EXPECT_EQ(cache.GetDefault(IconIndexCache::kRowFolder, kIconLarge), 42);
    EXPECT_EQ(cache.GetDefault(2, kIconLarge), 0);
}

} // namespace
