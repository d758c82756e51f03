#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

// The folders the user shares with friends; sharing a folder shares everything
// below it. Entries are absolute folder paths ending in "/", compared byte for
// byte (file names are case-sensitive here: sharing "Music" must not share
// "music").
//
// Kept by Add: no entry lies below another, no entry is the root, none lies in
// a system folder or in the product's own configuration and runtime folders.
//
// Shared between the user-interface thread and the peer servers, each holding
// it through a std::shared_ptr: every operation holds the table's recursive
// mutex. Whoever shows the shares registers a listener to hear of changes.
class ShareTable {
public:
    ShareTable();
    ~ShareTable();
    ShareTable(const ShareTable&) = delete;
    ShareTable& operator=(const ShareTable&) = delete;

    // Called after every Add or Remove that changed the table and after every
    // Deserialize that replaced it, on the thread that made the change, with
    // the table's own lock free (a listener may read the table). A listener
    // must not block: a window posts to its user-interface thread.
    using Listener = std::function<void()>;
    // The id that RemoveListener takes; never 0.
    int AddListener(Listener listener);
    // Once it returns, the listener is not running and is never called again
    // (unless it is the caller itself, removing itself from inside a call).
    void RemoveListener(int id);

    bool Add(const std::string& folder);
    bool Remove(const std::string& folder);
    bool IsShared(const std::string& path) const;
    bool IsShareRoot(const std::string& folder) const;
    bool IsShareable(const std::string& folder) const;
    // The first prefix.size() bytes of path equal prefix (nothing appended).
    static bool IsUnder(const std::string& prefix, const std::string& path);
    int IndexOf(const std::string& path) const;
    int ListUnder(const std::string& prefix, std::vector<std::string>& entries) const;
    bool HasShareOnDrive(const std::string& root) const;
    bool GetAt(int index, std::string& entry) const;
    int GetCount() const;
    std::vector<std::string> Entries() const;

    // The persisted form: count, then per entry its length with the NUL and the
    // NUL-terminated text.
    std::vector<std::uint8_t> Serialize() const;
    // Replaces every entry with those of the block; the number of entries, or -1
    // for an absent or damaged block (the table then stays as it was). Entries
    // that are not absolute folder paths ending in "/" are dropped.
    int Deserialize(const std::uint8_t* block, std::size_t size);

    // Folders nothing inside of may ever be shared: the system folders and the
    // product's configuration and runtime folders, read from the environment
    // on every call. None ends with "/".
    static std::vector<std::string> NeverSharedFolders();

private:
    void TellListeners();
    static std::string WithSlash(const std::string& path);
    bool IsSharedLocked(const std::string& pathWithSlash) const;

    mutable std::recursive_mutex m_mutex;
    std::vector<std::string> m_entries;
    // Held while listeners are called, so a removal waits for a running call;
    // recursive, so a listener may remove itself or add another.
    std::recursive_mutex m_listenerMutex;
    std::map<int, Listener> m_listeners;
    int m_nextListenerId = 1;
};
