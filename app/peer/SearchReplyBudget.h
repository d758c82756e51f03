#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>

// How many search replies one address may be sent within a sliding window. A
// request names the address its results go to, and nothing proves the sender
// lives there: without a budget a stream of small requests would turn this
// computer into a flood towards somebody else. Any thread.
class SearchReplyBudget {
public:
    using Clock = std::chrono::steady_clock;

    // addressLimit bounds the addresses remembered at once; while that many
    // have had replies within the window, a new address gets none.
    SearchReplyBudget(int repliesPerWindow, Clock::duration window, std::size_t addressLimit);

    // True, and counted, when address may be sent one more reply at now.
    bool Take(const std::string& address, Clock::time_point now = Clock::now());

private:
    void ForgetExpired(Clock::time_point now);

    const int m_repliesPerWindow;
    const Clock::duration m_window;
    const std::size_t m_addressLimit;
    std::mutex m_mutex;
    // The times of the replies within the window, oldest first.
    std::unordered_map<std::string, std::deque<Clock::time_point>> m_sent;
};
