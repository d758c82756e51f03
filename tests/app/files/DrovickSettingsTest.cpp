#include "app/files/DrovickSettings.h"

#include "app/files/FileTypeIcon.h"
#include "app/files/IconIndexCache.h"
#include "app/files/ShareTable.h"
#include "app/files/SystemIconTable.h"
#include "platform/ByteOrder.h"
#include "support/RecordLayout.h"
#include "support/TestSupport.h"

#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <sys/resource.h>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

Bytes ReadAll(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const fs::path& file, const Bytes& bytes) {
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

TEST(DrovickSettings, DefaultsAreTheFirstRunValues) {
    setenv("HOME", "/home/ann", 1);
    DrovickSettings settings;
    EXPECT_EQ(settings.downloadDirectory, "/home/ann/");
    EXPECT_EQ(settings.friendsListOpen, 1);
    EXPECT_EQ(settings.sharedListOpen, 1);
    EXPECT_EQ(settings.transferAgentOpen, 1);
    EXPECT_EQ(settings.messengerOpen, 1);
    EXPECT_EQ(settings.monitorOpen, 0);
    EXPECT_EQ(settings.messageBubbleColour, 0xff8080u);
    EXPECT_EQ(settings.treePaneWidth, 220);
    EXPECT_EQ(settings.GetShareTable()->GetCount(), 0);

    testsupport::TempDir dir;
    EXPECT_FALSE(settings.LoadSettings(dir.Path() / "missing.settings"));
    EXPECT_EQ(settings.downloadDirectory, "/home/ann/");
}

TEST(DrovickSettings, FileLayoutPutsEveryFieldAtItsOffset) {
    DrovickSettings settings;
    settings.targetChoice = 1;
    settings.remoteComputer = "ann@example.org";
    settings.searchBasedOn = 2;
    settings.lastSearchText = "blue";
    settings.downloadDirectory = "/home/ann/Downloads/";
    settings.transferAgentRect = {1, 2, 3, 4};
    settings.searchColumnWidths[4] = 77;
    settings.showMainWindowOnStart = 1;
    settings.messengerRect = {-5, 6, 7, 8};
    settings.messageTextColour = 0x123456;
    ASSERT_TRUE(settings.GetShareTable()->Add("/srv/share"));
    // Icons are saved with this process's indexes and read back through their
    // names, which gives the same indexes in the same process.
    const IconNames text = FileTypeIconNames("a.txt");
    const std::int32_t textIcon = SystemIconTable::IndexOf(text.name, text.fallbackName);
    settings.GetIconCache().Store("a.txt", textIcon, 0);

    Bytes bytes = settings.SaveToBytes();
    const std::size_t shareLength = 4 + 4 + 12; // "/srv/share/" and its NUL
    const std::size_t iconLength = 16 * 5;      // root, t, tx, txt, terminator
    ASSERT_EQ(bytes.size(), shareLength + iconLength + 1256);
    // The blocks of variable length (share table, icon cache) shift the tail.
    const std::size_t tail = 1204 + shareLength + iconLength;
    EXPECT_TRUE(testsupport::HoldsLayout(
        bytes,
        {
            {"targetChoice", 0, 4, 1},
            {"remoteComputer", 4, 510, "ann@example.org"},
            {"searchBasedOn", 516, 4, 2},
            {"lastSearchText", 520, 250, "blue"},
            {"downloadDirectory", 776, 300, "/home/ann/Downloads/"},
            {"transferAgentRect.left", 1108, 4, 1},
            {"transferAgentRect.bottom", 1120, 4, 4},
            {"sharedListOpen", 1124, 4, 1},
            {"transferColumnWidths[0]", 1136, 4, 200},
            {"transferColumnWidths[2]", 1144, 4, 100},
            {"searchColumnWidths[4]", 1164, 4, 77},
            {"treePaneWidth", 1168, 4, 220},
            {"showMainWindowOnStart", 1192, 4, 1},
            {"share table's length", 1196, 4, static_cast<std::int64_t>(shareLength)},
            {"share table's count", 1200, 4, 1},
            {"icon cache's length", 1200 + shareLength, 4, static_cast<std::int64_t>(iconLength)},
            {"messengerRect.left", tail, 4, -5},
            {"messengerOpen", tail + 16, 4, 1},
            {"monitorOpen", tail + 36, 4, 0},
            {"messageTextColour", tail + 44, 4, 0x123456},
            {"messageBubbleColour", tail + 48, 4, 0xff8080},
        }));

    DrovickSettings copy;
    ASSERT_TRUE(copy.LoadFromBytes(bytes));
    EXPECT_EQ(copy.remoteComputer, "ann@example.org");
    EXPECT_EQ(copy.transferAgentRect, (SettingsRect{1, 2, 3, 4}));
    EXPECT_EQ(copy.messengerRect, (SettingsRect{-5, 6, 7, 8}));
    EXPECT_EQ(copy.GetShareTable()->Entries(), std::vector<std::string>{"/srv/share/"});
    EXPECT_EQ(copy.GetIconCache().Lookup("b.TXT", 0), textIcon);
    EXPECT_EQ(copy.SaveToBytes(), bytes);
}

TEST(DrovickSettings, FileEndingAfterTheIconBlockKeepsTailDefaults) {
    DrovickSettings writer;
    writer.monitorOpen = 1;
    writer.popUpOnReceipt = 0;
    writer.treePaneWidth = 300;
    Bytes bytes = writer.SaveToBytes();
    bytes.resize(bytes.size() - DrovickSettings::kTailSize);

    DrovickSettings reader;
    EXPECT_TRUE(reader.LoadFromBytes(bytes));
    EXPECT_EQ(reader.treePaneWidth, 300);
    EXPECT_EQ(reader.monitorOpen, 0);
    EXPECT_EQ(reader.popUpOnReceipt, 1);

    // 1 to 51 tail bytes are a cut-off file.
    Bytes full = writer.SaveToBytes();
    for (std::size_t extra : {1u, 4u, 51u}) {
        Bytes cut(full.begin(), full.end() - static_cast<long>(DrovickSettings::kTailSize - extra));
        DrovickSettings damaged;
        EXPECT_FALSE(damaged.LoadFromBytes(cut)) << extra;
        // What came before the damage is kept.
        EXPECT_EQ(damaged.treePaneWidth, 300);
        EXPECT_EQ(damaged.monitorOpen, 0);
    }
}

TEST(DrovickSettings, LengthsThatDoNotFitAreRefused) {
    DrovickSettings writer;
    writer.GetShareTable()->Add("/srv/share");
    writer.treePaneWidth = 99;
    Bytes bytes = writer.SaveToBytes();

    Bytes shareTooLong = bytes;
    platform::StoreLE32(&shareTooLong[1196], static_cast<std::uint32_t>(bytes.size() - 1200 + 1));
    DrovickSettings a;
    EXPECT_FALSE(a.LoadFromBytes(shareTooLong));
    EXPECT_EQ(a.treePaneWidth, 99); // the fixed block was copied first
    EXPECT_EQ(a.GetShareTable()->GetCount(), 0);

    Bytes huge = bytes;
    platform::StoreLE32(&huge[1196], 0xFFFFFFF0u);
    DrovickSettings b;
    EXPECT_FALSE(b.LoadFromBytes(huge));

    const std::size_t iconWord = 1200 + platform::LoadLE32(&bytes[1196]);
    Bytes iconTooLong = bytes;
    platform::StoreLE32(&iconTooLong[iconWord], 0xFFFFFFFFu);
    DrovickSettings c;
    EXPECT_FALSE(c.LoadFromBytes(iconTooLong));
    EXPECT_EQ(c.GetShareTable()->GetCount(), 1); // the share block had parsed

    Bytes noIconWord(bytes.begin(), bytes.begin() + static_cast<long>(iconWord) + 2);
    DrovickSettings d;
    EXPECT_FALSE(d.LoadFromBytes(noIconWord));

    for (std::size_t size : {0u, 1196u, 1199u}) {
        Bytes small(bytes.begin(), bytes.begin() + static_cast<long>(size));
        DrovickSettings e;
        EXPECT_FALSE(e.LoadFromBytes(small)) << size;
        EXPECT_EQ(e.treePaneWidth, 220) << size;
    }
}

TEST(DrovickSettings, UnterminatedTextFieldsAreCutInsideTheirField) {
    DrovickSettings writer;
    Bytes bytes = writer.SaveToBytes();
    std::fill(bytes.begin() + 4, bytes.begin() + 514, 'r');
    std::fill(bytes.begin() + 776, bytes.begin() + 1076, 'd');
    DrovickSettings reader;
    ASSERT_TRUE(reader.LoadFromBytes(bytes));
    EXPECT_EQ(reader.remoteComputer, std::string(509, 'r'));
    EXPECT_EQ(reader.downloadDirectory, std::string(299, 'd'));
}

TEST(DrovickSettings, SaveReplacesTheFileWholeAndLoadReadsItBack) {
    testsupport::TempDir dir;
    const fs::path file = dir.Path() / "drovick" / "Drovick.settings";
    DrovickSettings settings;
    settings.lastSearchText = "first";
    ASSERT_TRUE(settings.SaveSettings(file));
    settings.lastSearchText = "second";
    ASSERT_TRUE(settings.SaveSettings(file));
    EXPECT_EQ(ReadAll(file), settings.SaveToBytes());
    // Nothing but the settings file is left in the folder.
    EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), {}), 1);

    DrovickSettings reader;
    ASSERT_TRUE(reader.LoadSettings(file));
    EXPECT_EQ(reader.lastSearchText, "second");
}

TEST(DrovickSettings, SaveThatCannotCompleteLeavesTheOldFileIntact) {
    testsupport::TempDir dir;
    const fs::path file = dir.Path() / "Drovick.settings";
    DrovickSettings settings;
    ASSERT_TRUE(settings.SaveSettings(file));
    const Bytes before = ReadAll(file);

    // A settings file far larger than the file size limit stands for a full
    // disk: the write fails part way.
    for (int i = 0; i < 200; ++i)
        settings.GetShareTable()->Add("/srv/share-number-" + std::to_string(i));
    struct rlimit old {};
    getrlimit(RLIMIT_FSIZE, &old);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limited = old;
    limited.rlim_cur = 2048;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    const bool saved = settings.SaveSettings(file);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_FALSE(saved);
    EXPECT_EQ(ReadAll(file), before);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), {}), 1);

    // A folder that cannot be made is a failed save too.
    WriteAll(dir.Path() / "blocker", {1});
    EXPECT_FALSE(settings.SaveSettings(dir.Path() / "blocker" / "Drovick.settings"));
}

TEST(DrovickSettings, LocationIsInTheUsersConfigurationFolder) {
    setenv("XDG_CONFIG_HOME", "/home/ann/.cfg", 1);
    EXPECT_EQ(DrovickSettings::LocationOf(), fs::path("/home/ann/.cfg/drovick/Drovick.settings"));
    EXPECT_EQ(DrovickSettings::LocationOf("../../etc/x.settings"),
              fs::path("/home/ann/.cfg/drovick/x.settings"));
    unsetenv("XDG_CONFIG_HOME");
    setenv("HOME", "/home/bob", 1);
    EXPECT_EQ(DrovickSettings::LocationOf(),
              fs::path("/home/bob/.config/drovick/Drovick.settings"));
}

} // namespace
