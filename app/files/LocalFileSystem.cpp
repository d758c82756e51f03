#include "app/files/LocalFileSystem.h"

#include "app/files/FileTypeIcon.h"
#include "app/files/IconIndexCache.h"
#include "app/files/SystemIconTable.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QProcess>
#include <QStandardPaths>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString ToQString(const std::string& path) {
    return QFile::decodeName(QByteArray::fromStdString(path));
}

std::string ToStdString(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

std::int32_t ClampTime(std::int64_t seconds) {
    if (seconds < 0)
        return 0;
    return seconds > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(seconds);
}

std::string LastComponent(const std::string& path) {
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/')
        trimmed.pop_back();
    if (trimmed == "/")
        return trimmed;
    std::size_t slash = trimmed.rfind('/');
    return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

std::string TrimSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

std::uint8_t AttributesOf(const std::string& path, const struct stat& info, bool isLink) {
    std::uint8_t attribute = 0;
    if (S_ISDIR(info.st_mode))
        attribute |= kAttributeDirectory;
    if (S_ISREG(info.st_mode) || isLink)
        attribute |= kAttributeArchive;
    std::string name = LastComponent(path);
    if (name.size() > 1 && name.front() == '.' && name != "..")
        attribute |= kAttributeHidden;
    if ((info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 || access(path.c_str(), W_OK) != 0)
        attribute |= kAttributeReadOnly;
    return attribute;
}

std::string TrashFilesFolder() {
    QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (data.isEmpty())
        return {};
    return ToStdString(data) + "/Trash/files";
}

struct IconChoice {
    std::string name;
    std::string fallback;
};

IconChoice IconFor(const std::string& path, bool isFolder, bool isRoot, bool isTrash, int kind,
                   const QMimeType& mime) {
    if (isTrash)
        return {"user-trash", "folder"};
    if (isRoot)
        return {"drive-harddisk", "folder"};
    if (isFolder)
        return kind == kIconOpen ? IconChoice{"folder-open", "folder"}
                                 : IconChoice{"folder", "folder"};
    (void)path;
    return {mime.iconName().toStdString(), mime.genericIconName().toStdString()};
}

} // namespace

bool LocalFileSystem::StatEntry(const std::string& path, struct stat& info, bool& isLink) {
    struct stat linkInfo {};
    if (path.empty() || lstat(path.c_str(), &linkInfo) != 0)
        return false;
    isLink = S_ISLNK(linkInfo.st_mode);
    if (!isLink || stat(path.c_str(), &info) != 0)
        info = linkInfo;
    return true;
}

LocalFileSystem::LocalFileSystem(IconIndexCache* iconCache)
    : m_iconCache(iconCache) {}

LocalFileSystem::~LocalFileSystem() = default;

bool LocalFileSystem::IsDirectory() {
    return m_listing.HasCurrent() && m_listing.Current().isDirectory;
}

bool LocalFileSystem::CopyFile(const std::string& source, const std::string& destination,
                               bool failIfExists) {
    std::error_code error;
    if (std::filesystem::is_directory(source, error))
        return false;
    auto options = failIfExists ? std::filesystem::copy_options::none
                                : std::filesystem::copy_options::overwrite_existing;
    return std::filesystem::copy_file(source, destination, options, error) && !error;
}

bool LocalFileSystem::CreateDirectory(const std::string& path) {
    return !path.empty() && mkdir(path.c_str(), 0777) == 0;
}

bool LocalFileSystem::RecycleFile(const char* path) {
    if (!path || !*path)
        return false;
    struct stat info {};
    if (lstat(path, &info) != 0)
        return false;
    // The trash lives in the per-user data folder, which a fresh account may
    // not have yet; without it the file could not be moved there.
    QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (!data.isEmpty())
        QDir().mkpath(data);
    return QFile::moveToTrash(ToQString(path));
}

bool LocalFileSystem::GetProperties(std::vector<std::string>& properties) {
    properties.clear();
    properties.push_back(GetMachineName());
    properties.push_back("Unimplemented");
    properties.push_back("Unimplemented");
    return true;
}

int LocalFileSystem::GetKind() {
    return kFileSystemLocal;
}

bool LocalFileSystem::HasSubdirectories(const std::string& folder) {
    std::string pattern;
    if (folder == "/" || (!folder.empty() && folder.back() == '/'))
        pattern = folder + "*.*";
    else
        pattern = folder + "/*.*";
    // A private listing, so the object's own enumeration is left where it is.
    DirectoryListing listing;
    if (!listing.Start(pattern))
        return false;
    bool more = true;
    while (more) {
        more = listing.Next();
        const auto& entry = listing.Current();
        if (entry.isDirectory && entry.name != "." && entry.name != "..")
            return true;
    }
    return false;
}

std::string LocalFileSystem::GetMachineName() {
    // The first name the system gives is kept for the life of the process.
    static std::mutex mutex;
    static std::string name;
    std::lock_guard lock(mutex);
    if (name.empty()) {
        char buffer[HOST_NAME_MAX + 1] = {};
        if (gethostname(buffer, sizeof buffer - 1) == 0)
            name = buffer;
    }
    return name;
}

std::string LocalFileSystem::GetRecycleBinPath() {
    return TrashFilesFolder();
}

std::uint32_t LocalFileSystem::GetLogicalDriveStrings(std::uint32_t length, char* buffer) {
    // One root: "/", its NUL, and the NUL that ends the list.
    static const char kRoots[] = {'/', '\0', '\0'};
    if (!buffer || length < sizeof kRoots)
        return sizeof kRoots;
    std::memcpy(buffer, kRoots, sizeof kRoots);
    return sizeof kRoots - 1;
}

int LocalFileSystem::GetDriveType(const std::string& root) {
    return DriveTypeOfPath(root);
}

bool LocalFileSystem::ResolveShortcut(void* ownerWindow, const std::string& shortcut,
                                      std::string& target) {
    (void)ownerWindow;
    target.clear();
    struct stat info {};
    // Not a link (or not there): nothing to resolve, which is not a failure.
    if (lstat(shortcut.c_str(), &info) != 0 || !S_ISLNK(info.st_mode))
        return true;
    char buffer[PATH_MAX];
    ssize_t length = readlink(shortcut.c_str(), buffer, sizeof buffer - 1);
    if (length < 0)
        return true;
    std::string linked(buffer, static_cast<std::size_t>(length));
    if (linked.empty())
        return true;
    if (linked.front() != '/') {
        std::size_t slash = shortcut.rfind('/');
        std::string folder =
            slash == std::string::npos ? std::string(".") : shortcut.substr(0, slash);
        linked = folder + "/" + linked;
    }
    std::string cleaned = ToStdString(QDir::cleanPath(ToQString(linked)));
    // The target has to fit the caller's 260-character buffer.
    if (cleaned.size() > kMaxPathText)
        return false;
    target = cleaned;
    return true;
}

bool LocalFileSystem::CreateShortcut(const std::string& target, const std::string& shortcut,
                                     const std::string& description) {
    // A symbolic link has no room for a description; callers only read the
    // target back. The result stays TRUE as callers expect of this operation.
    (void)description;
    if (!target.empty() && !shortcut.empty())
        (void)symlink(target.c_str(), shortcut.c_str());
    return true;
}

bool LocalFileSystem::MoveFile(const std::string& source, const std::string& destination) {
    if (source.empty() || destination.empty())
        return false;
    // A move never replaces an existing file.
    if (renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, destination.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno == EINVAL || errno == ENOSYS) {
        struct stat existing {};
        if (lstat(destination.c_str(), &existing) == 0)
            return false;
        return rename(source.c_str(), destination.c_str()) == 0;
    }
    if (errno != EXDEV)
        return false;
    // Across file systems a file is copied and the original removed; a folder
    // cannot move that way.
    struct stat info {};
    if (lstat(source.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    if (!CopyFile(source, destination, true))
        return false;
    if (unlink(source.c_str()) != 0) {
        unlink(destination.c_str());
        return false;
    }
    return true;
}

bool LocalFileSystem::IsHidden() {
    return m_listing.HasCurrent() && m_listing.Current().isHidden;
}

bool LocalFileSystem::GetStatus(const std::string& path, FileStatus& status) {
    status = FileStatus{};
    struct stat info {};
    bool isLink = false;
    return StatEntry(path, info, isLink) && StatusOf(path, info, isLink, status);
}

bool LocalFileSystem::StatusOf(const std::string& path, const struct stat& info, bool isLink,
                               FileStatus& status) {
    status = FileStatus{};
    std::int64_t created = info.st_ctim.tv_sec;
    struct statx extended {};
    if (statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME, &extended) == 0 &&
        (extended.stx_mask & STATX_BTIME))
        created = extended.stx_btime.tv_sec;
    status.creationTime = ClampTime(created);
    status.modificationTime = ClampTime(info.st_mtim.tv_sec);
    status.accessTime = ClampTime(info.st_atim.tv_sec);
    status.size = static_cast<std::int32_t>(static_cast<std::uint32_t>(info.st_size));
    status.attribute = AttributesOf(path, info, isLink);
    if (path.front() == '/') {
        status.fullPath = path;
    } else {
        char cwd[PATH_MAX];
        status.fullPath = getcwd(cwd, sizeof cwd) ? std::string(cwd) + "/" + path : path;
    }
    return true;
}

int LocalFileSystem::GetFileInfo(const std::string& path, ShellFileInfo& info,
                                 std::uint32_t flags) {
    info = ShellFileInfo{};
    struct stat entry {};
    bool isLink = false;
    return StatEntry(path, entry, isLink) ? FileInfoOf(path, entry, isLink, info, flags) : 0;
}

int LocalFileSystem::FileInfoOf(const std::string& path, const struct stat& entry, bool isLink,
                                ShellFileInfo& info, std::uint32_t flags) {
    info = ShellFileInfo{};
    const bool isFolder = S_ISDIR(entry.st_mode);
    const bool isTrash = isFolder && TrimSlash(path) == TrashFilesFolder();
    const bool isRoot = TrimSlash(path) == "/";
    if (isFolder)
        info.attributes |= kItemFolder;
    if (isLink)
        info.attributes |= kItemLink;
    info.displayName = LastComponent(path);

    const bool wantsIcon = (flags & (kInfoIcon | kInfoSystemIconIndex)) != 0;
    if ((flags & kInfoTypeName) || wantsIcon) {
        // By name only, as file types always were: sniffing the contents of
        // every file of a listing (three requests per entry from a peer)
        // would read the whole folder. The name alone is what the database
        // matches; handing it the whole path only costs decoding.
        QMimeDatabase mimes;
        QMimeType mime = isFolder ? mimes.mimeTypeForName(QStringLiteral("inode/directory"))
                                  : mimes.mimeTypeForFile(ToQString(info.displayName),
                                                          QMimeDatabase::MatchExtension);
        if (flags & kInfoTypeName)
            info.typeName = isTrash ? std::string("Recycle Bin") : FileTypeName(mime);
        if (wantsIcon) {
            IconChoice icon =
                IconFor(path, isFolder, isRoot, isTrash, IconKindOfFlags(flags), mime);
            info.iconIndex = SystemIconTable::IndexOf(icon.name, icon.fallback);
        }
    }
    // Folders are never cached by extension: "photos.old" says nothing about
    // files ending in ".old". The folder bit found above is what IsFolder
    // would ask for again.
    if (m_iconCache && (flags & kInfoIcon) && !isFolder)
        m_iconCache->Store(path, info.iconIndex, IconKindOfFlags(flags));
    return 1;
}

std::string LocalFileSystem::GetFilePath() {
    return m_listing.CurrentPath();
}

bool LocalFileSystem::IsDots() {
    if (!m_listing.HasCurrent())
        return false;
    const std::string& name = m_listing.Current().name;
    return name == "." || name == "..";
}

bool LocalFileSystem::FindNextFile() {
    return m_listing.Next();
}

bool LocalFileSystem::FindFile(const std::string& pattern, std::uint32_t flags) {
    (void)flags;
    return m_listing.Start(pattern);
}

FolderListing LocalFileSystem::ListFolder(const std::string& pattern) {
    // A listing of its own: the object's walk is not touched.
    DirectoryListing listing;
    listing.Start(pattern);
    return listing.Items();
}

bool LocalFileSystem::OpenFile(void* ownerWindow, const std::string& path) {
    (void)ownerWindow;
    struct stat info {};
    if (path.empty() || lstat(path.c_str(), &info) != 0)
        return false;
    // Below the user interface the desktop's opener does what the shell verb
    // "open" did.
    return QProcess::startDetached(QStringLiteral("xdg-open"), {ToQString(path)});
}
