#include "platform/ConnectionPool.h"

#include <system_error>

namespace platform {

ConnectionPool::ConnectionPool(Bounds bounds)
    : m_bounds(bounds) {}

ConnectionPool::~ConnectionPool() {
    Close();
}

bool ConnectionPool::TryRun(const std::string& address, std::function<void()> job) {
    std::lock_guard lock(m_mutex);
    auto& forAddress = m_perAddress[address];
    if (m_closed || m_running >= m_bounds.workers || forAddress >= m_bounds.perAddress) {
        if (forAddress == 0)
            m_perAddress.erase(address);
        return false;
    }
    // Admitted jobs never outnumber the workers, so a job waits in the queue
    // only until the worker woken (or started) for it takes it.
    if (m_idle <= m_jobs.size()) {
        try {
            m_threads.emplace_back(&ConnectionPool::WorkerLoop, this);
        } catch (const std::system_error&) {
            if (forAddress == 0)
                m_perAddress.erase(address);
            return false;
        }
    }
    ++forAddress;
    ++m_running;
    m_jobs.push_back({address, std::move(job)});
    m_wake.notify_one();
    return true;
}

void ConnectionPool::WorkerLoop() {
    std::unique_lock lock(m_mutex);
    while (true) {
        ++m_idle;
        m_wake.wait(lock, [this] { return m_closed || !m_jobs.empty(); });
        --m_idle;
        if (m_jobs.empty())
            return;
        Job job = std::move(m_jobs.front());
        m_jobs.pop_front();
        lock.unlock();
        try {
            job.work();
        } catch (...) {
            // One failed connection never ends a worker.
        }
        // The job's captures (its connection) go before its room is given back.
        job.work = nullptr;
        lock.lock();
        --m_running;
        if (auto found = m_perAddress.find(job.address);
            found != m_perAddress.end() && --found->second == 0)
            m_perAddress.erase(found);
    }
}

void ConnectionPool::Close() {
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(m_mutex);
        m_closed = true;
        threads.swap(m_threads);
    }
    m_wake.notify_all();
    for (auto& thread : threads)
        thread.join();
}

std::size_t ConnectionPool::Running() const {
    std::lock_guard lock(m_mutex);
    return m_running;
}

std::size_t ConnectionPool::RunningFor(const std::string& address) const {
    std::lock_guard lock(m_mutex);
    auto found = m_perAddress.find(address);
    return found == m_perAddress.end() ? 0 : found->second;
}

} // namespace platform
