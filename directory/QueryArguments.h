#pragma once

#include "platform/IPv4Text.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace halvdir {

// The arguments of a directory query: the text after "?", split on "+", each
// piece percent-decoded. An empty query has no arguments.
// Fails (nullopt) on a "%" not followed by two hexadecimal digits or when there
// are more than maxCount pieces.
std::optional<std::vector<std::string>> SplitQueryArguments(std::string_view query,
                                                            size_t maxCount);

// Like SplitQueryArguments, but splits only at the first count - 1 "+" signs:
// the last argument keeps any further "+" as text. For queries whose last
// argument is a text that older clients send with "+" unescaped.
std::optional<std::vector<std::string>> SplitLeadingArguments(std::string_view query, size_t count);

// Decodes "%XX" escapes; false on a broken escape.
bool PercentDecode(std::string_view in, std::string& out);

// A plain decimal 32-bit integer: optional "-", 1 to 10 digits, in range.
std::optional<std::int32_t> ParseInt32(std::string_view text);

// Dotted quad of four decimal numbers 0 to 255, nothing else.
using platform::IsDottedQuad;

// True when the text holds a byte below 0x20 or 0x7F: such a byte in a name
// would break the line-oriented answers.
bool HasControlBytes(std::string_view text);

std::string ToLower(std::string_view text);
std::string TrimBlanks(std::string_view text);

} // namespace halvdir
