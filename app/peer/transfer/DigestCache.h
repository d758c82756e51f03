#pragma once

#include "app/peer/transfer/Sha256.h"

#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

// Digests of files the transfer server has hashed whole, so a repeated or
// resumed download of an unchanged file sends the digest without reading the
// file again. A file counts as unchanged while its path, size and
// modification time (in nanoseconds) stay the same. Holds at most capacity
// entries and forgets the one used longest ago. Safe from several threads.
class DigestCache {
public:
    struct Key {
        std::string path;
        std::uint64_t size = 0;
        std::int64_t modifiedNs = 0;
        bool operator==(const Key&) const = default;
    };

    explicit DigestCache(std::size_t capacity = 1024);

    std::optional<Sha256::Digest> Find(const Key& key);
    void Keep(const Key& key, const Sha256::Digest& digest);
    std::size_t Size() const;

private:
    struct KeyHash {
        std::size_t operator()(const Key& key) const;
    };
    using Entry = std::pair<Key, Sha256::Digest>;

    const std::size_t m_capacity;
    mutable std::mutex m_mutex;
    std::list<Entry> m_recent; // most recently used first
    std::unordered_map<Key, std::list<Entry>::iterator, KeyHash> m_index;
};
