#pragma once

#include "app/files/FileStatus.h"
#include "app/files/ShellFileInfo.h"
#include "app/peer/NFSListingEntry.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

// The last listing a friend's server sent, walked like a local listing and
// asked about by path while the explorer draws it. The first entry of every
// listing is the folder's own "." item and is never current.
//
// Used by the explorer's user-interface thread (which replaces and walks it)
// and its list view's worker (which looks paths up), so every access takes
// the cache's lock; nothing here touches the network.
class RemoteFileSystemCache {
public:
    // Replaces the table; the walk starts again before the first entry.
    void Replace(std::vector<NFSListingEntry> entries);
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
    const NFSListingEntry* CurrentLocked() const;
    const NFSListingEntry* FindLocked(const std::string& path) const;

    mutable std::mutex m_mutex;
    std::vector<NFSListingEntry> m_entries;
    // First entry of each path, so a long listing is not scanned per question.
    std::unordered_map<std::string, std::size_t> m_index;
    long m_position = -1;
    // Where the last look-up matched: the explorer asks about one path several
    // times in a row.
    mutable long m_lastFound = -1;
};
