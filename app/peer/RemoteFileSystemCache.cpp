#include "app/peer/RemoteFileSystemCache.h"

#include <utility>

void RemoteFileSystemCache::Replace(std::vector<NFSListingEntry> entries) {
    std::unordered_map<std::string, std::size_t> index;
    index.reserve(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i)
        index.emplace(NormalisePath(entries[i].path), i); // the first of equal paths wins
    std::lock_guard lock(m_mutex);
    m_entries = std::move(entries);
    m_index = std::move(index);
    m_position = -1;
    m_lastFound = -1;
}

std::size_t RemoteFileSystemCache::Count() const {
    std::lock_guard lock(m_mutex);
    return m_entries.size();
}

bool RemoteFileSystemCache::Next() {
    std::lock_guard lock(m_mutex);
    const long count = static_cast<long>(m_entries.size());
    ++m_position;
    if (m_position + 1 < count)
        return true;
    m_position = count - 1;
    return false;
}

const NFSListingEntry* RemoteFileSystemCache::CurrentLocked() const {
    // Position 0 is the listing's "." item, which no walk shows.
    if (m_position > 0 && m_position < static_cast<long>(m_entries.size()))
        return &m_entries[static_cast<std::size_t>(m_position)];
    return nullptr;
}

bool RemoteFileSystemCache::CurrentIsHidden() const {
    std::lock_guard lock(m_mutex);
    const NFSListingEntry* entry = CurrentLocked();
    return entry != nullptr && entry->isHidden != 0;
}

bool RemoteFileSystemCache::CurrentIsDirectory() const {
    std::lock_guard lock(m_mutex);
    const NFSListingEntry* entry = CurrentLocked();
    return entry != nullptr && entry->isDirectory != 0;
}

bool RemoteFileSystemCache::CurrentIsDots() const {
    std::lock_guard lock(m_mutex);
    const NFSListingEntry* entry = CurrentLocked();
    return entry != nullptr && entry->isDots != 0;
}

std::string RemoteFileSystemCache::CurrentPath() const {
    std::lock_guard lock(m_mutex);
    const NFSListingEntry* entry = CurrentLocked();
    return entry != nullptr ? entry->path : std::string();
}

std::string RemoteFileSystemCache::NormalisePath(const std::string& path) {
    if (path.size() >= 2 && path.back() == '/')
        return path.substr(0, path.size() - 1);
    return path;
}

const NFSListingEntry* RemoteFileSystemCache::FindLocked(const std::string& path) const {
    const std::string wanted = NormalisePath(path);
    if (m_lastFound >= 0 && m_lastFound < static_cast<long>(m_entries.size())) {
        const NFSListingEntry& hinted = m_entries[static_cast<std::size_t>(m_lastFound)];
        if (NormalisePath(hinted.path) == wanted)
            return &hinted;
    }
    const auto found = m_index.find(wanted);
    if (found == m_index.end())
        return nullptr;
    m_lastFound = static_cast<long>(found->second);
    return &m_entries[found->second];
}

bool RemoteFileSystemCache::FindStatus(const std::string& path, FileStatus& status,
                                       std::int32_t& result) const {
    std::lock_guard lock(m_mutex);
    const NFSListingEntry* entry = FindLocked(path);
    if (entry == nullptr)
        return false;
    status = entry->status;
    result = entry->statusResult;
    return true;
}

bool RemoteFileSystemCache::FindInfo(const std::string& path, std::uint32_t flags,
                                     ShellFileInfo& info, std::int32_t& result) const {
    std::lock_guard lock(m_mutex);
    const NFSListingEntry* entry = FindLocked(path);
    if (entry == nullptr)
        return false;
    if (flags & kInfoSmallIcon) {
        info = entry->infoA;
        result = entry->infoResultA;
    } else if (flags & kInfoOpenIcon) {
        info = entry->infoC;
        result = entry->infoResultC;
    } else {
        info = entry->infoB;
        result = entry->infoResultB;
    }
    return true;
}

bool RemoteFileSystemCache::FindHasSubdirectories(const std::string& path,
                                                  bool& hasSubdirectories) const {
    std::lock_guard lock(m_mutex);
    const NFSListingEntry* entry = FindLocked(path);
    if (entry == nullptr)
        return false;
    hasSubdirectories = entry->hasSubdirectories != 0;
    return true;
}
