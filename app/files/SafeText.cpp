#include "app/files/SafeText.h"

#include <cstddef>

namespace {

constexpr char kReplacement = '?';

bool IsContinuation(unsigned char byte) {
    return (byte & 0xc0) == 0x80;
}

// The length of the valid UTF-8 sequence at the start of text, or 0. The
// second byte's range rules out overlong forms, surrogates and code points
// above U+10FFFF.
std::size_t SequenceLength(std::string_view text, char32_t& codePoint) {
    const auto lead = static_cast<unsigned char>(text[0]);
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
        codePoint = lead & 0x1f;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        codePoint = lead & 0x0f;
        if (lead == 0xe0)
            low = 0xa0;
        else if (lead == 0xed)
            high = 0x9f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        codePoint = lead & 0x07;
        if (lead == 0xf0)
            low = 0x90;
        else if (lead == 0xf4)
            high = 0x8f;
    } else {
        return 0;
    }
    if (text.size() < length)
        return 0;
    const auto second = static_cast<unsigned char>(text[1]);
    if (second < low || second > high)
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (!IsContinuation(byte))
            return 0;
        codePoint = (codePoint << 6) | (byte & 0x3f);
    }
    return length;
}

bool SteersDisplay(char32_t codePoint) {
    return (codePoint >= 0x80 && codePoint <= 0x9f) || codePoint == 0x2028 || codePoint == 0x2029 ||
           (codePoint >= 0x202a && codePoint <= 0x202e) ||
           (codePoint >= 0x2066 && codePoint <= 0x2069);
}

} // namespace

std::string SafeText(std::string_view text) {
    std::string safe;
    safe.reserve(text.size());
    while (!text.empty()) {
        const auto byte = static_cast<unsigned char>(text[0]);
        if (byte < 0x80) {
            safe += byte < 0x20 || byte == 0x7f ? kReplacement : static_cast<char>(byte);
            text.remove_prefix(1);
            continue;
        }
        char32_t codePoint = 0;
        const std::size_t length = SequenceLength(text, codePoint);
        if (length == 0 || SteersDisplay(codePoint)) {
            safe += kReplacement;
            text.remove_prefix(length == 0 ? 1 : length);
            continue;
        }
        safe.append(text.substr(0, length));
        text.remove_prefix(length);
    }
    return safe;
}
