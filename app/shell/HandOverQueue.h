#pragma once

#include <algorithm>
#include <cstddef>
#include <deque>
#include <iterator>
#include <mutex>
#include <vector>

// Items handed from worker threads to the user-interface thread in batches.
// A worker pushes under a short lock and never waits; the first push after a
// drain asks its caller to post one drain, and a drain that leaves items
// behind asks for the next.
template <typename Item>
class HandOverQueue {
public:
    // Runs adjust(queue) under the lock (to drop what the new item makes
    // useless), then appends the item. True when the caller must post a drain.
    template <typename Adjust>
    bool Push(Item item, Adjust adjust) {
        std::lock_guard lock(m_mutex);
        adjust(m_queue);
        m_queue.push_back(std::move(item));
        const bool post = !m_drainPosted;
        m_drainPosted = true;
        return post;
    }

    // The oldest items, at most limit; more is true when the caller must post
    // another drain for the rest.
    std::vector<Item> Take(std::size_t limit, bool& more) {
        std::vector<Item> taken;
        std::lock_guard lock(m_mutex);
        const auto count = static_cast<std::ptrdiff_t>(std::min(m_queue.size(), limit));
        taken.reserve(static_cast<std::size_t>(count));
        std::move(m_queue.begin(), m_queue.begin() + count, std::back_inserter(taken));
        m_queue.erase(m_queue.begin(), m_queue.begin() + count);
        more = !m_queue.empty();
        m_drainPosted = more;
        return taken;
    }

private:
    std::mutex m_mutex;
    std::deque<Item> m_queue;
    bool m_drainPosted = false;
};
