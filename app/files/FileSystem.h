#pragma once

#include "app/files/FileStatus.h"
#include "app/files/FolderListing.h"
#include "app/files/ShellFileInfo.h"

#include <cstdint>
#include <string>
#include <vector>

// The one interface through which Drovick looks at files: the local disks, the
// share-filtered view a peer gets, and a friend's computer over the network.
//
// Two ways to list a folder. ListFolder returns the items as a value and
// leaves the walk where it is, so any thread may call it, also while another
// walks. The walk keeps its position in the object, so each object carries
// exactly one running walk: FindFile(pattern, 0); when TRUE, repeat { more =
// FindNextFile(); inspect the current entry } until a pass where more was FALSE.
class FileSystem {
public:
    virtual bool IsDirectory() = 0;
    virtual bool CopyFile(const std::string& source, const std::string& destination,
                          bool failIfExists) = 0;
    virtual bool CreateDirectory(const std::string& path) = 0;
    virtual bool RecycleFile(const char* path) = 0;
    virtual bool GetProperties(std::vector<std::string>& properties) = 0;
    virtual int GetKind() = 0;
    virtual bool HasSubdirectories(const std::string& folder) = 0;
    virtual std::string GetMachineName() = 0;
    virtual std::string GetRecycleBinPath() = 0;
    // Every root NUL-terminated, the list ended by a second NUL. Returns the
    // length without the final NUL, 0 on failure, or the needed length when the
    // buffer is too short.
    virtual std::uint32_t GetLogicalDriveStrings(std::uint32_t length, char* buffer) = 0;
    virtual int GetDriveType(const std::string& root) = 0;
    // The target gets at most kMaxPathText characters.
    virtual bool ResolveShortcut(void* ownerWindow, const std::string& shortcut,
                                 std::string& target) = 0;
    virtual bool CreateShortcut(const std::string& target, const std::string& shortcut,
                                const std::string& description) = 0;
    virtual bool MoveFile(const std::string& source, const std::string& destination) = 0;
    virtual bool IsHidden() = 0;
    virtual bool GetStatus(const std::string& path, FileStatus& status) = 0;
    // Nonzero on success.
    virtual int GetFileInfo(const std::string& path, ShellFileInfo& info, std::uint32_t flags) = 0;
    virtual std::string GetFilePath() = 0;
    virtual bool IsDots() = 0;
    // FALSE when the entry just reached is the last one (it is still valid).
    virtual bool FindNextFile() = 0;
    virtual bool FindFile(const std::string& pattern, std::uint32_t flags) = 0;
    virtual bool OpenFile(void* ownerWindow, const std::string& path) = 0;
    virtual ~FileSystem() = default;

    // The items the walk of the same pattern would show, dots left out, with
    // whether the listing is whole or why it failed.
    virtual FolderListing ListFolder(const std::string& pattern) = 0;

    // Built once on the virtual operations, so they hold for every kind.
    bool IsDriveRoot(const std::string& path, bool checkFolder);
    bool IsFolder(const std::string& path);
    bool IsShortcut(const std::string& path);
    std::string GetDisplayName(const std::string& path);
    std::string GetTypeName(const std::string& path);
    bool IsRecycleBin(const std::string& path);
    std::string FormatSize(const std::string& path);
    std::string GetDisplayPath(const std::string& path);
    std::int32_t GetModifiedTime(const std::string& path);

protected:
    FileSystem() = default;
    FileSystem(const FileSystem&) = delete;
    FileSystem& operator=(const FileSystem&) = delete;
};

// Answers of GetKind.
inline constexpr int kFileSystemLocal = 0;
inline constexpr int kFileSystemRemote = 1;
inline constexpr int kFileSystemShared = 2;

// Drive type codes of GetDriveType.
inline constexpr int kDriveUnknown = 0;
inline constexpr int kDriveNoRoot = 1;
inline constexpr int kDriveRemovable = 2;
inline constexpr int kDriveFixed = 3;
inline constexpr int kDriveRemote = 4;
inline constexpr int kDriveOptical = 5;
inline constexpr int kDriveRam = 6;

// Longest path text a 260-character buffer holds with its NUL.
inline constexpr std::size_t kMaxPathText = 259;

// Sizes in kilobytes rounded up, digits grouped by three: 1,234KB.
std::string FormatKilobytes(std::uint32_t sizeInBytes);
