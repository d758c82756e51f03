#include "app/files/SharedFileSystem.h"

#include "app/files/NeverSharedPaths.h"
#include "app/files/PeerPath.h"
#include "app/files/ShareTable.h"

#include <cstring>
#include <sys/stat.h>

namespace {

constexpr char kRoot[] = "/";

bool ListsRoot(const std::string& pattern) {
    return pattern == "/" || pattern == "/*" || pattern == "/*.*";
}

// A shared folder may hold a never-shared one (the home folder holds the
// configuration folders): a peer does not even learn its name.
bool NeverSharedEntry(const NeverSharedPaths& never, const std::string& resolvedFolder,
                      const DirectoryListing::Entry& entry, const std::string& path) {
    return entry.name != "." && entry.name != ".." && never.HidesEntry(resolvedFolder, path, entry);
}

// Shared folders are kept with their trailing "/"; an item names the folder
// without it.
std::string WithoutTrailingSlash(std::string folder) {
    if (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    return folder;
}

} // namespace

SharedFileSystem::SharedFileSystem(std::shared_ptr<ShareTable> table, IconIndexCache* iconCache)
    : LocalFileSystem(iconCache)
    , m_table(std::move(table)) {}

SharedFileSystem::~SharedFileSystem() = default;

bool SharedFileSystem::PeerMayRead(const std::string& path) const {
    std::string canonical;
    return PeerMayRead(path, canonical);
}

bool SharedFileSystem::PeerMayRead(const std::string& path, std::string& canonical) const {
    return m_table && CanonicalizePeerPath(*m_table, path, canonical);
}

bool SharedFileSystem::IsRootWithShares(const std::string& path) const {
    return path == kRoot && m_table && m_table->HasShareOnDrive(kRoot);
}

bool SharedFileSystem::IsDirectory() {
    return m_virtualRoot ? true : LocalFileSystem::IsDirectory();
}

// A peer reads shared folders and changes nothing.
bool SharedFileSystem::CopyFile(const std::string&, const std::string&, bool) {
    return false;
}
bool SharedFileSystem::CreateDirectory(const std::string&) {
    return false;
}
bool SharedFileSystem::RecycleFile(const char*) {
    return false;
}
bool SharedFileSystem::MoveFile(const std::string&, const std::string&) {
    return false;
}
bool SharedFileSystem::OpenFile(void*, const std::string&) {
    return false;
}

int SharedFileSystem::GetKind() {
    return kFileSystemShared;
}

bool SharedFileSystem::HasSubdirectories(const std::string& folder) {
    // The root's subfolders are the shared folders.
    if (folder == kRoot)
        return IsRootWithShares(folder);
    std::string canonical;
    return PeerMayRead(folder, canonical) && HasVisibleSubfolders(folder, canonical);
}

bool SharedFileSystem::HasVisibleSubfolders(const std::string& folder,
                                            const std::string& resolved) {
    // Only the folders the peer may see count.
    DirectoryListing listing;
    if (!listing.Start(folder + (folder.back() == '/' ? "*" : "/*")))
        return false;
    const NeverSharedPaths never;
    return listing.DropEntries([&](const DirectoryListing::Entry& entry, const std::string& path) {
        return !entry.isDirectory || entry.name == "." || entry.name == ".." ||
               NeverSharedEntry(never, resolved, entry, path);
    });
}

// Where this user's trash is says who the user is; a peer has no use for it.
std::string SharedFileSystem::GetRecycleBinPath() {
    return {};
}

std::uint32_t SharedFileSystem::GetLogicalDriveStrings(std::uint32_t length, char* buffer) {
    std::uint32_t result = LocalFileSystem::GetLogicalDriveStrings(length, buffer);
    if (result == 0 || result > length)
        return result;
    if (!m_table)
        return 0;
    std::vector<char> all(buffer, buffer + length);
    std::memset(buffer, 0, length);
    char* out = buffer;
    for (const char* root = all.data(); *root; root += std::strlen(root) + 1) {
        if (!m_table->HasShareOnDrive(root))
            continue;
        std::size_t size = std::strlen(root) + 1;
        std::memcpy(out, root, size);
        out += size;
    }
    return result;
}

int SharedFileSystem::GetDriveType(const std::string& root) {
    if (!IsRootWithShares(root) && !PeerMayRead(root))
        return kDriveNoRoot;
    return LocalFileSystem::GetDriveType(root);
}

bool SharedFileSystem::ResolveShortcut(void* ownerWindow, const std::string& shortcut,
                                       std::string& target) {
    target.clear();
    // The check resolves the link: one that leads out of the shared folders
    // is not followed for a peer.
    if (!PeerMayRead(shortcut))
        return false;
    return LocalFileSystem::ResolveShortcut(ownerWindow, shortcut, target);
}

bool SharedFileSystem::IsHidden() {
    return m_virtualRoot ? false : LocalFileSystem::IsHidden();
}

bool SharedFileSystem::GetStatus(const std::string& path, FileStatus& status) {
    if (!PeerMayRead(path)) {
        status = FileStatus{};
        return false;
    }
    return LocalFileSystem::GetStatus(path, status);
}

int SharedFileSystem::GetFileInfo(const std::string& path, ShellFileInfo& info,
                                  std::uint32_t flags) {
    if (!IsRootWithShares(path) && !PeerMayRead(path)) {
        info = ShellFileInfo{};
        return 0;
    }
    return LocalFileSystem::GetFileInfo(path, info, flags);
}

std::string SharedFileSystem::GetFilePath() {
    if (!m_virtualRoot)
        return LocalFileSystem::GetFilePath();
    if (m_virtualIndex < 0 || m_virtualIndex > static_cast<long>(m_virtualList.size()))
        return {};
    if (m_virtualIndex == 0)
        return ".";
    return WithoutTrailingSlash(m_virtualList[static_cast<std::size_t>(m_virtualIndex - 1)]);
}

bool SharedFileSystem::IsDots() {
    return m_virtualRoot ? m_virtualIndex == 0 : LocalFileSystem::IsDots();
}

bool SharedFileSystem::FindNextFile() {
    if (!m_virtualRoot)
        return LocalFileSystem::FindNextFile();
    if (m_virtualIndex <= static_cast<long>(m_virtualList.size()))
        ++m_virtualIndex;
    return m_virtualIndex < static_cast<long>(m_virtualList.size());
}

std::vector<std::string> SharedFileSystem::RootFolders() const {
    std::vector<std::string> folders;
    if (m_table)
        m_table->ListUnder(kRoot, folders);
    // A stored table is taken as it is, so one could name such a folder.
    const NeverSharedPaths never;
    std::erase_if(folders, [&](const std::string& folder) { return never.Hides(folder, {}); });
    return folders;
}

bool SharedFileSystem::StartPeerListing(const std::string& pattern, DirectoryListing& listing,
                                        PeerFolderCheck& folder) const {
    // Leave no earlier listing behind to be read through the item queries.
    listing.Close();
    folder = PeerFolderCheck();
    std::size_t slash = pattern.rfind('/');
    if (slash == std::string::npos || !m_table ||
        !folder.Open(*m_table, pattern.substr(0, slash + 1)))
        return false;
    if (!listing.Start(pattern))
        return false;
    const NeverSharedPaths never;
    return listing.DropEntries([&](const DirectoryListing::Entry& entry, const std::string& path) {
        return NeverSharedEntry(never, folder.Resolved(), entry, path);
    });
}

bool SharedFileSystem::FindFile(const std::string& pattern, std::uint32_t flags) {
    (void)flags;
    if (ListsRoot(pattern)) {
        // The root lists as "." followed by the shared folders, even when
        // there are none.
        m_virtualRoot = true;
        m_virtualIndex = -1;
        m_virtualList = RootFolders();
        m_listedFolder = PeerFolderCheck();
        return true;
    }
    m_virtualRoot = false;
    m_virtualList.clear();
    return StartPeerListing(pattern, Listing(), m_listedFolder);
}

FolderListing SharedFileSystem::ListFolder(const std::string& pattern) {
    if (ListsRoot(pattern)) {
        FolderListing root;
        root.outcome = FolderListing::Outcome::Complete;
        for (const std::string& folder : RootFolders())
            root.entries.push_back({WithoutTrailingSlash(folder), true, false});
        return root;
    }
    DirectoryListing listing;
    PeerFolderCheck folder;
    StartPeerListing(pattern, listing, folder);
    return listing.Items();
}

std::size_t SharedFileSystem::ListedCount() const {
    // The virtual root walks "." before the shared folders.
    return m_virtualRoot ? m_virtualList.size() + 1 : Listing().Count();
}

SharedFileSystem::ItemAnswers SharedFileSystem::AnswersForCurrent(std::uint32_t infoFlags) {
    ItemAnswers answers;
    const std::string path = GetFilePath();
    if (m_virtualRoot) {
        // A handful of shared folders, each checked as a path of its own.
        answers.hasSubdirectories = HasSubdirectories(path);
        answers.statusResult = GetStatus(path, answers.status);
        answers.infoResult = GetFileInfo(path, answers.info, infoFlags);
        return answers;
    }
    struct stat info {};
    bool isLink = false;
    std::string canonical;
    if (!Listing().HasCurrent() || !StatEntry(path, info, isLink) ||
        !m_listedFolder.Admits(Listing().Current().name, isLink, canonical))
        return answers;
    // What is not a folder (a file, a dangling link) holds none.
    answers.hasSubdirectories =
        Listing().Current().isDirectory && HasVisibleSubfolders(path, canonical);
    answers.statusResult = StatusOf(path, info, isLink, answers.status);
    answers.infoResult = FileInfoOf(path, info, isLink, answers.info, infoFlags);
    return answers;
}
