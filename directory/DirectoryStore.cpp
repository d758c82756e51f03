#include "directory/DirectoryStore.h"

#include "directory/PasswordHash.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <sqlite3.h>
#include <thread>

namespace halvdir {

namespace {

const char* const kSchema = R"sql(
CREATE TABLE IF NOT EXISTS users(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  name TEXT NOT NULL DEFAULT '',
  email TEXT UNIQUE,
  salt BLOB,
  hash BLOB,
  iterations INTEGER NOT NULL DEFAULT 0,
  ip TEXT NOT NULL DEFAULT '0.0.0.0',
  created INTEGER NOT NULL,
  updated INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS users_ip ON users(ip);
CREATE TABLE IF NOT EXISTS waiting_acquaintances(
  user_id INTEGER NOT NULL REFERENCES users(id),
  acquaintance_id INTEGER NOT NULL REFERENCES users(id),
  since INTEGER NOT NULL,
  UNIQUE(user_id, acquaintance_id));
CREATE TABLE IF NOT EXISTS random_pool(
  tos INTEGER NOT NULL,
  ip TEXT NOT NULL,
  since INTEGER NOT NULL,
  PRIMARY KEY(tos, ip)) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS random_pool_ip ON random_pool(ip);
CREATE TABLE IF NOT EXISTS system_messages(
  number INTEGER PRIMARY KEY,
  published INTEGER NOT NULL,
  title TEXT NOT NULL,
  body TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS outbox(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  sender_email TEXT NOT NULL,
  recipient TEXT NOT NULL,
  app_name TEXT NOT NULL,
  sender_name TEXT NOT NULL,
  app_url TEXT NOT NULL,
  app_id INTEGER NOT NULL,
  requested INTEGER NOT NULL,
  remote_address TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS outbox_sender ON outbox(sender_email, requested);
CREATE INDEX IF NOT EXISTS outbox_recipient ON outbox(recipient, requested);
CREATE TABLE IF NOT EXISTS versions(
  product TEXT PRIMARY KEY,
  version INTEGER NOT NULL,
  published INTEGER NOT NULL);
)sql";

std::int64_t Now() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

} // namespace

struct DirectoryStore::Statements {
    explicit Statements(sqlite3* db)
        : insertUser(db, "INSERT INTO users(created, updated) VALUES(?1, ?1) RETURNING id")
        , userIp(db, "SELECT ip, hash IS NOT NULL FROM users WHERE id = ?1")
        , setIp(db, "UPDATE users SET ip = ?2, updated = ?3 WHERE id = ?1")
        , ipInUse(db, "SELECT 1 FROM users WHERE ip = ?1 LIMIT 1")
        , dropIpFromPools(db, "DELETE FROM random_pool WHERE ip = ?1")
        , userSecret(db, "SELECT salt, hash, iterations FROM users WHERE id = ?1")
        , emailOwner(db, "SELECT id FROM users WHERE email = ?1")
        , claimProfile(db, "UPDATE users SET name = ?2, email = ?3, salt = ?4, hash = ?5, "
                           "iterations = ?6, updated = ?7 WHERE id = ?1 AND hash IS NULL")
        , changeProfile(db, "UPDATE users SET name = ?2, email = ?3, updated = ?5 "
                            "WHERE id = ?1 AND hash = ?4")
        , userExists(db, "SELECT 1 FROM users WHERE id = ?1")
        , waitingExists(db, "SELECT 1 FROM waiting_acquaintances "
                            "WHERE user_id = ?1 AND acquaintance_id = ?2")
        , waitingCount(db, "SELECT COUNT(*) FROM waiting_acquaintances WHERE user_id = ?1")
        , insertWaiting(db, "INSERT INTO waiting_acquaintances(user_id, acquaintance_id, since) "
                            "VALUES(?1, ?2, ?3)")
        , profile(db, "SELECT id, name, email, ip, hash IS NOT NULL FROM users "
                      "WHERE id = ?1 AND email IS NOT NULL")
        , waitingList(db, "SELECT acquaintance_id FROM waiting_acquaintances WHERE user_id = ?1 "
                          "ORDER BY rowid LIMIT ?2")
        , deleteWaiting(db, "DELETE FROM waiting_acquaintances WHERE user_id = ?1")
        , messageTime(db, "SELECT published, title = '' FROM system_messages WHERE number = ?1")
        , message(db, "SELECT title, body FROM system_messages WHERE number = ?1")
        , putMessage(db, "INSERT OR REPLACE INTO system_messages(number, published, title, body) "
                         "VALUES(?1, ?2, ?3, ?4)")
        , senderCount(db, "SELECT COUNT(*) FROM outbox WHERE sender_email = ?1 AND requested > ?2")
        , recipientCount(db, "SELECT COUNT(*) FROM outbox WHERE recipient = ?1 AND requested > ?2")
        , insertInvitation(db, "INSERT INTO outbox(sender_email, recipient, app_name, sender_name, "
                               "app_url, app_id, requested, remote_address) "
                               "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)")
        , outbox(db, "SELECT sender_email, recipient, app_name, sender_name, app_url, app_id, "
                     "requested, remote_address FROM outbox ORDER BY id")
        , randomIp(db, "SELECT ip FROM random_pool WHERE tos = ?1 ORDER BY random() LIMIT 1")
        , insertRandom(db, "INSERT OR IGNORE INTO random_pool(tos, ip, since) VALUES(?1, ?2, ?3)")
        , removeRandom(db, "DELETE FROM random_pool WHERE tos = ?1 AND ip = ?2")
        , version(db, "SELECT version FROM versions WHERE product = ?1")
        , putVersion(db, "INSERT OR REPLACE INTO versions(product, version, published) "
                         "VALUES(?1, ?2, ?3)")
        , users(db, "SELECT id, name, COALESCE(email, ''), ip, hash IS NOT NULL FROM users "
                    "ORDER BY id") {}

    SqliteStatement insertUser, userIp, setIp, ipInUse, dropIpFromPools, userSecret, emailOwner,
        claimProfile, changeProfile, userExists, waitingExists, waitingCount, insertWaiting,
        profile, waitingList, deleteWaiting, messageTime, message, putMessage, senderCount,
        recipientCount, insertInvitation, outbox, randomIp, insertRandom, removeRandom, version,
        putVersion, users;
};

namespace {

// Resets a statement when the scope ends, whatever happened inside.
class Using {
public:
    explicit Using(SqliteStatement& statement)
        : m_statement(statement) {
        m_statement.Reset();
    }
    ~Using() { m_statement.Reset(); }
    Using(const Using&) = delete;
    Using& operator=(const Using&) = delete;
    SqliteStatement* operator->() { return &m_statement; }

private:
    SqliteStatement& m_statement;
};

class HashPermit {
public:
    explicit HashPermit(std::counting_semaphore<>& permits)
        : m_permits(permits) {
        m_permits.acquire();
    }
    ~HashPermit() { m_permits.release(); }
    HashPermit(const HashPermit&) = delete;
    HashPermit& operator=(const HashPermit&) = delete;

private:
    std::counting_semaphore<>& m_permits;
};

} // namespace

DirectoryStore::DirectoryStore(const std::string& path, std::mutex& writeLock,
                               std::counting_semaphore<>& hashPermits, bool autoCheckpoint,
                               UserCache* cache, IpUpdateGroup* ipGroup)
    : m_connection(path)
    , m_writeLock(writeLock)
    , m_hashPermits(hashPermits)
    , m_cache(cache)
    , m_ipGroup(ipGroup) {
    {
        std::lock_guard lock(m_writeLock);
        m_connection.Exec("PRAGMA journal_mode=WAL");
        m_connection.Exec("PRAGMA synchronous=NORMAL");
        if (!autoCheckpoint)
            m_connection.Exec("PRAGMA wal_autocheckpoint=0");
        // A log that grew during a burst shrinks back once it is copied.
        m_connection.Exec("PRAGMA journal_size_limit=67108864");
        m_connection.Exec("PRAGMA foreign_keys=ON");
        m_connection.Exec(kSchema);
    }
    m_statements = std::make_unique<Statements>(m_connection.Handle());
}

DirectoryStore::~DirectoryStore() = default;

std::int32_t DirectoryStore::RegisterId() {
    std::lock_guard lock(m_writeLock);
    SqliteTransaction transaction(m_connection);
    Using insert(m_statements->insertUser);
    insert->Bind(1, Now());
    if (!insert->Step())
        throw StorageError("no ID returned");
    std::int64_t id = insert->Int(0);
    // Finish the statement before committing.
    while (insert->Step()) {
    }
    if (id < 1 || id > INT32_MAX)
        throw StorageError("the ID space is exhausted");
    transaction.Commit();
    if (m_cache)
        m_cache->Put(id, UserCache::Entry{});
    return static_cast<std::int32_t>(id);
}

int DirectoryStore::ApplyIp(std::int32_t id, const std::string& ip, bool unclaimedOnly) {
    std::string old;
    {
        Using query(m_statements->userIp);
        query->Bind(1, id);
        if (!query->Step())
            return result::kUnknownId;
        // Claimed since the caller looked without a password to check.
        if (unclaimedOnly && query->Int(1) != 0)
            return result::kRefused;
        old = query->Text(0);
    }
    {
        Using update(m_statements->setIp);
        update->Bind(1, id).Bind(2, ip).Bind(3, Now());
        update->Step();
    }
    // A user that moved or went offline no longer answers at the old address,
    // so that address leaves the random pools unless someone else still has it.
    if (old != ip && old != "0.0.0.0") {
        bool stillUsed = false;
        {
            Using used(m_statements->ipInUse);
            used->Bind(1, old);
            stillUsed = used->Step();
        }
        if (!stillUsed) {
            Using drop(m_statements->dropIpFromPools);
            drop->Bind(1, old);
            drop->Step();
        }
    }
    return result::kDone;
}

void DirectoryStore::ApplyIpBatch(const std::vector<IpUpdateGroup::Update*>& batch) {
    std::lock_guard lock(m_writeLock);
    SqliteTransaction transaction(m_connection);
    for (auto* update : batch)
        update->result = ApplyIp(update->id, update->ip, update->unclaimedOnly);
    transaction.Commit();
    if (m_cache) {
        for (auto* update : batch)
            if (update->result == result::kDone)
                m_cache->SetIp(update->id, update->ip);
    }
}

DirectoryStore::Owner DirectoryStore::CheckOwner(std::int32_t id, const std::string& password) {
    std::optional<PasswordHash> stored;
    {
        Using query(m_statements->userSecret);
        query->Bind(1, id);
        if (!query->Step())
            return Owner::kUnknown;
        if (query->IsNull(1))
            return Owner::kUnclaimed;
        stored = PasswordHash{query->Blob(0), query->Blob(1), static_cast<int>(query->Int(2))};
    }
    if (password.empty())
        return Owner::kMismatch;
    if (m_cache && m_cache->Verified().Knows(id, password))
        return Owner::kMatch;
    {
        HashPermit permit(m_hashPermits);
        if (!stored->Matches(password))
            return Owner::kMismatch;
    }
    if (m_cache)
        m_cache->Verified().Remember(id, password);
    return Owner::kMatch;
}

int DirectoryStore::UpdateIp(std::int32_t id, const std::string& ip, const std::string& password) {
    // Whoever knows an ID could otherwise point its friends at another
    // machine. The hash is checked outside the write lock; a password cannot
    // change once stored, so a match stays valid until the update commits.
    // An ID without a password must still have none when the update is
    // applied, which ApplyIp checks inside the transaction.
    Owner owner = CheckOwner(id, password);
    if (owner == Owner::kUnknown)
        return result::kUnknownId;
    if (owner == Owner::kMismatch)
        return result::kRefused;
    const bool unclaimedOnly = owner == Owner::kUnclaimed;
    if (!m_ipGroup) {
        IpUpdateGroup::Update alone{id, ip, unclaimedOnly};
        ApplyIpBatch({&alone});
        return alone.result;
    }
    // Every client publishes its address on each start and stop, so these
    // come in bursts. One thread at a time commits everything that is waiting
    // in one transaction; the others sleep until their update is committed or
    // until they are handed the next batch. Each is woken once, on its own
    // semaphore, rather than all of them on every commit.
    IpUpdateGroup& group = *m_ipGroup;
    IpUpdateGroup::Update mine{id, ip, unclaimedOnly};
    {
        std::lock_guard lock(group.lock);
        group.pending.push_back(&mine);
        if (!group.committing) {
            group.committing = true;
            mine.lead = true;
        }
    }
    if (!mine.lead)
        mine.wake.acquire();
    if (!mine.done) {
        std::vector<IpUpdateGroup::Update*> batch;
        {
            std::lock_guard lock(group.lock);
            batch.swap(group.pending);
        }
        bool failed = false;
        try {
            ApplyIpBatch(batch);
        } catch (const StorageError&) {
            failed = true;
        }
        IpUpdateGroup::Update* next = nullptr;
        {
            std::lock_guard lock(group.lock);
            for (auto* update : batch) {
                update->done = true;
                update->failed = failed;
            }
            if (group.pending.empty()) {
                group.committing = false;
            } else {
                next = group.pending.front();
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

std::optional<std::string> DirectoryStore::LookupIp(std::int32_t id) {
    if (m_cache)
        return m_cache->Ip(id);
    Using query(m_statements->userIp);
    query->Bind(1, id);
    if (!query->Step())
        return std::nullopt;
    return query->Text(0);
}

int DirectoryStore::UpdateInfo(std::int32_t id, const std::string& name, const std::string& email,
                               const std::string& password) {
    // Hashing is slow on purpose, so it runs outside the write lock; the
    // updates below only succeed while the row is as it was read here.
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::optional<PasswordHash> stored;
        {
            Using query(m_statements->userSecret);
            query->Bind(1, id);
            if (!query->Step())
                return result::kUnknownId;
            if (!query->IsNull(1)) {
                stored =
                    PasswordHash{query->Blob(0), query->Blob(1), static_cast<int>(query->Int(2))};
            }
        }
        std::optional<PasswordHash> fresh;
        {
            HashPermit permit(m_hashPermits);
            if (stored) {
                if (!stored->Matches(password))
                    return result::kRefused;
            } else {
                fresh = PasswordHash::Make(password);
            }
        }

        std::lock_guard lock(m_writeLock);
        SqliteTransaction transaction(m_connection);
        {
            Using owner(m_statements->emailOwner);
            owner->Bind(1, email);
            if (owner->Step() && owner->Int(0) != id)
                return result::kEmailTaken;
        }
        bool changed = false;
        if (fresh) {
            Using claim(m_statements->claimProfile);
            claim->Bind(1, id).Bind(2, name).Bind(3, email);
            claim->BindBlob(4, fresh->salt).BindBlob(5, fresh->hash);
            claim->Bind(6, fresh->iterations).Bind(7, Now());
            claim->Step();
            changed = m_connection.Changes() == 1;
        } else {
            Using change(m_statements->changeProfile);
            change->Bind(1, id).Bind(2, name).Bind(3, email).BindBlob(4, stored->hash);
            change->Bind(5, Now());
            change->Step();
            changed = m_connection.Changes() == 1;
        }
        if (changed) {
            transaction.Commit();
            if (m_cache)
                m_cache->SetProfile(id, name, email);
            return result::kDone;
        }
        // Someone claimed the ID between the read and the update: judge the
        // password again against what is stored now.
    }
    return result::kRefused;
}

int DirectoryStore::RegisterAcquaintance(std::int32_t contact, std::int32_t own) {
    if (contact == own)
        return result::kRefused;
    std::lock_guard lock(m_writeLock);
    SqliteTransaction transaction(m_connection);
    for (std::int32_t id : {contact, own}) {
        Using exists(m_statements->userExists);
        exists->Bind(1, id);
        if (!exists->Step())
            return result::kUnknownId;
    }
    {
        Using waiting(m_statements->waitingExists);
        waiting->Bind(1, contact).Bind(2, own);
        if (waiting->Step())
            return result::kAlreadyWaiting;
    }
    {
        Using count(m_statements->waitingCount);
        count->Bind(1, contact);
        if (count->Step() && count->Int(0) >= kMaxWaiting)
            return result::kListFull;
    }
    {
        Using insert(m_statements->insertWaiting);
        insert->Bind(1, contact).Bind(2, own).Bind(3, Now());
        insert->Step();
    }
    transaction.Commit();
    return result::kDone;
}

std::optional<UserRecord> DirectoryStore::LookupInfo(std::int32_t id) {
    if (m_cache) {
        auto entry = m_cache->Find(id);
        // A stored profile always comes with its password.
        if (!entry || entry->email.empty())
            return std::nullopt;
        return UserRecord{id, entry->name, entry->email, entry->ip, true};
    }
    Using query(m_statements->profile);
    query->Bind(1, id);
    if (!query->Step())
        return std::nullopt;
    return UserRecord{query->Int(0), query->Text(1), query->Text(2), query->Text(3),
                      query->Int(4) != 0};
}

std::vector<std::int64_t> DirectoryStore::LookupAcquaintances(std::int32_t id) {
    std::vector<std::int64_t> ids;
    Using query(m_statements->waitingList);
    query->Bind(1, id).Bind(2, kMaxWaiting);
    while (query->Step())
        ids.push_back(query->Int(0));
    return ids;
}

int DirectoryStore::DeleteAcquaintances(std::int32_t id) {
    std::lock_guard lock(m_writeLock);
    SqliteTransaction transaction(m_connection);
    {
        Using remove(m_statements->deleteWaiting);
        remove->Bind(1, id);
        remove->Step();
    }
    transaction.Commit();
    return result::kDone;
}

std::optional<std::int64_t> DirectoryStore::LookupId(const std::string& email) {
    if (m_cache)
        return m_cache->FindEmail(email);
    Using query(m_statements->emailOwner);
    query->Bind(1, email);
    if (!query->Step())
        return std::nullopt;
    return query->Int(0);
}

bool DirectoryStore::CheckPassword(std::int32_t id, const std::string& password) {
    return CheckOwner(id, password) == Owner::kMatch;
}

std::int64_t DirectoryStore::SystemMessageTime(std::int32_t number) {
    Using query(m_statements->messageTime);
    query->Bind(1, number);
    // A withdrawn message keeps its row (and time) but reads as none.
    if (!query->Step() || query->Int(1) != 0)
        return 0;
    return query->Int(0);
}

std::optional<SystemMessage> DirectoryStore::GetSystemMessage(std::int32_t number) {
    Using query(m_statements->message);
    query->Bind(1, number);
    if (!query->Step() || query->Text(0).empty())
        return std::nullopt;
    return SystemMessage{query->Text(0), query->Text(1)};
}

std::int64_t DirectoryStore::PublishSystemMessage(std::int32_t number, const std::string& title,
                                                  const std::string& text) {
    std::lock_guard lock(m_writeLock);
    SqliteTransaction transaction(m_connection);
    std::int64_t previous = 0;
    {
        Using query(m_statements->messageTime);
        query->Bind(1, number);
        if (query->Step())
            previous = query->Int(0);
    }
    // Clients hand out a message once per new time, so two publications in
    // the same second must still get different times.
    std::int64_t published = std::max(Now(), previous + 1);
    {
        Using put(m_statements->putMessage);
        put->Bind(1, number).Bind(2, published).Bind(3, title).Bind(4, text);
        put->Step();
    }
    transaction.Commit();
    return published;
}

bool DirectoryStore::QueueInvitation(const Invitation& invitation) {
    std::lock_guard lock(m_writeLock);
    SqliteTransaction transaction(m_connection);
    std::int64_t now = Now();
    {
        Using count(m_statements->senderCount);
        count->Bind(1, invitation.senderEmail).Bind(2, now - 86400);
        if (count->Step() && count->Int(0) >= kMaxInvitationsPerDay)
            return false;
    }
    {
        // Many senders must not be able to bury one mailbox either.
        Using count(m_statements->recipientCount);
        count->Bind(1, invitation.recipient).Bind(2, now - 86400);
        if (count->Step() && count->Int(0) >= kMaxInvitationsPerRecipient)
            return false;
    }
    {
        Using insert(m_statements->insertInvitation);
        insert->Bind(1, invitation.senderEmail).Bind(2, invitation.recipient);
        insert->Bind(3, invitation.appName).Bind(4, invitation.senderName);
        insert->Bind(5, invitation.appUrl).Bind(6, invitation.appId).Bind(7, now);
        insert->Bind(8, invitation.remoteAddress);
        insert->Step();
    }
    transaction.Commit();
    return true;
}

std::vector<Invitation> DirectoryStore::Outbox() {
    std::vector<Invitation> rows;
    Using query(m_statements->outbox);
    while (query->Step()) {
        rows.push_back(Invitation{query->Text(0), query->Text(1), query->Text(2), query->Text(3),
                                  query->Text(4), static_cast<std::int32_t>(query->Int(5)),
                                  query->Int(6), query->Text(7)});
    }
    return rows;
}

std::optional<std::string> DirectoryStore::RandomIp(std::int32_t tos) {
    if (tos < 0)
        return std::nullopt;
    Using query(m_statements->randomIp);
    query->Bind(1, tos);
    if (!query->Step())
        return std::nullopt;
    return query->Text(0);
}

int DirectoryStore::InsertRandomIp(std::int32_t tos, const std::string& ip) {
    // TOS numbers start at 0; a negative one would only open pools that no
    // application asks for.
    if (ip == "0.0.0.0" || tos < 0)
        return result::kRefused;
    std::lock_guard lock(m_writeLock);
    SqliteTransaction transaction(m_connection);
    {
        Using insert(m_statements->insertRandom);
        insert->Bind(1, tos).Bind(2, ip).Bind(3, Now());
        insert->Step();
    }
    transaction.Commit();
    return result::kDone;
}

int DirectoryStore::RemoveRandomIp(std::int32_t tos, const std::string& ip) {
    std::lock_guard lock(m_writeLock);
    SqliteTransaction transaction(m_connection);
    int removed = 0;
    {
        Using remove(m_statements->removeRandom);
        remove->Bind(1, tos).Bind(2, ip);
        remove->Step();
        removed = m_connection.Changes();
    }
    transaction.Commit();
    return removed > 0 ? result::kDone : result::kNothing;
}

std::optional<std::int64_t> DirectoryStore::LatestVersion(const std::string& product) {
    Using query(m_statements->version);
    query->Bind(1, product);
    if (!query->Step())
        return std::nullopt;
    return query->Int(0);
}

void DirectoryStore::SetVersion(const std::string& product, std::int64_t version) {
    std::lock_guard lock(m_writeLock);
    SqliteTransaction transaction(m_connection);
    {
        Using put(m_statements->putVersion);
        put->Bind(1, product).Bind(2, version).Bind(3, Now());
        put->Step();
    }
    transaction.Commit();
}

std::vector<UserRecord> DirectoryStore::Users() {
    std::vector<UserRecord> rows;
    Using query(m_statements->users);
    while (query->Step()) {
        rows.push_back(UserRecord{query->Int(0), query->Text(1), query->Text(2), query->Text(3),
                                  query->Int(4) != 0});
    }
    return rows;
}

StorePool::StorePool(std::string path, bool serving)
    : m_path(std::move(path))
    , m_hashPermits(std::max<std::ptrdiff_t>(1, std::thread::hardware_concurrency()))
    , m_serving(serving) {
    // SQLite's allocation statistics take one process-wide lock on every
    // allocation, which all request threads would queue on. Only possible
    // before SQLite is first used; later calls fail harmlessly.
    sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
    // Open one store now so that a bad path or a broken file fails at start.
    m_idle.push_back(
        std::make_unique<DirectoryStore>(m_path, m_writeLock, m_hashPermits, !m_serving));
    if (m_serving) {
        auto cache = std::make_unique<UserCache>();
        for (auto& user : m_idle.back()->Users())
            cache->Put(user.id, UserCache::Entry{std::move(user.name), std::move(user.email),
                                                 std::move(user.ip)});
        m_cache = std::move(cache);
        // The first store was made before the cache was filled.
        m_idle.clear();
        m_ipGroup = std::make_unique<IpUpdateGroup>();
        m_idle.push_back(std::make_unique<DirectoryStore>(m_path, m_writeLock, m_hashPermits, false,
                                                          m_cache.get(), m_ipGroup.get()));
        m_checkpointer = std::thread([this] { CheckpointLoop(); });
    }
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
                connection = std::make_unique<SqliteConnection>(m_path);
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
        std::lock_guard lock(m_idleLock);
        if (!m_idle.empty()) {
            auto store = std::move(m_idle.back());
            m_idle.pop_back();
            return Lease(*this, std::move(store));
        }
    }
    return Lease(*this,
                 std::make_unique<DirectoryStore>(m_path, m_writeLock, m_hashPermits, !m_serving,
                                                  m_cache.get(), m_ipGroup.get()));
}

void StorePool::Give(std::unique_ptr<DirectoryStore> store) {
    if (!store)
        return;
    std::lock_guard lock(m_idleLock);
    m_idle.push_back(std::move(store));
}

} // namespace halvdir
