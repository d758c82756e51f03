#include "directory/IpUpdateGroup.h"

#include "directory/Sqlite.h"

namespace halvdir {

int IpUpdateGroup::Submit(std::int32_t id, const std::string& ip, bool unclaimedOnly,
                          const Apply& apply) {
    Update mine{id, ip, unclaimedOnly};
    {
        std::lock_guard lock(m_lock);
        m_pending.push_back(&mine);
        if (!m_committing) {
            m_committing = true;
            mine.lead = true;
        }
    }
    if (!mine.lead)
        mine.wake.acquire();
    if (!mine.done) {
        std::vector<Update*> batch;
        {
            std::lock_guard lock(m_lock);
            batch.swap(m_pending);
        }
        bool failed = false;
        try {
            apply(batch);
        } catch (const StorageError&) {
            failed = true;
        }
        Update* next = nullptr;
        {
            std::lock_guard lock(m_lock);
            for (auto* update : batch) {
                update->done = true;
                update->failed = failed;
            }
            if (m_pending.empty()) {
                m_committing = false;
            } else {
                next = m_pending.front();
                next->lead = true;
            }
        }
        // After its release an update may be gone: touch none of them again.
        for (auto* update : batch)
            if (update != &mine)
                update->wake.release();
        if (next)
            next->wake.release();
    }
    if (mine.failed)
        throw StorageError("address update failed");
    return mine.result;
}

} // namespace halvdir
