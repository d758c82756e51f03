#include "directory/GuessThrottle.h"

#include <algorithm>

namespace halvdir {

bool GuessThrottle::Locked(const std::string& key, Clock::time_point now) const {
    std::lock_guard lock(m_lock);
    auto found = m_records.find(key);
    return found != m_records.end() && now < found->second.lockedUntil;
}

void GuessThrottle::Failed(const std::string& key, Clock::time_point now) {
    std::lock_guard lock(m_lock);
    if (m_records.size() >= kMaxKeys && !m_records.contains(key))
        MakeRoom(now);
    Record& record = m_records[key];
    if (record.failures > 0 && now - record.lastFailure > kForgetAfter)
        record = Record{};
    ++record.failures;
    record.lastFailure = now;
    int over = record.failures - m_freeFailures;
    if (over <= 0)
        return;
    // Doubling stops well before it could overflow; the cap takes over.
    auto period = m_firstLock * (1LL << std::min(over - 1, 20));
    record.lockedUntil = now + std::min<std::chrono::seconds>(period, m_maxLock);
}

void GuessThrottle::Succeeded(const std::string& key) {
    std::lock_guard lock(m_lock);
    m_records.erase(key);
}

void GuessThrottle::MakeRoom(Clock::time_point now) {
    std::erase_if(m_records, [now](const auto& entry) { return now >= entry.second.lockedUntil; });
    // Every key locked at once: start afresh rather than grow without bound.
    if (m_records.size() >= kMaxKeys)
        m_records.clear();
}

} // namespace halvdir
