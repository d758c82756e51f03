#include "app/peer/transfer/DurableCheckpoints.h"

#include <unistd.h>

DurableCheckpoints::DurableCheckpoints(int fd, Taken taken)
    : m_fd(fd)
    , m_taken(std::move(taken))
    , m_thread([this] { Run(); }) {}

DurableCheckpoints::~DurableCheckpoints() {
    {
        std::lock_guard lock(m_mutex);
        m_quit = true;
    }
    m_changed.notify_all();
    m_thread.join();
}

void DurableCheckpoints::Offer(const Sha256Checkpoint& state) {
    {
        std::lock_guard lock(m_mutex);
        m_waiting = state;
    }
    m_changed.notify_all();
}

void DurableCheckpoints::Run() {
    std::unique_lock lock(m_mutex);
    while (true) {
        m_changed.wait(lock, [&] { return m_quit || m_waiting; });
        if (!m_waiting)
            return;
        const Sha256Checkpoint state = *m_waiting;
        m_waiting.reset();
        lock.unlock();
        // Written before it was offered, so this flush covers it.
        if (fdatasync(m_fd) == 0)
            m_taken(state);
        lock.lock();
    }
}
