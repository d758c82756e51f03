#include "platform/IPv4Text.h"

#include <cstring>

namespace platform {

bool IsDottedQuad(std::string_view text) {
    std::size_t i = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (i >= text.size() || text[i] != '.')
                return false;
            ++i;
        }
        const std::size_t start = i;
        int value = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - start < 3) {
            value = value * 10 + (text[i] - '0');
            ++i;
        }
        if (i == start || value > 255)
            return false;
    }
    return i == text.size();
}

std::string DottedQuad(const std::array<std::uint8_t, 4>& bytes) {
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0)
            text += '.';
        text += std::to_string(bytes[i]);
    }
    return text;
}

std::string DottedQuadOfNetworkOrder(std::uint32_t address) {
    // Network order is the bytes as they stand in memory.
    std::array<std::uint8_t, 4> bytes{};
    std::memcpy(bytes.data(), &address, bytes.size());
    return DottedQuad(bytes);
}

} // namespace platform
