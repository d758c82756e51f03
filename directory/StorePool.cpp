#include "directory/DirectoryStore.h"
#include "directory/PostgresStore.h"
#include "directory/SqliteStore.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <sqlite3.h>

namespace halvdir {

bool StorePool::IsPostgresLocation(const std::string& location) {
    return location.starts_with("postgresql://") || location.starts_with("postgres://");
}

StorePool::StorePool(std::string location, bool serving)
    : m_location(std::move(location))
    , m_postgres(IsPostgresLocation(m_location))
    , m_hashPermits(std::max<std::ptrdiff_t>(1, std::thread::hardware_concurrency()))
    , m_serving(serving)
    , m_maxOpen(m_postgres ? kMaxConnections : SIZE_MAX) {
    if (!m_postgres) {
        // SQLite's allocation statistics take one process-wide lock on every
        // allocation, which all request threads would queue on. Only possible
        // before SQLite is first used; later calls fail harmlessly.
        sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
    }
    // Open one store now so that a bad location, a refused connection or a
    // broken file fails at start; it also creates or upgrades the schema.
    auto first = Open(!m_serving, true);
    if (m_serving) {
        m_verified = std::make_unique<VerifiedPasswords>();
        m_ipGroup = std::make_unique<IpUpdateGroup>();
        if (!m_postgres) {
            auto cache = std::make_unique<UserCache>();
            for (auto& user : first->Users())
                cache->Put(user.id, UserCache::Entry{std::move(user.name), std::move(user.email),
                                                     std::move(user.ip)});
            m_cache = std::move(cache);
            m_checkpointer = std::thread([this] { CheckpointLoop(); });
        }
        // The first store was made before the shared state existed.
        first = Open(false);
    }
    m_idle.push_back(std::move(first));
    m_open = 1;
}

StorePool::~StorePool() {
    {
        std::lock_guard lock(m_stopLock);
        m_stop = true;
    }
    m_stopSignal.notify_all();
    if (m_checkpointer.joinable())
        m_checkpointer.join();
}

std::unique_ptr<DirectoryStore> StorePool::Open(bool autoCheckpoint, bool first) {
    if (m_postgres)
        return std::make_unique<PostgresStore>(m_location, m_hashPermits, m_verified.get(),
                                               m_ipGroup.get(), first);
    return std::make_unique<SqliteStore>(m_location, m_writeLock, m_hashPermits, autoCheckpoint,
                                         m_cache.get(), m_verified.get(), m_ipGroup.get());
}

void StorePool::CheckpointLoop() {
    std::unique_ptr<SqliteConnection> connection;
    std::unique_lock lock(m_stopLock);
    while (!m_stop) {
        m_stopSignal.wait_for(lock, std::chrono::seconds(1), [this] { return m_stop; });
        if (m_stop)
            break;
        lock.unlock();
        try {
            if (!connection) {
                connection = std::make_unique<SqliteConnection>(m_location);
                // A connection only knows that the file is in WAL mode once
                // it has looked; until then a checkpoint does nothing.
                connection->Exec("PRAGMA journal_mode=WAL");
            }
            // The bulk of the copying runs beside the writers. Then, for a
            // moment without writers, the rest, so that the log is copied
            // completely and the next writer starts it again from the top;
            // under steady writes it would otherwise only ever grow.
            sqlite3_wal_checkpoint_v2(connection->Handle(), nullptr, SQLITE_CHECKPOINT_PASSIVE,
                                      nullptr, nullptr);
            std::lock_guard writers(m_writeLock);
            sqlite3_wal_checkpoint_v2(connection->Handle(), nullptr, SQLITE_CHECKPOINT_PASSIVE,
                                      nullptr, nullptr);
        } catch (const StorageError&) {
            // Try again with a fresh connection next round.
            connection.reset();
        }
        lock.lock();
    }
}

StorePool::Lease StorePool::Take() {
    {
        std::unique_lock lock(m_idleLock);
        m_storeReturned.wait(lock, [this] { return !m_idle.empty() || m_open < m_maxOpen; });
        if (!m_idle.empty()) {
            auto store = std::move(m_idle.back());
            m_idle.pop_back();
            return Lease(*this, std::move(store));
        }
        ++m_open;
    }
    try {
        auto store = Open(!m_serving);
        if (!m_reachable.exchange(true)) {
            std::fprintf(stderr, "halvdir: the database is reachable again\n");
            std::fflush(stderr);
        }
        return Lease(*this, std::move(store));
    } catch (const StorageError& error) {
        Closed();
        NoteUnreachable(error.what());
        throw;
    }
}

void StorePool::Closed() {
    {
        std::lock_guard lock(m_idleLock);
        --m_open;
    }
    m_storeReturned.notify_one();
}

void StorePool::NoteUnreachable(const std::string& why) {
    if (m_reachable.exchange(false)) {
        std::fprintf(stderr, "halvdir: lost the database: %s\n", why.c_str());
        std::fflush(stderr);
    }
}

void StorePool::Give(std::unique_ptr<DirectoryStore> store) {
    if (!store)
        return;
    // A store whose connection broke is dropped; the next request opens a
    // fresh one, so the service recovers by itself once the database is back.
    if (!store->Healthy()) {
        NoteUnreachable(store->LastError());
        // The idle ones lost the same server: drop them too, rather than
        // fail one request each once the server is back.
        std::vector<std::unique_ptr<DirectoryStore>> stale;
        {
            std::lock_guard lock(m_idleLock);
            stale.swap(m_idle);
            m_open -= stale.size() + 1;
        }
        m_storeReturned.notify_all();
        return;
    }
    {
        std::lock_guard lock(m_idleLock);
        m_idle.push_back(std::move(store));
    }
    m_storeReturned.notify_one();
}

} // namespace halvdir
