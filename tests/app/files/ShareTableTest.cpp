#include "app/files/ShareTable.h"

#include "platform/ByteOrder.h"
#include "support/RecordLayout.h"

#include <chrono>
#include <cstdlib>
#include <future>
#include <gtest/gtest.h>
#include <memory>
#include <thread>
#include <vector>

namespace {

struct TableHolder {
    std::shared_ptr<ShareTable> table = std::make_shared<ShareTable>();
    ShareTable* operator->() const { return table.get(); }
};

TEST(ShareTable, SharedFolderCoversItsContentsByteForByte) {
    TableHolder t;
    ASSERT_TRUE(t->Add("/home/ann/Music"));
    EXPECT_TRUE(t->IsShared("/home/ann/Music"));
    EXPECT_TRUE(t->IsShared("/home/ann/Music/"));
    EXPECT_TRUE(t->IsShared("/home/ann/Music/Rock"));
    EXPECT_TRUE(t->IsShared("/home/ann/Music/song.mp3"));
    // Names differ by case on this system: "music" is a different, private folder.
    EXPECT_FALSE(t->IsShared("/home/ann/music"));
    EXPECT_FALSE(t->IsShared("/home/ann/music/Rock"));
    EXPECT_FALSE(t->IsShared("/home/ann/Musical"));
    EXPECT_FALSE(t->IsShared("/home/ann"));
    EXPECT_FALSE(t->IsShared(""));

    EXPECT_TRUE(t->IsShareRoot("/home/ann/Music"));
    EXPECT_FALSE(t->IsShareRoot("/home/ann/Music/Rock"));
    EXPECT_FALSE(t->IsShareRoot("/home/ann/music"));
    EXPECT_EQ(t->IndexOf("/home/ann/Music/"), 0);
    EXPECT_EQ(t->IndexOf("/home/ann/Music"), -1); // taken as given
    std::string entry;
    EXPECT_TRUE(t->GetAt(0, entry));
    EXPECT_EQ(entry, "/home/ann/Music/");
    EXPECT_FALSE(t->GetAt(1, entry));
    EXPECT_FALSE(t->GetAt(-1, entry));
}

TEST(ShareTable, AddKeepsNoEntryBelowAnother) {
    TableHolder t;
    ASSERT_TRUE(t->Add("/home/ann/Music/Rock"));
    ASSERT_TRUE(t->Add("/home/ann/Music/Jazz/"));
    ASSERT_TRUE(t->Add("/home/ann/Photos"));
    ASSERT_TRUE(t->Add("/home/ann/MusicBox"));
    ASSERT_TRUE(t->Add("/home/ann/Music"));
    EXPECT_EQ(t->Entries(), (std::vector<std::string>{"/home/ann/Photos/", "/home/ann/MusicBox/",
                                                      "/home/ann/Music/"}));
    // Inside or equal to an entry: refused, and nothing changes.
    EXPECT_FALSE(t->Add("/home/ann/Music/Rock"));
    EXPECT_FALSE(t->Add("/home/ann/Music"));
    EXPECT_FALSE(t->Remove("/home/ann/Music/Rock"));
    EXPECT_EQ(t->GetCount(), 3);
    // A folder differing only in case is its own folder.
    EXPECT_TRUE(t->Add("/home/ann/music"));
    EXPECT_TRUE(t->Remove("/home/ann/Music"));
    EXPECT_FALSE(t->Remove("/home/ann/Music"));
    EXPECT_TRUE(t->IsShared("/home/ann/music/x"));
    EXPECT_FALSE(t->IsShared("/home/ann/Music/x"));
}

TEST(ShareTable, RootSystemAndOwnFoldersAreNeverShareable) {
    TableHolder t;
    setenv("XDG_CONFIG_HOME", "/home/ann/.config", 1);
    setenv("XDG_RUNTIME_DIR", "/run/user/1000", 1);
    EXPECT_FALSE(t->Add("/"));
    EXPECT_FALSE(t->Add(""));
    EXPECT_FALSE(t->Add("/etc"));
    EXPECT_FALSE(t->Add("/usr/share/doc"));
    EXPECT_FALSE(t->Add("/usrdata")); // same first letters as a system folder
    EXPECT_FALSE(t->Add("/proc/self"));
    EXPECT_FALSE(t->Add("/home/ann/.config/halvara"));
    EXPECT_FALSE(t->Add("/home/ann/.config/drovick/"));
    EXPECT_FALSE(t->Add("relative/folder"));
    EXPECT_FALSE(t->Add("/home/ann/x/../../../etc"));
    EXPECT_FALSE(t->Add("/home/ann/./Music"));
    EXPECT_FALSE(t->Add("/home//ann"));
    EXPECT_FALSE(t->IsShareable("/var/"));
    EXPECT_TRUE(t->IsShareable("/home/ann/.config/other"));
    EXPECT_TRUE(t->IsShareable("/srv/media"));
    EXPECT_EQ(t->GetCount(), 0);
    unsetenv("XDG_CONFIG_HOME");
    unsetenv("XDG_RUNTIME_DIR");
}

TEST(ShareTable, ListUnderAndDriveQueriesUsePlainPrefixes) {
    TableHolder t;
    t->Add("/srv/a");
    t->Add("/home/ann/b");
    t->Add("/srv/c");
    std::vector<std::string> list{"stale"};
    EXPECT_EQ(t->ListUnder("/srv/", list), 2);
    EXPECT_EQ(list, (std::vector<std::string>{"/srv/a/", "/srv/c/"}));
    EXPECT_EQ(t->ListUnder("/", list), 3);
    EXPECT_EQ(t->ListUnder("/opt", list), 0);
    EXPECT_TRUE(list.empty());
    EXPECT_TRUE(t->HasShareOnDrive("/"));
    EXPECT_TRUE(ShareTable::IsUnder("/srv", "/srvx"));
    EXPECT_FALSE(ShareTable::IsUnder("/srv/", "/srv"));
}

TEST(ShareTable, BlockRoundTripsAndDamageIsRefused) {
    TableHolder empty;
    auto none = empty->Serialize();
    EXPECT_EQ(none, (std::vector<std::uint8_t>{0, 0, 0, 0}));

    TableHolder t;
    t->Add("/srv/a");
    t->Add("/home/ann/Music");
    auto block = t->Serialize();
    ASSERT_EQ(block.size(), 4u + 4 + 8 + 4 + 17);
    EXPECT_TRUE(testsupport::HoldsLayout(block, {
                                                    {"count", 0, 4, 2},
                                                    {"first length", 4, 4, 8},
                                                    {"first folder", 8, 8, "/srv/a/"},
                                                    {"first terminator", 15, 1, 0},
                                                    {"second length", 16, 4, 17},
                                                    {"second folder", 20, 17, "/home/ann/Music/"},
                                                }));

    TableHolder copy;
    copy->Add("/srv/old");
    EXPECT_EQ(copy->Deserialize(block.data(), block.size()), 2);
    EXPECT_EQ(copy->Entries(), t->Entries());

    EXPECT_EQ(copy->Deserialize(nullptr, 0), -1);
    // Length word running past the block, text without its NUL, count larger
    // than what follows: refused, table unchanged.
    auto longer = block;
    platform::StoreLE32(&longer[4], 5000);
    EXPECT_EQ(copy->Deserialize(longer.data(), longer.size()), -1);
    auto unterminated = block;
    unterminated[15] = 'x';
    EXPECT_EQ(copy->Deserialize(unterminated.data(), 16), -1);
    auto counted = block;
    platform::StoreLE32(&counted[0], 0x7FFFFFFF);
    EXPECT_EQ(copy->Deserialize(counted.data(), counted.size()), -1);
    EXPECT_EQ(copy->Deserialize(block.data(), 3), -1);
    EXPECT_EQ(copy->GetCount(), 2);

    // Entries that cannot work as folder prefixes are dropped, the rest kept
    // as stored (even ones Add would refuse).
    platform::ByteWriter writer;
    writer.WriteU32(3);
    for (std::string text : {"/", "no-slash", "/etc/"}) {
        writer.WriteU32(static_cast<std::uint32_t>(text.size() + 1));
        writer.WriteBytes(text.data(), text.size());
        writer.WriteU8(0);
    }
    auto odd = writer.Take();
    EXPECT_EQ(copy->Deserialize(odd.data(), odd.size()), 1);
    EXPECT_EQ(copy->Entries(), std::vector<std::string>{"/etc/"});
}

TEST(ShareTable, ReferencesKeepTheTableAliveAcrossThreads) {
    auto table = std::make_shared<ShareTable>();
    std::weak_ptr<ShareTable> watched = table;
    std::thread reader([held = table] {
        for (int i = 0; i < 2000; ++i)
            held->IsShared("/srv/x/y");
    });
    for (int i = 0; i < 200; ++i) {
        table->Add("/srv/x" + std::to_string(i % 7));
        table->Remove("/srv/x" + std::to_string((i + 3) % 7));
    }
    table.reset();
    reader.join();
    EXPECT_TRUE(watched.expired());
}

// A listener hears each change that was made, and none that was refused; it
// is called with the table's lock free, so a listener that hands the table to
// another thread (a window's) and waits for it does not lock up.
TEST(ShareTable, ListenersHearChangesWithTheTableFree) {
    TableHolder t;
    std::vector<int> heard;
    bool readElsewhere = true;
    std::vector<std::thread> readers;
    const int id = t->AddListener([&] {
        heard.push_back(t->GetCount());
        auto done = std::make_shared<std::promise<void>>();
        auto finished = done->get_future();
        readers.emplace_back([&t, done] {
            t->GetCount();
            done->set_value();
        });
        readElsewhere = readElsewhere &&
                        finished.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    });
    ASSERT_TRUE(t->Add("/srv/music"));
    EXPECT_FALSE(t->Add("/srv/music/rock")) << "already shared";
    EXPECT_FALSE(t->Remove("/srv/films"));
    ASSERT_TRUE(t->Add("/srv/films"));
    ASSERT_TRUE(t->Remove("/srv/music"));
    TableHolder other;
    other->Add("/srv/a");
    other->Add("/srv/b");
    const auto block = other->Serialize();
    ASSERT_EQ(t->Deserialize(block.data(), block.size()), 2);
    EXPECT_EQ(t->Deserialize(block.data(), 3), -1);
    for (std::thread& reader : readers)
        reader.join();
    EXPECT_EQ(heard, (std::vector<int>{1, 2, 1, 2}));
    EXPECT_TRUE(readElsewhere) << "a listener was called with the table locked";

    t->RemoveListener(id);
    ASSERT_TRUE(t->Add("/srv/c"));
    EXPECT_EQ(heard.size(), 4u) << "a removed listener is not called";
}

// A listener may take itself out while it is called; the others still hear
// that change, and it hears no later one.
TEST(ShareTable, ListenerMayRemoveItselfWhileCalled) {
    TableHolder t;
    int once = 0;
    int always = 0;
    int onceId = 0;
    onceId = t->AddListener([&] {
        ++once;
        t->RemoveListener(onceId);
    });
    t->AddListener([&] { ++always; });
    ASSERT_TRUE(t->Add("/srv/one"));
    ASSERT_TRUE(t->Add("/srv/two"));
    EXPECT_EQ(once, 1);
    EXPECT_EQ(always, 2);
}

} // namespace
