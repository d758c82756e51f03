#include "directory/VerifiedPasswords.h"

#include "directory/Sqlite.h"

#include <cctype>
#include <cstdint>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <string>

namespace halvdir {

VerifiedPasswords::VerifiedPasswords() {
    if (RAND_bytes(m_key.data(), static_cast<int>(m_key.size())) != 1)
        throw StorageError("no random bytes for the password memory");
}

VerifiedPasswords::~VerifiedPasswords() {
    OPENSSL_cleanse(m_key.data(), m_key.size());
}

VerifiedPasswords::Digest VerifiedPasswords::DigestOf(std::span<const unsigned char> storedHash,
                                                      std::string_view password) const {
    // The hash's length goes first, so hash and password cannot run into
    // each other. The password is lower-cased as the stored hashes are, so a
    // match there is a match here.
    const auto hashLength = static_cast<std::uint32_t>(storedHash.size());
    std::string message(reinterpret_cast<const char*>(&hashLength), sizeof hashLength);
    message.append(reinterpret_cast<const char*>(storedHash.data()), storedHash.size());
    for (char c : password)
        message += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    Digest digest{};
    unsigned int length = 0;
    const bool ok = HMAC(EVP_sha256(), m_key.data(), static_cast<int>(m_key.size()),
                         reinterpret_cast<const unsigned char*>(message.data()), message.size(),
                         digest.data(), &length) != nullptr &&
                    length == digest.size();
    OPENSSL_cleanse(message.data(), message.size());
    if (!ok)
        throw StorageError("password digest failed");
    return digest;
}

bool VerifiedPasswords::Knows(std::int64_t id, std::span<const unsigned char> storedHash,
                              std::string_view password) const {
    Digest digest = DigestOf(storedHash, password);
    std::lock_guard lock(m_lock);
    auto found = m_digests.find(id);
    return found != m_digests.end() &&
           CRYPTO_memcmp(found->second.data(), digest.data(), digest.size()) == 0;
}

void VerifiedPasswords::Remember(std::int64_t id, std::span<const unsigned char> storedHash,
                                 std::string_view password) {
    Digest digest = DigestOf(storedHash, password);
    std::lock_guard lock(m_lock);
    if (m_digests.size() >= kMaxUsers && !m_digests.contains(id))
        m_digests.clear();
    m_digests[id] = digest;
}

} // namespace halvdir
