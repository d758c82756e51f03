#include "ContactCallQueue.h"

#include <system_error>

ContactCallQueue::~ContactCallQueue() {
    Close();
}

void ContactCallQueue::RunQuietly(const Job& job) {
    try {
        job();
    } catch (...) {
        // One contact's failure is that job's business alone.
    }
}

void ContactCallQueue::Post(Job job) {
    {
        std::unique_lock lock(m_lock);
        if (!m_closed) {
            if (!m_thread.joinable()) {
                try {
                    m_thread = std::thread([this] { Serve(); });
                } catch (const std::system_error&) {
                    lock.unlock();
                    RunQuietly(job);
                    lock.lock();
                    ++m_completed;
                    m_changed.notify_all();
                    return;
                }
            }
            m_jobs.push_back(std::move(job));
            m_changed.notify_all();
            return;
        }
    }
    RunQuietly(job);
    std::lock_guard lock(m_lock);
    ++m_completed;
    m_changed.notify_all();
}

void ContactCallQueue::Serve() {
    std::unique_lock lock(m_lock);
    for (;;) {
        m_changed.wait(lock, [this] { return m_closed || !m_jobs.empty(); });
        if (m_jobs.empty())
            return;
        Job job = std::move(m_jobs.front());
        m_jobs.pop_front();
        m_running = true;
        lock.unlock();
        RunQuietly(job);
        lock.lock();
        m_running = false;
        ++m_completed;
        m_changed.notify_all();
    }
}

void ContactCallQueue::WaitUntilIdle() {
    std::unique_lock lock(m_lock);
    m_changed.wait(lock, [this] { return m_jobs.empty() && !m_running; });
}

void ContactCallQueue::Close() {
    std::thread thread;
    {
        std::lock_guard lock(m_lock);
        m_closed = true;
        m_changed.notify_all();
        thread = std::move(m_thread);
    }
    // The thread empties the queue before it ends.
    if (thread.joinable() && thread.get_id() != std::this_thread::get_id())
        thread.join();
    else if (thread.joinable())
        thread.detach();
}

int ContactCallQueue::Completed() const {
    std::lock_guard lock(m_lock);
    return m_completed;
}
