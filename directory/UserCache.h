#pragma once

#include <cstdint>
#include <optional>
#include <shared_mutex>
#include <string>
#include <unordered_map>

namespace halvdir {

// The users' IDs, names, e-mail addresses and current addresses in memory,
// for the look-ups every client makes all the time. The table in the
// database stays the record: the cache is filled from it at start and every
// change of a user is applied here after its commit, under the write lock, so
// the cache follows the commits in order. Only the serving process writes
// users (the administration commands never do), which keeps it complete.
// Reading a row from SQLite costs several file-lock system calls per request;
// under load those, not the query, dominated the slowest answers.
class UserCache {
public:
    struct Entry {
        std::string name;
        std::string email; // empty until the profile is stored
        std::string ip = "0.0.0.0";
    };

    void Put(std::int64_t id, Entry entry);
    void SetIp(std::int64_t id, const std::string& ip);
    void SetProfile(std::int64_t id, const std::string& name, const std::string& email);

    std::optional<std::int64_t> FindEmail(const std::string& email) const;
    std::optional<std::string> Ip(std::int64_t id) const;
    std::optional<Entry> Find(std::int64_t id) const;

private:
    mutable std::shared_mutex m_lock;
    std::unordered_map<std::int64_t, Entry> m_users;
    std::unordered_map<std::string, std::int64_t> m_byEmail;
};

} // namespace halvdir
