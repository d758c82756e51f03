#include "app/files/DrovickSettings.h"

#include "app/files/IconIndexCache.h"
#include "app/files/LocalFileSystem.h"
#include "app/files/ShareTable.h"
#include "platform/AtomicFile.h"
#include "platform/ByteOrder.h"
#include "platform/Environment.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Fixed block offsets.
constexpr std::size_t kTargetChoice = 0;
constexpr std::size_t kRemoteComputer = 4;
constexpr std::size_t kRemoteComputerWidth = 510;
constexpr std::size_t kSearchBasedOn = 516;
constexpr std::size_t kLastSearchText = 520;
constexpr std::size_t kLastSearchTextWidth = 250;
constexpr std::size_t kDownloadDirectory = 776;
constexpr std::size_t kDownloadDirectoryWidth = 300;
constexpr std::size_t kSharedListRect = 1076;
constexpr std::size_t kFriendsListRect = 1092;
constexpr std::size_t kTransferAgentRect = 1108;
constexpr std::size_t kSharedListOpen = 1124;
constexpr std::size_t kFriendsListOpen = 1128;
constexpr std::size_t kTransferAgentOpen = 1132;
constexpr std::size_t kTransferColumns = 1136;
constexpr std::size_t kSearchColumns = 1148;
constexpr std::size_t kTreePaneWidth = 1168;
constexpr std::size_t kToolbarVisible = 1172;
constexpr std::size_t kStatusBarVisible = 1176;
constexpr std::size_t kInfoBarVisible = 1180;
constexpr std::size_t kSortKey = 1184;
constexpr std::size_t kViewMode = 1188;
constexpr std::size_t kShowMainWindow = 1192;
static_assert(kShowMainWindow + 4 == DrovickSettings::kFixedBlockSize);
static_assert(kRemoteComputer + kRemoteComputerWidth == 514);
static_assert(kLastSearchText + kLastSearchTextWidth == 770);
static_assert(kDownloadDirectory + kDownloadDirectoryWidth == kSharedListRect);

// A settings file of more than this is not ours.
constexpr std::size_t kMaxFileSize = 64 * 1024 * 1024;

void StoreRect(std::uint8_t* p, const SettingsRect& rect) {
    platform::StoreLE32s(p, rect.left);
    platform::StoreLE32s(p + 4, rect.top);
    platform::StoreLE32s(p + 8, rect.right);
    platform::StoreLE32s(p + 12, rect.bottom);
}

SettingsRect LoadRect(const std::uint8_t* p) {
    return {platform::LoadLE32s(p), platform::LoadLE32s(p + 4), platform::LoadLE32s(p + 8),
            platform::LoadLE32s(p + 12)};
}

std::string DefaultDownloadDirectory() {
    // The home folder stands where the first fixed disk's root stood: the root
    // of this system is not the user's to write in.
    std::string folder = platform::HomeFolder().string();
    if (folder.empty())
        return "/";
    if (folder.back() != '/')
        folder += '/';
    return folder.size() < kDownloadDirectoryWidth ? folder : "/";
}

} // namespace

DrovickSettings::DrovickSettings()
    : downloadDirectory(DefaultDownloadDirectory())
    , m_shareTable(std::make_shared<ShareTable>())
    , m_iconCache(new IconIndexCache) {
    LocalFileSystem local(m_iconCache);
    m_iconCache->FillDefaults(local);
    PublishOptions();
}

DrovickSettings::~DrovickSettings() {
    delete m_iconCache;
}

void DrovickSettings::PublishOptions() {
    WorkerOptions options;
    options.popUpOnReceipt = popUpOnReceipt != 0;
    options.messageTextColour = messageTextColour;
    options.messageBubbleColour = messageBubbleColour;
    options.downloadDirectory = downloadDirectory;
    m_publishedOptions.Publish(std::move(options));
}

WorkerOptions DrovickSettings::Options() const {
    return m_publishedOptions.Copy();
}

void DrovickSettings::EncodeFixedBlock(std::span<std::uint8_t, kFixedBlockSize> block) const {
    std::uint8_t* p = block.data();
    std::memset(p, 0, block.size());
    platform::StoreLE32s(p + kTargetChoice, targetChoice);
    platform::WriteFixedText(p + kRemoteComputer, kRemoteComputerWidth, remoteComputer);
    platform::StoreLE32s(p + kSearchBasedOn, searchBasedOn);
    platform::WriteFixedText(p + kLastSearchText, kLastSearchTextWidth, lastSearchText);
    platform::WriteFixedText(p + kDownloadDirectory, kDownloadDirectoryWidth, downloadDirectory);
    StoreRect(p + kSharedListRect, sharedListRect);
    StoreRect(p + kFriendsListRect, friendsListRect);
    StoreRect(p + kTransferAgentRect, transferAgentRect);
    platform::StoreLE32s(p + kSharedListOpen, sharedListOpen);
    platform::StoreLE32s(p + kFriendsListOpen, friendsListOpen);
    platform::StoreLE32s(p + kTransferAgentOpen, transferAgentOpen);
    for (std::size_t i = 0; i < transferColumnWidths.size(); ++i)
        platform::StoreLE32s(p + kTransferColumns + 4 * i, transferColumnWidths[i]);
    for (std::size_t i = 0; i < searchColumnWidths.size(); ++i)
        platform::StoreLE32s(p + kSearchColumns + 4 * i, searchColumnWidths[i]);
    platform::StoreLE32s(p + kTreePaneWidth, treePaneWidth);
    platform::StoreLE32s(p + kToolbarVisible, toolbarVisible);
    platform::StoreLE32s(p + kStatusBarVisible, statusBarVisible);
    platform::StoreLE32s(p + kInfoBarVisible, infoBarVisible);
    platform::StoreLE32s(p + kSortKey, fileListSortKey);
    platform::StoreLE32s(p + kViewMode, fileListViewMode);
    platform::StoreLE32s(p + kShowMainWindow, showMainWindowOnStart);
}

void DrovickSettings::DecodeFixedBlock(std::span<const std::uint8_t, kFixedBlockSize> block) {
    const std::uint8_t* p = block.data();
    targetChoice = platform::LoadLE32s(p + kTargetChoice);
    // Text fields are cut at their last byte even when the file left them
    // unterminated.
    remoteComputer = platform::ReadFixedText(p + kRemoteComputer, kRemoteComputerWidth - 1);
    searchBasedOn = platform::LoadLE32s(p + kSearchBasedOn);
    lastSearchText = platform::ReadFixedText(p + kLastSearchText, kLastSearchTextWidth - 1);
    downloadDirectory =
        platform::ReadFixedText(p + kDownloadDirectory, kDownloadDirectoryWidth - 1);
    sharedListRect = LoadRect(p + kSharedListRect);
    friendsListRect = LoadRect(p + kFriendsListRect);
    transferAgentRect = LoadRect(p + kTransferAgentRect);
    sharedListOpen = platform::LoadLE32s(p + kSharedListOpen);
    friendsListOpen = platform::LoadLE32s(p + kFriendsListOpen);
    transferAgentOpen = platform::LoadLE32s(p + kTransferAgentOpen);
    for (std::size_t i = 0; i < transferColumnWidths.size(); ++i)
        transferColumnWidths[i] = platform::LoadLE32s(p + kTransferColumns + 4 * i);
    for (std::size_t i = 0; i < searchColumnWidths.size(); ++i)
        searchColumnWidths[i] = platform::LoadLE32s(p + kSearchColumns + 4 * i);
    treePaneWidth = platform::LoadLE32s(p + kTreePaneWidth);
    toolbarVisible = platform::LoadLE32s(p + kToolbarVisible);
    statusBarVisible = platform::LoadLE32s(p + kStatusBarVisible);
    infoBarVisible = platform::LoadLE32s(p + kInfoBarVisible);
    fileListSortKey = platform::LoadLE32s(p + kSortKey);
    fileListViewMode = platform::LoadLE32s(p + kViewMode);
    showMainWindowOnStart = platform::LoadLE32s(p + kShowMainWindow);
    PublishOptions();
}

void DrovickSettings::EncodeTail(std::span<std::uint8_t, kTailSize> tail) const {
    std::uint8_t* p = tail.data();
    StoreRect(p, messengerRect);
    platform::StoreLE32s(p + 16, messengerOpen);
    StoreRect(p + 20, monitorRect);
    platform::StoreLE32s(p + 36, monitorOpen);
    platform::StoreLE32s(p + 40, popUpOnReceipt);
    platform::StoreLE32(p + 44, messageTextColour);
    platform::StoreLE32(p + 48, messageBubbleColour);
}

void DrovickSettings::DecodeTail(std::span<const std::uint8_t, kTailSize> tail) {
    const std::uint8_t* p = tail.data();
    messengerRect = LoadRect(p);
    messengerOpen = platform::LoadLE32s(p + 16);
    monitorRect = LoadRect(p + 20);
    monitorOpen = platform::LoadLE32s(p + 36);
    popUpOnReceipt = platform::LoadLE32s(p + 40);
    messageTextColour = platform::LoadLE32(p + 44);
    messageBubbleColour = platform::LoadLE32(p + 48);
    PublishOptions();
}

std::vector<std::uint8_t> DrovickSettings::SaveToBytes() const {
    std::vector<std::uint8_t> shares = m_shareTable->Serialize();
    std::vector<std::uint8_t> icons = m_iconCache->Serialize();
    std::vector<std::uint8_t> bytes(kFixedBlockSize + 4 + shares.size() + 4 + icons.size() +
                                    kTailSize);
    std::uint8_t* p = bytes.data();
    EncodeFixedBlock(std::span<std::uint8_t, kFixedBlockSize>(p, kFixedBlockSize));
    p += kFixedBlockSize;
    platform::StoreLE32(p, static_cast<std::uint32_t>(shares.size()));
    std::memcpy(p + 4, shares.data(), shares.size());
    p += 4 + shares.size();
    platform::StoreLE32(p, static_cast<std::uint32_t>(icons.size()));
    std::memcpy(p + 4, icons.data(), icons.size());
    p += 4 + icons.size();
    EncodeTail(std::span<std::uint8_t, kTailSize>(p, kTailSize));
    return bytes;
}

bool DrovickSettings::LoadFromBytes(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kMinimumSize)
        return false;
    DecodeFixedBlock(bytes.first<kFixedBlockSize>());
    std::size_t offset = kFixedBlockSize;

    const std::uint32_t shareLength = platform::LoadLE32(bytes.data() + offset);
    offset += 4;
    if (shareLength > bytes.size() - offset)
        return false;
    if (m_shareTable->Deserialize(bytes.data() + offset, shareLength) < 0)
        return false;
    offset += shareLength;

    if (bytes.size() - offset < 4)
        return false;
    const std::uint32_t iconLength = platform::LoadLE32(bytes.data() + offset);
    offset += 4;
    if (iconLength > bytes.size() - offset)
        return false;
    if (m_iconCache->Deserialize(bytes.data() + offset, iconLength) < 0)
        return false;
    offset += iconLength;

    // Files written before the tail words existed end here and keep the
    // tail's defaults; a cut-off tail is damage.
    const std::size_t rest = bytes.size() - offset;
    if (rest == 0)
        return true;
    if (rest < kTailSize)
        return false;
    DecodeTail(bytes.subspan(offset).first<kTailSize>());
    return true;
}

bool DrovickSettings::LoadSettings(const std::filesystem::path& file) {
    int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    std::vector<std::uint8_t> bytes;
    std::uint8_t step[1024];
    bool ok = true;
    for (;;) {
        ssize_t got = read(fd, step, sizeof step);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            ok = false;
            break;
        }
        if (got == 0)
            break;
        if (bytes.size() + static_cast<std::size_t>(got) > kMaxFileSize) {
            ok = false;
            break;
        }
        bytes.insert(bytes.end(), step, step + got);
    }
    close(fd);
    return ok && LoadFromBytes(bytes);
}

bool DrovickSettings::SaveSettings(const std::filesystem::path& file) const {
    const std::vector<std::uint8_t> bytes = SaveToBytes();
    std::filesystem::path folder = file.parent_path();
    std::error_code error;
    if (!folder.empty())
        std::filesystem::create_directories(folder, error);
    return platform::ReplaceFileAtomically(file, file.string() + ".XXXXXX", bytes);
}

std::filesystem::path DrovickSettings::LocationOf(const std::string& fileName) {
    std::string name = fileName;
    // Only a bare name inside our folder: nothing before the last "/" counts,
    // so no name can climb out of it.
    std::size_t slash = name.rfind('/');
    if (slash != std::string::npos)
        name = name.substr(slash + 1);
    std::filesystem::path config = platform::ConfigHome();
    if (config.empty())
        config = "/tmp";
    return config / "drovick" / name;
}
