#include "directory/VerifiedPasswords.h"

#include "directory/Sqlite.h"

#include <cctype>
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

VerifiedPasswords::Digest VerifiedPasswords::DigestOf(std::string_view password) const {
    // Lower-cased as the stored hashes are, so a match there is a match here.
    std::string lowered(password);
    for (char& c : lowered)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    Digest digest{};
    unsigned int length = 0;
    if (!HMAC(EVP_sha256(), m_key.data(), static_cast<int>(m_key.size()),
              reinterpret_cast<const unsigned char*>(lowered.data()), lowered.size(), digest.data(),
              &length) ||
        length != digest.size())
        throw StorageError("password digest failed");
    OPENSSL_cleanse(lowered.data(), lowered.size());
    return digest;
}

bool VerifiedPasswords::Knows(std::int64_t id, std::string_view password) const {
    Digest digest = DigestOf(password);
    std::lock_guard lock(m_lock);
    auto found = m_digests.find(id);
    return found != m_digests.end() &&
           CRYPTO_memcmp(found->second.data(), digest.data(), digest.size()) == 0;
}

void VerifiedPasswords::Remember(std::int64_t id, std::string_view password) {
    Digest digest = DigestOf(password);
    std::lock_guard lock(m_lock);
    if (m_digests.size() >= kMaxUsers && !m_digests.contains(id))
        m_digests.clear();
    m_digests[id] = digest;
}

} // namespace halvdir
