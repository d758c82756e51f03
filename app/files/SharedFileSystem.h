#pragma once

#include "app/files/LocalFileSystem.h"
#include "app/files/PeerPath.h"

#include <memory>
#include <string>
#include <vector>

class ShareTable;

// The disks of this computer as a peer may see them: only the shared folders.
// Listing the root gives "." and then every shared folder (a virtual listing);
// listing anything else works only inside a shared folder; every changing
// operation is refused. Paths given to it are treated as a peer's: each goes
// through CanonicalizePeerPath before it reaches the disk.
class SharedFileSystem : public LocalFileSystem {
public:
    // Holds the table while it lives; table may be null.
    explicit SharedFileSystem(std::shared_ptr<ShareTable> table,
                              IconIndexCache* iconCache = nullptr);
    ~SharedFileSystem() override;

    bool IsDirectory() override;
    bool CopyFile(const std::string& source, const std::string& destination,
                  bool failIfExists) override;
    bool CreateDirectory(const std::string& path) override;
    bool RecycleFile(const char* path) override;
    int GetKind() override;
    bool HasSubdirectories(const std::string& folder) override;
    std::string GetRecycleBinPath() override;
    std::uint32_t GetLogicalDriveStrings(std::uint32_t length, char* buffer) override;
    int GetDriveType(const std::string& root) override;
    bool ResolveShortcut(void* ownerWindow, const std::string& shortcut,
                         std::string& target) override;
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

    // What HasSubdirectories, GetStatus and GetFileInfo (with the given flags)
    // answer for the current item's path, found with the listed folder
    // checked once: only an item that is a symbolic link is resolved on its
    // own, so a peer's listing of a large folder does not resolve every path
    // component of every item again.
    struct ItemAnswers {
        bool hasSubdirectories = false;
        bool statusResult = false;
        FileStatus status;
        int infoResult = 0;
        ShellFileInfo info;
    };
    ItemAnswers AnswersForCurrent(std::uint32_t infoFlags);
    // The items the running listing walks, dots included.
    std::size_t ListedCount() const;

private:
    bool PeerMayRead(const std::string& path) const;
    // The same, giving where the path really leads.
    bool PeerMayRead(const std::string& path, std::string& canonical) const;
    bool IsRootWithShares(const std::string& path) const;
    // The shared folders the root lists, as the table keeps them.
    std::vector<std::string> RootFolders() const;
    // Starts a listing of a pattern that is not the root, leaving out what a
    // peer may not see; false, with the listing closed, when the folder is
    // not shared.
    bool StartPeerListing(const std::string& pattern, DirectoryListing& listing,
                          PeerFolderCheck& folder) const;
    // Whether a folder a peer may read (resolved: where it really is) holds a
    // folder the peer may see.
    static bool HasVisibleSubfolders(const std::string& folder, const std::string& resolved);

    std::shared_ptr<ShareTable> m_table;
    bool m_virtualRoot = false;
    long m_virtualIndex = -1;
    std::vector<std::string> m_virtualList;
    // The folder of the running listing.
    PeerFolderCheck m_listedFolder;
};
