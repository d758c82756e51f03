#include "directory/PasswordHash.h"

#include "directory/Sqlite.h"

#include <cctype>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <string>

namespace halvdir {

namespace {

constexpr size_t kSaltSize = 16;
constexpr size_t kHashSize = 32;

std::vector<unsigned char> Derive(std::string_view password, const std::vector<unsigned char>& salt,
                                  int iterations) {
    std::string lowered(password);
    for (char& c : lowered)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::vector<unsigned char> out(kHashSize);
    if (PKCS5_PBKDF2_HMAC(lowered.data(), static_cast<int>(lowered.size()), salt.data(),
                          static_cast<int>(salt.size()), iterations, EVP_sha256(),
                          static_cast<int>(out.size()), out.data()) != 1)
        throw StorageError("password hashing failed");
    OPENSSL_cleanse(lowered.data(), lowered.size());
    return out;
}

} // namespace

PasswordHash PasswordHash::Make(std::string_view password, int iterations) {
    PasswordHash result;
    result.salt.resize(kSaltSize);
    if (RAND_bytes(result.salt.data(), static_cast<int>(result.salt.size())) != 1)
        throw StorageError("no random bytes for a salt");
    result.iterations = iterations;
    result.hash = Derive(password, result.salt, iterations);
    return result;
}

bool PasswordHash::Matches(std::string_view password) const {
    if (hash.size() != kHashSize || salt.empty() || iterations < 1 || iterations > 10'000'000)
        return false;
    auto candidate = Derive(password, salt, iterations);
    return CRYPTO_memcmp(candidate.data(), hash.data(), hash.size()) == 0;
}

} // namespace halvdir
