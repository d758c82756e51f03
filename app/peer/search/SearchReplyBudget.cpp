#include "app/peer/search/SearchReplyBudget.h"

#include <algorithm>

SearchReplyBudget::SearchReplyBudget(Limits limits)
    : m_limits(limits) {}

SearchReplyBudget::Spent* SearchReplyBudget::SpentBy(const std::string& address,
                                                     Clock::time_point now) {
    const auto expired = [&](const Sent& sent) { return now - sent.at >= m_limits.window; };
    auto found = m_spent.find(address);
    if (found == m_spent.end()) {
        if (m_spent.size() >= m_limits.addresses)
            std::erase_if(m_spent, [&](const auto& entry) {
                return entry.second.sent.empty() || expired(entry.second.sent.back());
            });
        if (m_spent.size() >= m_limits.addresses)
            return nullptr;
        found = m_spent.emplace(address, Spent{}).first;
    }
    Spent& spent = found->second;
    while (!spent.sent.empty() && expired(spent.sent.front())) {
        spent.results -= spent.sent.front().results;
        spent.sent.pop_front();
    }
    return &spent;
}

std::size_t SearchReplyBudget::Room(const Spent& spent) const {
    if (spent.sent.size() >= m_limits.replies || spent.results >= m_limits.results)
        return 0;
    return m_limits.results - spent.results;
}

bool SearchReplyBudget::HasRoom(const std::string& address, Clock::time_point now) {
    std::lock_guard lock(m_mutex);
    const Spent* spent = SpentBy(address, now);
    return spent && Room(*spent) > 0;
}

std::size_t SearchReplyBudget::Take(const std::string& address, std::size_t wanted,
                                    Clock::time_point now) {
    std::lock_guard lock(m_mutex);
    Spent* spent = SpentBy(address, now);
    if (!spent)
        return 0;
    const std::size_t granted = std::min(wanted, Room(*spent));
    if (granted == 0)
        return 0;
    spent->sent.push_back({now, granted});
    spent->results += granted;
    return granted;
}
