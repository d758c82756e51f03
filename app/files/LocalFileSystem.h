#pragma once

#include "app/files/DirectoryListing.h"
#include "app/files/FileSystem.h"

class IconIndexCache;
struct stat;

// The disks of this computer: one root "/", symbolic links as shortcuts, the
// freedesktop trash as the recycle bin, MIME types as type names. Feeds the
// icon cache (when given one) with the icon of every file it is asked about.
class LocalFileSystem : public FileSystem {
public:
    explicit LocalFileSystem(IconIndexCache* iconCache = nullptr);
    ~LocalFileSystem() override;

    bool IsDirectory() override;
    bool CopyFile(const std::string& source, const std::string& destination,
                  bool failIfExists) override;
    bool CreateDirectory(const std::string& path) override;
    bool RecycleFile(const char* path) override;
    bool GetProperties(std::vector<std::string>& properties) override;
    int GetKind() override;
    bool HasSubdirectories(const std::string& folder) override;
    std::string GetMachineName() override;
    std::string GetRecycleBinPath() override;
    std::uint32_t GetLogicalDriveStrings(std::uint32_t length, char* buffer) override;
    int GetDriveType(const std::string& root) override;
    bool ResolveShortcut(void* ownerWindow, const std::string& shortcut,
                         std::string& target) override;
    bool CreateShortcut(const std::string& target, const std::string& shortcut,
                        const std::string& description) override;
    bool MoveFile(const std::string& source, const std::string& destination) override;
    bool IsHidden() override;
    bool GetStatus(const std::string& path, FileStatus& status) override;
    int GetFileInfo(const std::string& path, ShellFileInfo& info, std::uint32_t flags) override;
    std::string GetFilePath() override;
    bool IsDots() override;
    bool FindNextFile() override;
    bool FindFile(const std::string& pattern, std::uint32_t flags) override;
    bool OpenFile(void* ownerWindow, const std::string& path) override;
    FolderListing ListFolder(const std::string& pattern) override;

protected:
    DirectoryListing& Listing() { return m_listing; }
    const DirectoryListing& Listing() const { return m_listing; }

    // The lstat of a path and, for a symbolic link, the stat of what it leads
    // to (a linked folder is browsed like a folder); a dangling link stands
    // for itself. False when the path is not there.
    static bool StatEntry(const std::string& path, struct stat& info, bool& isLink);
    // GetStatus and GetFileInfo on what StatEntry found, so that a listing
    // asking both takes each item's stat once.
    static bool StatusOf(const std::string& path, const struct stat& info, bool isLink,
                         FileStatus& status);
    int FileInfoOf(const std::string& path, const struct stat& entry, bool isLink,
                   ShellFileInfo& info, std::uint32_t flags);

private:
    IconIndexCache* m_iconCache;
    DirectoryListing m_listing;
};

// The drive type of the mount that holds the path, from /proc/self/mounts.
int DriveTypeOfPath(const std::string& path, const std::string& mountsFile = "/proc/self/mounts");
