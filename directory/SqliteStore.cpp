#include "directory/SqliteStore.h"

#include "directory/SqliteSchema.h"

#include <algorithm>
#include <sqlite3.h>

namespace halvdir {

struct SqliteStore::Statements {
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
                    "ORDER BY id")
        , claimDue(db, "UPDATE outbox SET lease_until = ?3, claimer = ?4 WHERE id IN "
                       "(SELECT id FROM outbox WHERE sent IS NULL AND next_attempt <= ?1 "
                       "AND lease_until <= ?1 ORDER BY id LIMIT ?2) "
                       "RETURNING sender_email, recipient, app_name, sender_name, app_url, "
                       "app_id, requested, remote_address, id, attempts")
        , markSent(db, "UPDATE outbox SET sent = ?2, lease_until = 0 WHERE id = ?1")
        , defer(db, "UPDATE outbox SET attempts = attempts + 1, next_attempt = ?2, "
                    "last_error = ?3, lease_until = 0 WHERE id = ?1 AND sent IS NULL") {}

    SqliteStatement insertUser, userIp, setIp, ipInUse, dropIpFromPools, userSecret, emailOwner,
        claimProfile, changeProfile, userExists, waitingExists, waitingCount, insertWaiting,
        profile, waitingList, deleteWaiting, messageTime, message, putMessage, senderCount,
        recipientCount, insertInvitation, outbox, randomIp, insertRandom, removeRandom, version,
        putVersion, users, claimDue, markSent, defer;
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

} // namespace

SqliteStore::SqliteStore(const std::string& path, std::mutex& writeLock,
                         std::counting_semaphore<>& hashPermits, bool autoCheckpoint,
                         UserCache* cache, VerifiedPasswords* verified, IpUpdateGroup* ipGroup)
    : DirectoryStore(hashPermits, verified, ipGroup)
    , m_connection(path)
    , m_writeLock(writeLock)
    , m_cache(cache) {
    {
        std::lock_guard lock(m_writeLock);
        m_connection.Exec("PRAGMA journal_mode=WAL");
        m_connection.Exec("PRAGMA synchronous=NORMAL");
        if (!autoCheckpoint)
            m_connection.Exec("PRAGMA wal_autocheckpoint=0");
        // A log that grew during a burst shrinks back once it is copied.
        m_connection.Exec("PRAGMA journal_size_limit=67108864");
        m_connection.Exec("PRAGMA foreign_keys=ON");
        UpgradeSqliteSchema(m_connection);
    }
    m_statements = std::make_unique<Statements>(m_connection.Handle());
}

SqliteStore::~SqliteStore() = default;

std::int32_t SqliteStore::RegisterId() {
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

int SqliteStore::ApplyIp(std::int32_t id, const std::string& ip, bool unclaimedOnly) {
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

void SqliteStore::ApplyIpBatch(const std::vector<IpUpdateGroup::Update*>& batch) {
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

SqliteStore::Secret SqliteStore::ReadSecret(std::int32_t id) {
    Using query(m_statements->userSecret);
    query->Bind(1, id);
    if (!query->Step())
        return Secret{};
    if (query->IsNull(1))
        return Secret{true, std::nullopt};
    return Secret{true,
                  PasswordHash{query->Blob(0), query->Blob(1), static_cast<int>(query->Int(2))}};
}

std::optional<std::string> SqliteStore::LookupIp(std::int32_t id) {
    if (m_cache)
        return m_cache->Ip(id);
    Using query(m_statements->userIp);
    query->Bind(1, id);
    if (!query->Step())
        return std::nullopt;
    return query->Text(0);
}

SqliteStore::ProfileWrite SqliteStore::WriteProfile(std::int32_t id, const std::string& name,
                                                    const std::string& email,
                                                    const PasswordHash* fresh,
                                                    const PasswordHash* stored) {
    std::lock_guard lock(m_writeLock);
    SqliteTransaction transaction(m_connection);
    {
        Using owner(m_statements->emailOwner);
        owner->Bind(1, email);
        if (owner->Step() && owner->Int(0) != id)
            return ProfileWrite::kEmailTaken;
    }
    if (fresh) {
        Using claim(m_statements->claimProfile);
        claim->Bind(1, id).Bind(2, name).Bind(3, email);
        claim->BindBlob(4, fresh->salt).BindBlob(5, fresh->hash);
        claim->Bind(6, fresh->iterations).Bind(7, Now());
        claim->Step();
    } else {
        Using change(m_statements->changeProfile);
        change->Bind(1, id).Bind(2, name).Bind(3, email).BindBlob(4, stored->hash);
        change->Bind(5, Now());
        change->Step();
    }
    if (m_connection.Changes() != 1)
        return ProfileWrite::kRowChanged;
    transaction.Commit();
    if (m_cache)
        m_cache->SetProfile(id, name, email);
    return ProfileWrite::kDone;
}

int SqliteStore::RegisterAcquaintance(std::int32_t contact, std::int32_t own) {
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

std::optional<UserRecord> SqliteStore::LookupInfo(std::int32_t id) {
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

std::vector<std::int64_t> SqliteStore::LookupAcquaintances(std::int32_t id) {
    std::vector<std::int64_t> ids;
    Using query(m_statements->waitingList);
    query->Bind(1, id).Bind(2, kMaxWaiting);
    while (query->Step())
        ids.push_back(query->Int(0));
    return ids;
}

int SqliteStore::DeleteAcquaintances(std::int32_t id) {
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

std::optional<std::int64_t> SqliteStore::LookupId(const std::string& email) {
    if (m_cache)
        return m_cache->FindEmail(email);
    Using query(m_statements->emailOwner);
    query->Bind(1, email);
    if (!query->Step())
        return std::nullopt;
    return query->Int(0);
}

std::int64_t SqliteStore::SystemMessageTime(std::int32_t number) {
    Using query(m_statements->messageTime);
    query->Bind(1, number);
    // A withdrawn message keeps its row (and time) but reads as none.
    if (!query->Step() || query->Int(1) != 0)
        return 0;
    return query->Int(0);
}

std::optional<SystemMessage> SqliteStore::GetSystemMessage(std::int32_t number) {
    Using query(m_statements->message);
    query->Bind(1, number);
    if (!query->Step() || query->Text(0).empty())
        return std::nullopt;
    return SystemMessage{query->Text(0), query->Text(1)};
}

std::int64_t SqliteStore::PublishSystemMessage(std::int32_t number, const std::string& title,
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

bool SqliteStore::QueueInvitation(const Invitation& invitation) {
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

std::vector<Invitation> SqliteStore::Outbox() {
    std::vector<Invitation> rows;
    Using query(m_statements->outbox);
    while (query->Step()) {
        rows.push_back(Invitation{query->Text(0), query->Text(1), query->Text(2), query->Text(3),
                                  query->Text(4), static_cast<std::int32_t>(query->Int(5)),
                                  query->Int(6), query->Text(7)});
    }
    return rows;
}

std::vector<QueuedInvitation> SqliteStore::ClaimDueInvitations(std::int64_t now, int max,
                                                               std::int64_t leaseUntil,
                                                               const std::string& claimer) {
    std::vector<QueuedInvitation> claimed;
    if (max <= 0)
        return claimed;
    std::lock_guard lock(m_writeLock);
    SqliteTransaction transaction(m_connection);
    {
        Using claim(m_statements->claimDue);
        claim->Bind(1, now).Bind(2, max).Bind(3, leaseUntil).Bind(4, claimer);
        while (claim->Step()) {
            QueuedInvitation entry;
            static_cast<Invitation&>(entry) =
                Invitation{claim->Text(0), claim->Text(1), claim->Text(2),
                           claim->Text(3), claim->Text(4), static_cast<std::int32_t>(claim->Int(5)),
                           claim->Int(6),  claim->Text(7)};
            entry.id = claim->Int(8);
            entry.attempts = static_cast<std::int32_t>(claim->Int(9));
            claimed.push_back(std::move(entry));
        }
    }
    transaction.Commit();
    std::sort(claimed.begin(), claimed.end(),
              [](const auto& a, const auto& b) { return a.id < b.id; });
    return claimed;
}

void SqliteStore::MarkInvitationSent(std::int64_t id, std::int64_t when) {
    std::lock_guard lock(m_writeLock);
    SqliteTransaction transaction(m_connection);
    {
        Using mark(m_statements->markSent);
        mark->Bind(1, id).Bind(2, when);
        mark->Step();
    }
    transaction.Commit();
}

void SqliteStore::DeferInvitation(std::int64_t id, std::int64_t nextAttempt,
                                  const std::string& lastError) {
    std::lock_guard lock(m_writeLock);
    SqliteTransaction transaction(m_connection);
    {
        Using defer(m_statements->defer);
        defer->Bind(1, id).Bind(2, nextAttempt).Bind(3, lastError);
        defer->Step();
    }
    transaction.Commit();
}

std::optional<std::string> SqliteStore::RandomIp(std::int32_t tos) {
    if (tos < 0)
        return std::nullopt;
    Using query(m_statements->randomIp);
    query->Bind(1, tos);
    if (!query->Step())
        return std::nullopt;
    return query->Text(0);
}

int SqliteStore::InsertRandomIp(std::int32_t tos, const std::string& ip) {
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

int SqliteStore::RemoveRandomIp(std::int32_t tos, const std::string& ip) {
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

std::optional<std::int64_t> SqliteStore::LatestVersion(const std::string& product) {
    Using query(m_statements->version);
    query->Bind(1, product);
    if (!query->Step())
        return std::nullopt;
    return query->Int(0);
}

void SqliteStore::SetVersion(const std::string& product, std::int64_t version) {
    std::lock_guard lock(m_writeLock);
    SqliteTransaction transaction(m_connection);
    {
        Using put(m_statements->putVersion);
        put->Bind(1, product).Bind(2, version).Bind(3, Now());
        put->Step();
    }
    transaction.Commit();
}

std::vector<UserRecord> SqliteStore::Users() {
    std::vector<UserRecord> rows;
    Using query(m_statements->users);
    while (query->Step()) {
        rows.push_back(UserRecord{query->Int(0), query->Text(1), query->Text(2), query->Text(3),
                                  query->Int(4) != 0});
    }
    return rows;
}

} // namespace halvdir
