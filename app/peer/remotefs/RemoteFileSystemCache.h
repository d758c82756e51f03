#pragma once

#include "app/files/FileStatus.h"
#include "app/files/ShellFileInfo.h"
#include "app/peer/remotefs/NFSListingEntry.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

// The listings a friend's server sent: the one being walked like a local
// listing, and the latest one fetched by either way of listing, both asked
// about by path while a window draws them. The first entry of every walked
// listing is the folder's own "." item and is never current.
//
// Used by the thread that walks, by threads that list and by a list view's
// worker that looks paths up, so every access takes the cache's lock; nothing
// here touches the network.
class RemoteFileSystemCache {
public:
    // Replaces the walked table, which look-ups see first from now on; the
    // walk starts again before the first entry.
    void Replace(std::vector<NFSListingEntry> entries);
    // Keeps a listing for look-ups only, seen before the walked one; the walk
    // goes on where it was.
    void Remember(std::vector<NFSListingEntry> entries);
    // Entries of the walked table.
    std::size_t Count() const;

    // Advances the walk: true while another entry follows the one reached;
    // at the end it stays on the last entry, which is still valid.
    bool Next();
    // Fields of the current entry; false or empty when none is current.
    bool CurrentIsHidden() const;
    bool CurrentIsDirectory() const;
    bool CurrentIsDots() const;
    std::string CurrentPath() const;

    // Look-ups by path (NormalisePath applies first, comparison is exact).
    bool FindStatus(const std::string& path, FileStatus& status, std::int32_t& result) const;
    // The record for the icon variant the flags ask for: A for small icons, C
    // for open icons, B otherwise.
    bool FindInfo(const std::string& path, std::uint32_t flags, ShellFileInfo& info,
                  std::int32_t& result) const;
    bool FindHasSubdirectories(const std::string& path, bool& hasSubdirectories) const;

    // Drops one trailing "/" unless the path is the root.
    static std::string NormalisePath(const std::string& path);

private:
    struct Table {
        explicit Table(std::vector<NFSListingEntry> listed);
        const NFSListingEntry* Find(const std::string& normalisedPath) const;

        std::vector<NFSListingEntry> entries;
        // First entry of each path, so a long listing is not scanned per question.
        std::unordered_map<std::string, std::size_t> index;
    };

    const NFSListingEntry* CurrentLocked() const;
    const NFSListingEntry* FindLocked(const std::string& path) const;

    mutable std::mutex m_mutex;
    // Shared when the latest listing is the walked one.
    std::shared_ptr<const Table> m_walked;
    std::shared_ptr<const Table> m_latest;
    long m_position = -1;
};
