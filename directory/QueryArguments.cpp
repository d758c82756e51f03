#include "directory/QueryArguments.h"

#include "platform/IPv4Text.h"

#include <charconv>

namespace halvdir {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

bool PercentDecode(std::string_view in, std::string& out) {
    out.clear();
    out.reserve(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '%') {
            out.push_back(in[i]);
            continue;
        }
        if (i + 2 >= in.size())
            return false;
        int high = HexValue(in[i + 1]);
        int low = HexValue(in[i + 2]);
        if (high < 0 || low < 0)
            return false;
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    return true;
}

std::optional<std::vector<std::string>> SplitQueryArguments(std::string_view query,
                                                            size_t maxCount) {
    std::vector<std::string> arguments;
    if (query.empty())
        return arguments;
    size_t start = 0;
    while (true) {
        if (arguments.size() >= maxCount)
            return std::nullopt;
        size_t plus = query.find('+', start);
        std::string_view piece = query.substr(
            start, plus == std::string_view::npos ? std::string_view::npos : plus - start);
        std::string decoded;
        if (!PercentDecode(piece, decoded))
            return std::nullopt;
        arguments.push_back(std::move(decoded));
        if (plus == std::string_view::npos)
            break;
        start = plus + 1;
    }
    return arguments;
}

std::optional<std::vector<std::string>> SplitLeadingArguments(std::string_view query,
                                                              size_t count) {
    std::vector<std::string> arguments;
    if (query.empty() || count == 0)
        return arguments;
    size_t start = 0;
    while (true) {
        size_t plus =
            arguments.size() + 1 < count ? query.find('+', start) : std::string_view::npos;
        std::string_view piece = query.substr(
            start, plus == std::string_view::npos ? std::string_view::npos : plus - start);
        std::string decoded;
        if (!PercentDecode(piece, decoded))
            return std::nullopt;
        arguments.push_back(std::move(decoded));
        if (plus == std::string_view::npos)
            break;
        start = plus + 1;
    }
    return arguments;
}

std::optional<std::int32_t> ParseInt32(std::string_view text) {
    size_t digitsStart = (!text.empty() && text[0] == '-') ? 1 : 0;
    size_t digits = text.size() - digitsStart;
    if (digits < 1 || digits > 10)
        return std::nullopt;
    for (size_t i = digitsStart; i < text.size(); ++i)
        if (text[i] < '0' || text[i] > '9')
            return std::nullopt;
    std::int64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    if (value < INT32_MIN || value > INT32_MAX)
        return std::nullopt;
    return static_cast<std::int32_t>(value);
}

bool HasControlBytes(std::string_view text) {
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F)
            return true;
    }
    return false;
}

std::string ToLower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string TrimBlanks(std::string_view text) {
    size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string_view::npos)
        return {};
    size_t end = text.find_last_not_of(" \t");
    return std::string(text.substr(begin, end - begin + 1));
}

} // namespace halvdir
