#include "directory/UserCache.h"

#include <mutex>

namespace halvdir {

void UserCache::Put(std::int64_t id, Entry entry) {
    std::unique_lock lock(m_lock);
    auto old = m_users.find(id);
    if (old != m_users.end() && !old->second.email.empty())
        m_byEmail.erase(old->second.email);
    if (!entry.email.empty())
        m_byEmail[entry.email] = id;
    m_users[id] = std::move(entry);
}

void UserCache::SetIp(std::int64_t id, const std::string& ip) {
    std::unique_lock lock(m_lock);
    auto it = m_users.find(id);
    if (it != m_users.end())
        it->second.ip = ip;
}

void UserCache::SetProfile(std::int64_t id, const std::string& name, const std::string& email) {
    std::unique_lock lock(m_lock);
    auto it = m_users.find(id);
    if (it == m_users.end())
        return;
    if (!it->second.email.empty())
        m_byEmail.erase(it->second.email);
    it->second.name = name;
    it->second.email = email;
    if (!email.empty())
        m_byEmail[email] = id;
}

std::optional<std::int64_t> UserCache::FindEmail(const std::string& email) const {
    std::shared_lock lock(m_lock);
    auto it = m_byEmail.find(email);
    if (it == m_byEmail.end())
        return std::nullopt;
    return it->second;
}

std::optional<std::string> UserCache::Ip(std::int64_t id) const {
    std::shared_lock lock(m_lock);
    auto it = m_users.find(id);
    if (it == m_users.end())
        return std::nullopt;
    return it->second.ip;
}

std::optional<UserCache::Entry> UserCache::Find(std::int64_t id) const {
    std::shared_lock lock(m_lock);
    auto it = m_users.find(id);
    if (it == m_users.end())
        return std::nullopt;
    return it->second;
}

} // namespace halvdir
