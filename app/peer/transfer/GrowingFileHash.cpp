#include "app/peer/transfer/GrowingFileHash.h"

#include <algorithm>
#include <unistd.h>

namespace {
// Hashed in pieces at least this large, so the thread wakes rarely.
constexpr std::uint64_t kBatch = 4 * 1024 * 1024;
} // namespace

GrowingFileHash::GrowingFileHash(int fd, const std::atomic<bool>& running, GrowingHashStart start)
    : m_fd(fd)
    , m_running(running)
    , m_every(std::max<std::uint64_t>(64, start.every / 64 * 64)) {
    if (start.from && m_hash.Restore(*start.from))
        m_startedAt = start.from->bytes;
    m_ready = m_hashed = m_startedAt;
    if (start.taken)
        m_checkpoints.emplace(fd, std::move(start.taken));
    m_thread = std::thread([this] { Run(); });
}

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

bool GrowingFileHash::HashRange(std::uint64_t from, std::uint64_t to) {
    auto keepGoing = [this] { return m_running.load() && !m_givenUp.load(); };
    while (from < to) {
        const std::uint64_t mark = (from / m_every + 1) * m_every;
        const std::uint64_t end = std::min(to, mark);
        if (!Sha256::AddFileRange(m_hash, m_fd, from, end - from, keepGoing))
            return false;
        from = end;
        if (from == mark && m_checkpoints)
            if (const auto state = m_hash.Save())
                m_checkpoints->Offer(*state);
    }
    return true;
}

void GrowingFileHash::Run() {
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
        const bool read = HashRange(from, to);
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
