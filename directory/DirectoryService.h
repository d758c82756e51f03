#pragma once

#include "directory/DirectoryStore.h"

#include <string>
#include <string_view>

namespace halvdir {

struct Reply {
    int status = 200;
    std::string body;
};

// Answers directory queries: the path and the raw query text of a GET request
// in, the status and plain-text body out. Knows nothing of HTTP beyond that,
// so the answers can be checked without a server.
class DirectoryService {
public:
    explicit DirectoryService(StorePool& pool)
        : m_pool(pool) {}

    // Longest query text accepted; every real query fits well inside it.
    static constexpr size_t kMaxQuery = 2048;

    Reply Handle(std::string_view path, std::string_view query, const std::string& remoteAddress);

    // The query text with its password argument replaced by "*", for the log.
    static std::string RedactedQuery(std::string_view path, std::string_view query);

private:
    Reply Dispatch(std::string_view path, std::string_view query, const std::string& remoteAddress);

    StorePool& m_pool;
};

} // namespace halvdir
