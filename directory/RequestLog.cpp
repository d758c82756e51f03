#include "directory/RequestLog.h"

#include "directory/DirectoryService.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <unistd.h>

namespace halvdir {

void LogRequest(std::string_view address, std::string_view method, std::string_view path,
                std::string_view query, int status, std::size_t bodySize) {
    std::string redacted =
        query.empty() ? std::string() : DirectoryService::RedactedQuery(path, query);
    std::string shownAddress(address.substr(0, 64));
    std::string shownPath(path.substr(0, 200));
    std::string shownMethod(method.substr(0, 16));
    char line[640];
    int size = std::snprintf(line, sizeof line, "%s %s %s%s%s %d %zu\n", shownAddress.c_str(),
                             shownMethod.c_str(), shownPath.c_str(), redacted.empty() ? "" : "?",
                             redacted.c_str(), status, bodySize);
    if (size <= 0)
        return;
    size_t length = std::min(static_cast<size_t>(size), sizeof line - 1);
    // Keep the log one line per request whatever the client sent.
    for (size_t i = 0; i + 1 < length; ++i)
        if (static_cast<unsigned char>(line[i]) < 0x20 || line[i] == 0x7F)
            line[i] = '?';
    line[length - 1] = '\n';
    // One write per line: the kernel keeps concurrent writes to one file or
    // pipe from mixing, without a lock of ours around a system call.
    size_t written = 0;
    while (written < length) {
        ssize_t n = ::write(STDOUT_FILENO, line + written, length - written);
        if (n <= 0)
            break;
        written += static_cast<size_t>(n);
    }
}

} // namespace halvdir
