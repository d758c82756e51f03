#pragma once

#include "app/files/FileSystem.h"
#include "app/peer/remotefs/RemoteFileSystemCache.h"
#include "app/peer/remotefs/RemoteFileSystemClient.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class IconIndexCache;
class LogEvent;

// A friend's computer, used like a local disk. Each operation becomes one
// request to the friend's file server (NFSServer), on a connection of its own;
// a folder's listing arrives whole in one request and answers every per-item
// question of the walk that follows, so drawing a folder costs two connections.
//
// Construction acquires an instance on the server and destruction gives it
// back. Without an instance (the friend could not be reached or its server is
// full) every operation that needs the network answers false, 0 or empty text
// at once.
//
// ListFolder fetches a listing in one request and returns it as a value
// without moving the walk, so a worker thread may list while a window walks.
// Any thread may ask GetFileInfo and GetStatus: the listing cache and the
// file-information memo each have a lock, and no lock is held during a request.
class RemoteFileSystem : public FileSystem {
public:
    using Limits = RemoteFileSystemClient::Limits;

    // host: the friend's dotted address. log and iconCache may be null.
    RemoteFileSystem(const std::string& host, LogEvent* log, IconIndexCache* iconCache,
                     int port = kNfsServerPort, Limits limits = {});
    ~RemoteFileSystem() override;

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

    bool HasInstance() const { return m_client.HasInstance(); }
    std::int32_t Instance() const { return m_client.Instance(); }
    std::int32_t Version() const { return m_client.Version(); }

    // The machine name every remote file system shows.
    static constexpr const char* kMachineName = "Remote machine";

private:
    // The record's icon fields as this computer draws them: no handle, and
    // when an icon is asked for, the index the local icon cache holds for a
    // folder, the root or the path's file type.
    void AdjustIcon(const std::string& path, ShellFileInfo& info, std::uint32_t flags);

    struct Memo {
        bool valid = false;
        std::string path;
        std::uint32_t flags = 0;
        ShellFileInfo info;
        std::int32_t result = 0;
    };

    IconIndexCache* const m_icons;
    RemoteFileSystemClient m_client;
    RemoteFileSystemCache m_cache;
    std::mutex m_memoMutex;
    Memo m_memo;
};
