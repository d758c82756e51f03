#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <semaphore>
#include <string>
#include <vector>

namespace halvdir {

// Address updates waiting to be committed together (group commit). Every
// client publishes its address on each start and stop, so these come in
// bursts. One thread at a time commits everything that is waiting in one
// transaction; the others sleep until their update is committed or until they
// are handed the next batch. Each is woken once, on its own semaphore, rather
// than all of them on every commit.
class IpUpdateGroup {
public:
    struct Update {
        std::int32_t id;
        std::string ip;
        // Set when no password was checked: the ID must still be unclaimed
        // when the update is applied, or it is refused.
        bool unclaimedOnly = false;
        int result = 0;
        bool done = false;
        bool failed = false;
        bool lead = false;
        std::binary_semaphore wake{0};
    };
    using Apply = std::function<void(const std::vector<Update*>&)>;

    // Queues the update and returns its result once a batch holding it was
    // applied (by this thread or another). apply sets each update's result in
    // one transaction and throws StorageError when it failed.
    int Submit(std::int32_t id, const std::string& ip, bool unclaimedOnly, const Apply& apply);

private:
    std::mutex m_lock;
    std::vector<Update*> m_pending;
    bool m_committing = false;
};

} // namespace halvdir
