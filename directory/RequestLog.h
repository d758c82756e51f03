#pragma once

#include <cstddef>
#include <string_view>

namespace halvdir {

// One line per request on standard output: client address, method, path,
// query (its password as "*"), status and body size.
void LogRequest(std::string_view address, std::string_view method, std::string_view path,
                std::string_view query, int status, std::size_t bodySize);

} // namespace halvdir
