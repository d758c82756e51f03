#pragma once

#include "directory/DirectoryStore.h"
#include "directory/SmtpSender.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace halvdir {

// What the delivery needs of the outbox. The claim hands out entries that are
// not sent, whose next attempt is due and whose lease has ended, and leases
// them until leaseUntil in the same step, so that several directory processes
// on one database never send one entry twice.
class InvitationOutbox {
public:
    virtual ~InvitationOutbox() = default;
    virtual std::vector<QueuedInvitation> Claim(std::int64_t now, int max, std::int64_t leaseUntil,
                                                const std::string& claimer) = 0;
    virtual void MarkSent(std::int64_t id, std::int64_t when) = 0;
    // Counts one more attempt and waits until nextAttempt.
    virtual void Defer(std::int64_t id, std::int64_t nextAttempt, const std::string& error) = 0;
};

// The outbox of the directory's database, through a store of the pool for
// each call.
class StoreOutbox : public InvitationOutbox {
public:
    explicit StoreOutbox(StorePool& pool)
        : m_pool(pool) {}
    std::vector<QueuedInvitation> Claim(std::int64_t now, int max, std::int64_t leaseUntil,
                                        const std::string& claimer) override {
        return m_pool.Take()->ClaimDueInvitations(now, max, leaseUntil, claimer);
    }
    void MarkSent(std::int64_t id, std::int64_t when) override {
        m_pool.Take()->MarkInvitationSent(id, when);
    }
    void Defer(std::int64_t id, std::int64_t nextAttempt, const std::string& error) override {
        m_pool.Take()->DeferInvitation(id, nextAttempt, error);
    }

private:
    StorePool& m_pool;
};

// The thread that mails the outbox: it claims due entries, sends each, marks
// what went out and puts off what did not, waiting longer after each failure.
class InvitationDelivery {
public:
    struct Timing {
        // The wait after the first failure; it doubles with each further one.
        std::chrono::seconds firstRetry{30};
        std::chrono::seconds maxRetry{3600};
        // How often the outbox is looked at for new entries.
        std::chrono::seconds poll{5};
    };
    // Entries claimed at once; their lease covers sending them all.
    static constexpr int kBatch = 5;
    // After this many failures an entry is given up (about a day at the
    // longest wait).
    static constexpr int kMaxAttempts = 30;
    // An invitation not mailed within this time of its recording is given up:
    // the inviter has long moved on, and entries recorded before this
    // directory mailed anything may have been mailed by hand.
    static constexpr std::chrono::hours kMaxAge{24 * 7};
    // The time of an entry given up: it never comes due again.
    static constexpr std::int64_t kNever = 253402300799; // 9999-12-31

    InvitationDelivery(InvitationOutbox& outbox, SmtpSettings settings, Timing timing);
    ~InvitationDelivery();
    InvitationDelivery(const InvitationDelivery&) = delete;
    InvitationDelivery& operator=(const InvitationDelivery&) = delete;

    void Start();
    // Ends the thread promptly, aborting a message under way.
    void Stop();

    // The wait before the next attempt of an entry that failed attempts times
    // (this failure included).
    static std::chrono::seconds RetryDelay(const Timing& timing, int attempts);

private:
    void Loop();
    // False when the stop flag ended the batch.
    bool Deliver(SmtpSender& sender, const QueuedInvitation& entry);
    bool WaitFor(std::chrono::seconds wait);

    InvitationOutbox& m_outbox;
    SmtpSettings m_settings;
    Timing m_timing;
    std::string m_claimer;
    std::atomic<bool> m_stop{false};
    std::mutex m_lock;
    std::condition_variable m_wake;
    std::thread m_thread;
};

} // namespace halvdir
