#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace platform {

// Serves a listener's connections side by side: each admitted connection's job
// runs on a worker of its own, with at most a fixed number of jobs at once in
// all and a smaller number per peer address. A connection over either bound is
// refused at once (the caller closes it), never queued: a queue would make the
// next honest client wait behind whoever holds the workers, and the per-address
// bound keeps one address from holding them all.
//
// Workers start when first needed and stay until Close. Jobs must end promptly
// once their owner's stop flag is cleared, since Close waits for them.
class ConnectionPool {
public:
    struct Bounds {
        std::size_t workers = 32;
        std::size_t perAddress = 8;
    };

    explicit ConnectionPool(Bounds bounds);
    // Closes the pool.
    ~ConnectionPool();
    ConnectionPool(const ConnectionPool&) = delete;
    ConnectionPool& operator=(const ConnectionPool&) = delete;

    // Hands job to a free worker, counted against address until it returns.
    // False (job dropped) when the pool or the address is at its bound, when no
    // worker could be started, or after Close. Called by the accepting thread.
    bool TryRun(const std::string& address, std::function<void()> job);
    // Refuses new jobs, waits for the admitted ones and ends the workers. Not
    // from one of the pool's own jobs.
    void Close();

    // Jobs admitted and not yet returned, in all and for one address.
    std::size_t Running() const;
    std::size_t RunningFor(const std::string& address) const;

private:
    struct Job {
        std::string address;
        std::function<void()> work;
    };

    void WorkerLoop();

    const Bounds m_bounds;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Job> m_jobs;
    std::map<std::string, std::size_t> m_perAddress;
    std::vector<std::thread> m_threads;
    std::size_t m_running = 0;
    std::size_t m_idle = 0;
    bool m_closed = false;
};

} // namespace platform
