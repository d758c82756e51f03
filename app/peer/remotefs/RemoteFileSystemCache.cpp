#include "app/peer/remotefs/RemoteFileSystemCache.h"

#include <utility>

RemoteFileSystemCache::Table::Table(std::vector<NFSListingEntry> listed)
    : entries(std::move(listed)) {
    index.reserve(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i)
        index.emplace(NormalisePath(entries[i].path), i); // the first of equal paths wins
}

const NFSListingEntry* RemoteFileSystemCache::Table::Find(const std::string& normalisedPath) const {
    const auto found = index.find(normalisedPath);
    return found == index.end() ? nullptr : &entries[found->second];
}

void RemoteFileSystemCache::Replace(std::vector<NFSListingEntry> entries) {
    // Built before the lock is taken: a long listing does not hold up readers.
    auto table = std::make_shared<const Table>(std::move(entries));
    // Declared before the lock, so the tables let go of are freed after it.
    std::shared_ptr<const Table> droppedWalked;
    std::shared_ptr<const Table> droppedLatest;
    std::lock_guard lock(m_mutex);
    droppedWalked = std::exchange(m_walked, table);
    droppedLatest = std::exchange(m_latest, std::move(table));
    m_position = -1;
}

void RemoteFileSystemCache::Remember(std::vector<NFSListingEntry> entries) {
    auto table = std::make_shared<const Table>(std::move(entries));
    std::shared_ptr<const Table> dropped;
    std::lock_guard lock(m_mutex);
    dropped = std::exchange(m_latest, std::move(table));
}

std::size_t RemoteFileSystemCache::Count() const {
    std::lock_guard lock(m_mutex);
    return m_walked ? m_walked->entries.size() : 0;
}

bool RemoteFileSystemCache::Next() {
    std::lock_guard lock(m_mutex);
    const long count = m_walked ? static_cast<long>(m_walked->entries.size()) : 0;
    ++m_position;
    if (m_position + 1 < count)
        return true;
    m_position = count - 1;
    return false;
}

const NFSListingEntry* RemoteFileSystemCache::CurrentLocked() const {
    // Position 0 is the listing's "." item, which no walk shows.
    if (m_walked && m_position > 0 && m_position < static_cast<long>(m_walked->entries.size()))
        return &m_walked->entries[static_cast<std::size_t>(m_position)];
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
    const NFSListingEntry* found = m_latest ? m_latest->Find(wanted) : nullptr;
    if (found == nullptr && m_walked && m_walked != m_latest)
        found = m_walked->Find(wanted);
    return found;
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
