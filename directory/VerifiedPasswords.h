#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <span>
#include <string_view>
#include <unordered_map>

namespace halvdir {

// The last password that matched each user's stored hash, kept in memory as
// an HMAC-SHA256 (under a key drawn at start) of that hash and the password,
// so that a presence service that publishes its address again and again costs
// one slow hash, not one per update. Nothing of it reaches the disk; a restart
// forgets it. A match is known only against the same stored hash: when the
// hash in the database is another one (stored through another process
// sharing the database), the password is checked afresh.
class VerifiedPasswords {
public:
    VerifiedPasswords();
    ~VerifiedPasswords();
    VerifiedPasswords(const VerifiedPasswords&) = delete;
    VerifiedPasswords& operator=(const VerifiedPasswords&) = delete;

    // Users remembered at most; beyond it the memory starts afresh.
    static constexpr std::size_t kMaxUsers = 1'000'000;

    bool Knows(std::int64_t id, std::span<const unsigned char> storedHash,
               std::string_view password) const;
    void Remember(std::int64_t id, std::span<const unsigned char> storedHash,
                  std::string_view password);

private:
    using Digest = std::array<unsigned char, 32>;
    Digest DigestOf(std::span<const unsigned char> storedHash, std::string_view password) const;

    std::array<unsigned char, 32> m_key{};
    mutable std::mutex m_lock;
    std::unordered_map<std::int64_t, Digest> m_digests;
};

} // namespace halvdir
