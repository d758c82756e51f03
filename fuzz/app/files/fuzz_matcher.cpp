// Compiles a pattern from the input and matches it against a subject from the
// same input: the first byte chooses ignore case, the text up to the first
// line feed is the pattern, the rest the subject. No pattern may crash, read
// out of bounds or run past its step budget for long.
#include "app/files/PatternMatcher.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const bool ignoreCase = (data[0] & 1) != 0;
    const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::size_t split = input.find('\n');
    const std::string_view pattern = input.substr(0, split);
    const std::string_view subject =
        split == std::string_view::npos ? std::string_view() : input.substr(split + 1);

    PatternMatcher matcher(pattern, ignoreCase);
    if (!matcher.IsValid()) {
        if (matcher.ErrorMessage().empty())
            __builtin_trap();
        return 0;
    }
    const bool matched = matcher.Match(subject);
    std::string_view whole;
    if (matched != matcher.SubExpression(0, whole))
        __builtin_trap();
    std::string replaced;
    matcher.Substitute(std::string_view("<&|\\1|\\9|\\\\>"), replaced);
    // A copy shares the program and must answer the same.
    PatternMatcher copy = matcher;
    if (copy.Match(subject) != matched && !copy.BudgetExhausted() && !matcher.BudgetExhausted())
        __builtin_trap();
    return 0;
}
