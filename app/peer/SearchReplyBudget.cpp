#include "app/peer/SearchReplyBudget.h"

SearchReplyBudget::SearchReplyBudget(int repliesPerWindow, Clock::duration window,
                                     std::size_t addressLimit)
    : m_repliesPerWindow(repliesPerWindow)
    , m_window(window)
    , m_addressLimit(addressLimit) {}

void SearchReplyBudget::ForgetExpired(Clock::time_point now) {
    std::erase_if(m_sent, [&](const auto& entry) { return entry.second.empty() || now - entry.second.back() >= m_window; });
}

bool SearchReplyBudget::Take(const std::string& address, Clock::time_point now) {
    std::lock_guard lock(m_mutex);
    auto found = m_sent.find(address);
    if (found == m_sent.end()) {
        if (m_sent.size() >= m_addressLimit)
            ForgetExpired(now);
        if (m_sent.size() >= m_addressLimit || m_repliesPerWindow <= 0)
            return false;
        found = m_sent.emplace(address, std::deque<Clock::time_point>{}).first;
    }
    auto& times = found->second;
    while (!times.empty() && now - times.front() >= m_window)
        times.pop_front();
    if (times.size() >= static_cast<std::size_t>(m_repliesPerWindow))
        return false;
    times.push_back(now);
    return true;
}
