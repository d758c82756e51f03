#pragma once

#include "app/files/WorkerOptions.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

class IconIndexCache;
class ShareTable;

// A window rectangle in the MDI client area's coordinates.
struct SettingsRect {
    std::int32_t left = 0;
    std::int32_t top = 0;
    std::int32_t right = 0;
    std::int32_t bottom = 0;
    bool operator==(const SettingsRect&) const = default;
};

// Every option and window placement of Drovick, with the application's share
// table and icon cache, stored in one binary file, "Drovick.settings":
//
//   the 1196-byte fixed block, length A and the share block, length B and the
//   icon block, then 13 tail words; all little-endian, A + B + 1256 bytes.
//
// The windows read and write the fields directly on the user-interface thread;
// it is loaded before any server starts and saved after the windows closed.
// Other threads never read the fields: they read Options(), which the
// user-interface thread refreshes with PublishOptions after an edit.
class DrovickSettings {
public:
    DrovickSettings();
    ~DrovickSettings();
    DrovickSettings(const DrovickSettings&) = delete;
    DrovickSettings& operator=(const DrovickSettings&) = delete;

    // Fixed block, in file order.
    std::int32_t targetChoice = 0;  // "Choose target computer": 0 mine, 1 remote
    std::string remoteComputer;     // at most 509 bytes
    std::int32_t searchBasedOn = 0; // 0 file name, 1 song title, 2 song author
    std::string lastSearchText;     // at most 249 bytes
    std::string downloadDirectory;  // at most 299 bytes
    SettingsRect sharedListRect;
    SettingsRect friendsListRect;
    SettingsRect transferAgentRect;
    std::int32_t sharedListOpen = 1;
    std::int32_t friendsListOpen = 1;
    std::int32_t transferAgentOpen = 1;
    std::array<std::int32_t, 3> transferColumnWidths{200, 100, 100};
    // "File title", "File name", "Host", "Location", "Host IP address".
    std::array<std::int32_t, 5> searchColumnWidths{100, 100, 100, 100, 100};
    std::int32_t treePaneWidth = 220;
    std::int32_t toolbarVisible = 1;
    std::int32_t statusBarVisible = 1;
    std::int32_t infoBarVisible = 1;
    std::int32_t fileListSortKey = 0;  // 0 name, 1 type, 2 size, 3 date
    std::int32_t fileListViewMode = 0; // 0 large icons, 1 small, 2 list, 3 details
    std::int32_t showMainWindowOnStart = 0;

    // Tail words, in file order.
    SettingsRect messengerRect;
    std::int32_t messengerOpen = 1;
    SettingsRect monitorRect;
    std::int32_t monitorOpen = 0;
    std::int32_t popUpOnReceipt = 1;
    std::uint32_t messageTextColour = WorkerOptions::kDefaultTextColour;
    std::uint32_t messageBubbleColour = WorkerOptions::kDefaultBubbleColour;

    // Hands the option fields above to the worker threads as one value. The
    // user-interface thread calls it after it edited them (Preferences' OK);
    // loading calls it too. Until then workers see the options as they were.
    void PublishOptions();
    // A copy of what was published last; any thread.
    WorkerOptions Options() const;

    // Shared with the servers that serve it; it outlives the settings while
    // one of them still runs.
    const std::shared_ptr<ShareTable>& GetShareTable() const { return m_shareTable; }
    IconIndexCache& GetIconCache() const { return *m_iconCache; }

    // Reads the file. False when it is missing, short or damaged; fields read
    // before the damaged part keep what was read, the rest their values.
    bool LoadSettings(const std::filesystem::path& file);
    // Writes a temporary file beside the old one, flushes it and renames it
    // over, so a crash or a full disk never leaves a damaged or empty file.
    bool SaveSettings(const std::filesystem::path& file) const;

    bool LoadFromBytes(std::span<const std::uint8_t> bytes);
    std::vector<std::uint8_t> SaveToBytes() const;

    // $XDG_CONFIG_HOME/drovick/<name> (else ~/.config/drovick/<name>); a name
    // with a "/" keeps only the text after its last "/".
    static std::filesystem::path LocationOf(const std::string& fileName = kFileName);

    static constexpr const char* kFileName = "Drovick.settings";
    static constexpr std::size_t kFixedBlockSize = 1196;
    static constexpr std::size_t kTailSize = 13 * 4;
    // A file is at least the fixed block and the share block's length word.
    static constexpr std::size_t kMinimumSize = kFixedBlockSize + 4;

private:
    void EncodeFixedBlock(std::span<std::uint8_t, kFixedBlockSize> block) const;
    void DecodeFixedBlock(std::span<const std::uint8_t, kFixedBlockSize> block);
    void EncodeTail(std::span<std::uint8_t, kTailSize> tail) const;
    void DecodeTail(std::span<const std::uint8_t, kTailSize> tail);

    std::shared_ptr<ShareTable> m_shareTable;
    IconIndexCache* m_iconCache;
    PublishedWorkerOptions m_publishedOptions;
};
