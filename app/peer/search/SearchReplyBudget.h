#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>

// What the search server may send one address within a sliding window: so
// many replies and so many results in all. A request names the address its
// results go to, and nothing proves the sender lives there: without a budget
// a stream of small requests would turn this computer into a flood towards
// somebody else. Counting results as well as replies lets a person's many
// small searches through while a flood of full replies is held back. Any
// thread.
class SearchReplyBudget {
public:
    using Clock = std::chrono::steady_clock;

    struct Limits {
        std::size_t replies = 0;
        std::size_t results = 0;
        Clock::duration window{};
        // Addresses remembered at once; while that many have had replies
        // within the window, a new address gets none.
        std::size_t addresses = 0;
    };

    explicit SearchReplyBudget(Limits limits);

    // Whether address may be sent a reply at now at all.
    bool HasRoom(const std::string& address, Clock::time_point now = Clock::now());
    // Counts one reply to address that would hold wanted results; gives how
    // many of them it may hold (0: the reply does not go, and is not counted).
    std::size_t Take(const std::string& address, std::size_t wanted,
                     Clock::time_point now = Clock::now());

private:
    struct Sent {
        Clock::time_point at;
        std::size_t results = 0;
    };
    struct Spent {
        std::deque<Sent> sent; // oldest first, all within the window
        std::size_t results = 0;
    };

    // The address's spending with what left the window dropped; null when the
    // address is new and no room is left to remember it.
    Spent* SpentBy(const std::string& address, Clock::time_point now);
    std::size_t Room(const Spent& spent) const;

    const Limits m_limits;
    std::mutex m_mutex;
    std::unordered_map<std::string, Spent> m_spent;
};
