#pragma once

#include "directory/DirectoryStore.h"
#include "directory/GuessThrottle.h"

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

    // Failed password checks one ID may have freely, and one client address
    // (more, since many users may share an address). Then a lock that starts
    // at kFirstGuessLock and doubles with each further failure up to
    // kMaxGuessLock: a few guesses an hour instead of hundreds a second.
    static constexpr int kFreeGuessesPerId = 20;
    static constexpr int kFreeGuessesPerAddress = 100;
    static constexpr std::chrono::seconds kFirstGuessLock{4};
    static constexpr std::chrono::seconds kMaxGuessLock{600};

private:
    Reply Dispatch(std::string_view path, std::string_view query, const std::string& remoteAddress);
    Reply WaitingList(std::string_view name, std::string_view query,
                      const std::string& remoteAddress);

    bool GuessesLocked(std::int32_t id, const std::string& remoteAddress) const;
    void CountGuess(std::int32_t id, const std::string& remoteAddress, bool matched);
    // Whether the password opens the ID's own data: always for an ID nobody
    // has claimed, otherwise only with the owner's password.
    bool OwnerAllowed(std::int32_t id, const std::string& password,
                      const std::string& remoteAddress);

    StorePool& m_pool;
    GuessThrottle m_idGuesses{kFreeGuessesPerId, kFirstGuessLock, kMaxGuessLock};
    GuessThrottle m_addressGuesses{kFreeGuessesPerAddress, kFirstGuessLock, kMaxGuessLock};
};

} // namespace halvdir
