#include "app/peer/transfer/DigestCache.h"

#include <functional>

DigestCache::DigestCache(std::size_t capacity)
    : m_capacity(capacity > 0 ? capacity : 1) {}

std::size_t DigestCache::KeyHash::operator()(const Key& key) const {
    std::size_t hash = std::hash<std::string>{}(key.path);
    hash ^=
        std::hash<std::uint64_t>{}(key.size) + 0x9e3779b97f4a7c15ULL + (hash << 6) + (hash >> 2);
    hash ^= std::hash<std::int64_t>{}(key.modifiedNs) + 0x9e3779b97f4a7c15ULL + (hash << 6) +
            (hash >> 2);
    return hash;
}

std::optional<Sha256::Digest> DigestCache::Find(const Key& key) {
    std::lock_guard lock(m_mutex);
    auto found = m_index.find(key);
    if (found == m_index.end())
        return std::nullopt;
    m_recent.splice(m_recent.begin(), m_recent, found->second);
    return found->second->second;
}

void DigestCache::Keep(const Key& key, const Sha256::Digest& digest) {
    std::lock_guard lock(m_mutex);
    auto found = m_index.find(key);
    if (found != m_index.end()) {
        found->second->second = digest;
        m_recent.splice(m_recent.begin(), m_recent, found->second);
        return;
    }
    m_recent.emplace_front(key, digest);
    m_index.emplace(key, m_recent.begin());
    if (m_recent.size() > m_capacity) {
        m_index.erase(m_recent.back().first);
        m_recent.pop_back();
    }
}

std::size_t DigestCache::Size() const {
    std::lock_guard lock(m_mutex);
    return m_recent.size();
}
