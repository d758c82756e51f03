#pragma once

#include <string_view>
#include <vector>

namespace halvdir {

// A password kept as PBKDF2-HMAC-SHA256 of its lower-cased text with a random
// salt. Passwords compare without regard to case because the presence service
// keeps and compares its identity passwords lower-cased.
struct PasswordHash {
    std::vector<unsigned char> salt;
    std::vector<unsigned char> hash;
    int iterations = 0;

    // Enough to make a stolen database costly to search, cheap enough that a
    // registration burst does not stall the service.
    static constexpr int kIterations = 10000;

    static PasswordHash Make(std::string_view password, int iterations = kIterations);
    bool Matches(std::string_view password) const;
};

} // namespace halvdir
