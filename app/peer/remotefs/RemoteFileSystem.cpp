#include "app/peer/remotefs/RemoteFileSystem.h"

#include "app/files/IconIndexCache.h"
#include "app/peer/remotefs/NFSListingCheck.h"

#include <cstring>
#include <utility>

RemoteFileSystem::RemoteFileSystem(const std::string& host, LogEvent* log,
                                   IconIndexCache* iconCache, int port, Limits limits)
    : m_icons(iconCache)
    , m_client(host, port, log, limits) {
    m_client.Acquire();
}

RemoteFileSystem::~RemoteFileSystem() {
    m_client.Release();
}

// The walk over the last listing: no network.

bool RemoteFileSystem::IsDirectory() {
    return m_cache.CurrentIsDirectory();
}

bool RemoteFileSystem::IsHidden() {
    return m_cache.CurrentIsHidden();
}

bool RemoteFileSystem::IsDots() {
    return m_cache.CurrentIsDots();
}

std::string RemoteFileSystem::GetFilePath() {
    return m_cache.CurrentPath();
}

bool RemoteFileSystem::FindNextFile() {
    return m_cache.Next();
}

bool RemoteFileSystem::FindFile(const std::string& pattern, std::uint32_t flags) {
    (void)flags;
    // A failed refresh keeps the previous listing; the answer is still the
    // server's for the new pattern.
    auto reply = m_client.Listing(pattern);
    if (reply.outcome == FolderListing::Outcome::Complete)
        m_cache.Replace(std::move(reply.entries));
    const auto found = m_client.IntRequest(kNfsFindFile, {pattern});
    return found && *found != 0;
}

FolderListing RemoteFileSystem::ListFolder(const std::string& pattern) {
    auto reply = m_client.Listing(pattern);
    FolderListing listing;
    listing.outcome = reply.outcome;
    if (reply.outcome != FolderListing::Outcome::Complete)
        return listing;
    // A readable folder listed with "*" holds at least its own "." item; an
    // empty answer is how the server refuses (or a narrower pattern matched
    // nothing, which reads the same).
    if (reply.entries.empty()) {
        listing.outcome = FolderListing::Outcome::NotReadable;
        return listing;
    }
    listing.entries.reserve(reply.entries.size());
    for (const NFSListingEntry& entry : reply.entries)
        if (!IsListedDots(entry))
            listing.entries.push_back({entry.path, entry.isDirectory != 0, entry.isHidden != 0});
    // The items' questions that follow are answered from the listing.
    m_cache.Remember(std::move(reply.entries));
    return listing;
}

// Nothing on a friend's computer is changed from here.

bool RemoteFileSystem::CopyFile(const std::string& source, const std::string& destination,
                                bool failIfExists) {
    (void)source;
    (void)destination;
    (void)failIfExists;
    return false;
}

bool RemoteFileSystem::CreateDirectory(const std::string& path) {
    (void)path;
    return false;
}

bool RemoteFileSystem::RecycleFile(const char* path) {
    (void)path;
    return false;
}

bool RemoteFileSystem::CreateShortcut(const std::string& target, const std::string& shortcut,
                                      const std::string& description) {
    (void)target;
    (void)shortcut;
    (void)description;
    return false;
}

int RemoteFileSystem::GetKind() {
    return kFileSystemRemote;
}

std::string RemoteFileSystem::GetMachineName() {
    return kMachineName;
}

// One request each.

bool RemoteFileSystem::GetProperties(std::vector<std::string>& properties) {
    NFSMachineDescription description;
    std::int32_t result = 0;
    if (!m_client.Properties(description, result) || result == 0)
        return false;
    properties.assign(description.strings.begin(), description.strings.end());
    return true;
}

std::string RemoteFileSystem::GetRecycleBinPath() {
    return m_client.TextRequest(kNfsGetRecycleBinPath).value_or(std::string());
}

std::uint32_t RemoteFileSystem::GetLogicalDriveStrings(std::uint32_t length, char* buffer) {
    m_client.Log("Executing GetLogicalDriveStrings.");
    const auto drives = m_client.DriveList();
    if (!drives)
        return 0;
    // The list runs up to its empty string; the last two bytes are zero, so
    // the walk ends inside the block.
    std::size_t end = 0;
    while ((*drives)[end] != 0)
        end += std::strlen(reinterpret_cast<const char*>(drives->data() + end)) + 1;
    // A caller's buffer is never written past the length it gave.
    if (buffer == nullptr || length < end + 1)
        return static_cast<std::uint32_t>(end + 1);
    std::memcpy(buffer, drives->data(), end + 1);
    return static_cast<std::uint32_t>(end);
}

int RemoteFileSystem::GetDriveType(const std::string& root) {
    return m_client.IntRequest(kNfsGetDriveType, {root}).value_or(0);
}

bool RemoteFileSystem::ResolveShortcut(void* ownerWindow, const std::string& shortcut,
                                       std::string& target) {
    (void)ownerWindow;
    target.clear();
    auto resolved = m_client.TextRequest(kNfsResolveShortcut, shortcut);
    if (!resolved)
        return false;
    target = std::move(*resolved);
    return true;
}

bool RemoteFileSystem::MoveFile(const std::string& source, const std::string& destination) {
    const auto moved = m_client.IntRequest(kNfsMoveFile, {source, destination});
    return moved && *moved != 0;
}

bool RemoteFileSystem::OpenFile(void* ownerWindow, const std::string& path) {
    (void)ownerWindow;
    const auto opened = m_client.IntRequest(kNfsOpenFile, {path});
    // Only the low byte of the answer counts.
    return opened && (*opened & 0xFF) != 0;
}

// Answered from the listing when the path is in it.

bool RemoteFileSystem::HasSubdirectories(const std::string& folder) {
    bool has = false;
    if (m_cache.FindHasSubdirectories(folder, has))
        return has;
    // Only a hint for drawing an expand button: a folder we know nothing about
    // may well hold subfolders, and listing it will tell. Asking this
    // computer's disks about a friend's path would answer about the wrong disk.
    return true;
}

bool RemoteFileSystem::GetStatus(const std::string& path, FileStatus& status) {
    std::int32_t result = 0;
    if (m_cache.FindStatus(path, status, result))
        return result != 0;
    if (!m_client.Status(path, status, result)) {
        status = FileStatus{};
        return false;
    }
    return result != 0;
}

int RemoteFileSystem::GetFileInfo(const std::string& path, ShellFileInfo& info,
                                  std::uint32_t flags) {
    const std::string normalised = RemoteFileSystemCache::NormalisePath(path);
    std::int32_t result = 0;
    if (m_cache.FindInfo(normalised, flags, info, result)) {
        AdjustIcon(normalised, info, flags);
        return result;
    }
    // The display and type names come with every answer, so a later question
    // about either is answered by the memo.
    const std::uint32_t extended = flags | kInfoDisplayName | kInfoTypeName;
    {
        std::lock_guard lock(m_memoMutex);
        if (m_memo.valid && m_memo.path == normalised && (extended & ~m_memo.flags) == 0) {
            info = m_memo.info;
            return m_memo.result;
        }
    }
    ShellFileInfo answer;
    if (!m_client.FileInfo(normalised, extended, answer, result))
        return 0;
    AdjustIcon(normalised, answer, flags);
    info = answer;
    std::lock_guard lock(m_memoMutex);
    m_memo.valid = true;
    m_memo.path = normalised;
    m_memo.flags = extended;
    m_memo.info = std::move(answer);
    m_memo.result = result;
    return result;
}

void RemoteFileSystem::AdjustIcon(const std::string& path, ShellFileInfo& info,
                                  std::uint32_t flags) {
    // A handle from another machine means nothing here.
    info.iconHandle = 0;
    if (!(flags & kInfoIcon))
        return;
    if (m_icons == nullptr) {
        info.iconIndex = 0;
        return;
    }
    const int kind = IconKindOfFlags(flags);
    // IsFolder asks through GetFileInfo without the icon flag, so this does
    // not come back here; the memo lock is not held meanwhile.
    if (IsFolder(path)) {
        const bool root = path == "/";
        info.iconIndex = m_icons->GetDefault(
            root ? IconIndexCache::kRowDrive : IconIndexCache::kRowFolder, kind);
    } else {
        info.iconIndex = m_icons->Lookup(path, kind);
    }
}
