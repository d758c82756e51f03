#include "app/peer/transfer/GrowingFileHash.h"

#include <algorithm>

namespace {
// Hashed in pieces at least this large, so the thread wakes rarely.
constexpr std::uint64_t kBatch = 4 * 1024 * 1024;
} // namespace

GrowingFileHash::GrowingFileHash(int fd, const std::atomic<bool>& running)
    : m_fd(fd)
    , m_running(running)
    , m_thread([this] { Run(); }) {}

GrowingFileHash::~GrowingFileHash() {
    {
        std::lock_guard lock(m_mutex);
        m_quit = true;
    }
    m_givenUp = true;
    m_changed.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void GrowingFileHash::Written(std::uint64_t upTo) {
    {
        std::lock_guard lock(m_mutex);
        // Less than a batch is not worth a wake-up; Finish catches up.
        if (upTo <= m_ready || upTo - m_ready < kBatch)
            return;
        m_ready = upTo;
    }
    m_changed.notify_all();
}

std::optional<Sha256::Digest> GrowingFileHash::Finish(std::uint64_t size) {
    std::unique_lock lock(m_mutex);
    m_ready = std::max(m_ready, size);
    m_final = true;
    m_changed.notify_all();
    m_changed.wait(lock, [&] { return m_failed || m_quit || m_hashed >= size; });
    const bool done = !m_failed && m_hashed >= size;
    lock.unlock();
    if (m_thread.joinable())
        m_thread.join();
    if (!done)
        return std::nullopt;
    return m_hash.Finish();
}

void GrowingFileHash::Run() {
    auto keepGoing = [this] { return m_running.load() && !m_givenUp.load(); };
    std::unique_lock lock(m_mutex);
    while (true) {
        m_changed.wait(lock, [&] {
            return m_quit || m_ready > m_hashed || !m_running.load() ||
                   (m_final && m_hashed >= m_ready);
        });
        if (m_quit || !m_running.load()) {
            m_failed = true;
            break;
        }
        if (m_final && m_hashed >= m_ready)
            break;
        const std::uint64_t from = m_hashed;
        const std::uint64_t to = m_ready;
        lock.unlock();
        const bool read = Sha256::AddFileRange(m_hash, m_fd, from, to - from, keepGoing);
        lock.lock();
        if (!read) {
            m_failed = true;
            break;
        }
        m_hashed = to;
    }
    lock.unlock();
    m_changed.notify_all();
}
