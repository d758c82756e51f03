#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
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
// Shared between the user-interface thread and the peer servers: every
// operation holds the table's recursive mutex; the holders count references by
// hand and the table deletes itself when the last one is given back.
class ShareTable {
public:
    ShareTable();
    ShareTable(const ShareTable&) = delete;
    ShareTable& operator=(const ShareTable&) = delete;

    void AddRef();
    // The new count; at 0 the table is gone.
    int Release();

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
    ~ShareTable();

    static std::string WithSlash(const std::string& path);
    bool IsSharedLocked(const std::string& pathWithSlash) const;

    std::atomic<int> m_references{1};
    mutable std::recursive_mutex m_mutex;
    std::vector<std::string> m_entries;
};
