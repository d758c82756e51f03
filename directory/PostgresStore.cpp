#include "directory/PostgresStore.h"

#include "directory/PostgresSchema.h"

#include <algorithm>

namespace halvdir {

enum PostgresStore::Query : std::size_t {
    kInsertUser,
    kMoveUser,
    kUserIp,
    kUserSecret,
    kEmailOwner,
    kClaimProfile,
    kChangeProfile,
    kLockUser,
    kUserExists,
    kWaitingExists,
    kWaitingCount,
    kInsertWaiting,
    kProfile,
    kWaitingList,
    kDeleteWaiting,
    kMessageTime,
    kMessage,
    kPutMessage,
    kLockInvitations,
    kSenderCount,
    kRecipientCount,
    kInsertInvitation,
    kOutbox,
    kClaimDue,
    kMarkSent,
    kDefer,
    kRandomIp,
    kInsertRandom,
    kRemoveRandom,
    kVersion,
    kPutVersion,
    kUsers,
    kQueryCount
};

namespace {

const char* const kSql[] = {
    "INSERT INTO users(created, updated) VALUES($1, $1) RETURNING id",
    // One address update in one round trip: the row is locked and read,
    // changed unless it was claimed since a caller without a password looked
    // ($4), and a user that moved or went offline takes the old address out
    // of the random pools, as it no longer answers there, unless someone else
    // still has it. Every part sees the table as it was before the statement.
    "WITH old AS (SELECT ip, hash IS NOT NULL AS claimed FROM users WHERE id = $1 FOR UPDATE), "
    "changed AS (UPDATE users SET ip = $2, updated = $3 FROM old WHERE users.id = $1 "
    "AND NOT ($4::boolean AND old.claimed) RETURNING 1), "
    "dropped AS (DELETE FROM random_pool USING old WHERE random_pool.ip = old.ip "
    "AND old.ip <> $2 AND old.ip <> '0.0.0.0'::bytea AND EXISTS (SELECT 1 FROM changed) "
    "AND NOT EXISTS (SELECT 1 FROM users other WHERE other.ip = old.ip AND other.id <> $1)) "
    "SELECT EXISTS (SELECT 1 FROM changed) FROM old",
    "SELECT ip FROM users WHERE id = $1",
    "SELECT salt, hash, iterations FROM users WHERE id = $1",
    "SELECT id FROM users WHERE email = $1",
    "UPDATE users SET name = $2, email = $3, salt = $4, hash = $5, iterations = $6, "
    "updated = $7 WHERE id = $1 AND hash IS NULL",
    "UPDATE users SET name = $2, email = $3, updated = $5 WHERE id = $1 AND hash = $4",
    // Changes to one user's waiting list queue on the user's row, so that the
    // count checked is still the count when the row is added.
    "SELECT 1 FROM users WHERE id = $1 FOR UPDATE",
    "SELECT 1 FROM users WHERE id = $1",
    "SELECT 1 FROM waiting_acquaintances WHERE user_id = $1 AND acquaintance_id = $2",
    "SELECT COUNT(*) FROM waiting_acquaintances WHERE user_id = $1",
    "INSERT INTO waiting_acquaintances(user_id, acquaintance_id, since) VALUES($1, $2, $3)",
    "SELECT id, name, email, ip, hash IS NOT NULL FROM users WHERE id = $1 AND email IS NOT NULL",
    "SELECT acquaintance_id FROM waiting_acquaintances WHERE user_id = $1 ORDER BY seq LIMIT $2",
    "DELETE FROM waiting_acquaintances WHERE user_id = $1",
    "SELECT published, length(title) = 0 FROM system_messages WHERE number = $1",
    "SELECT title, body FROM system_messages WHERE number = $1",
    // Clients hand out a message once per new time, so two publications in
    // the same second, through any instances, must still get different times.
    "INSERT INTO system_messages(number, published, title, body) VALUES($1, $2, $3, $4) "
    "ON CONFLICT(number) DO UPDATE SET published = GREATEST(EXCLUDED.published, "
    "system_messages.published + 1), title = EXCLUDED.title, body = EXCLUDED.body "
    "RETURNING published",
    // Invitations are recorded one at a time across all instances, so the
    // daily allowances counted are those in force when the row is added.
    "SELECT pg_advisory_xact_lock(7306524071503820)",
    "SELECT COUNT(*) FROM outbox WHERE sender_email = $1 AND requested > $2",
    "SELECT COUNT(*) FROM outbox WHERE recipient = $1 AND requested > $2",
    "INSERT INTO outbox(sender_email, recipient, app_name, sender_name, app_url, app_id, "
    "requested, remote_address) VALUES($1, $2, $3, $4, $5, $6, $7, $8)",
    "SELECT sender_email, recipient, app_name, sender_name, app_url, app_id, requested, "
    "remote_address FROM outbox ORDER BY id",
    // Rows another instance is claiming right now are skipped, not waited
    // for; a row claimed and committed meanwhile no longer qualifies when
    // its lock is taken, as its lease is then in the future.
    "UPDATE outbox SET lease_until = $3, claimer = $4 WHERE id IN "
    "(SELECT id FROM outbox WHERE sent IS NULL AND next_attempt <= $1 AND lease_until <= $1 "
    "ORDER BY id LIMIT $2 FOR UPDATE SKIP LOCKED) "
    "RETURNING sender_email, recipient, app_name, sender_name, app_url, app_id, requested, "
    "remote_address, id, attempts",
    "UPDATE outbox SET sent = $2, lease_until = 0 WHERE id = $1",
    "UPDATE outbox SET attempts = attempts + 1, next_attempt = $2, last_error = $3, "
    "lease_until = 0 WHERE id = $1 AND sent IS NULL",
    "SELECT ip FROM random_pool WHERE tos = $1 ORDER BY random() LIMIT 1",
    "INSERT INTO random_pool(tos, ip, since) VALUES($1, $2, $3) ON CONFLICT DO NOTHING",
    "DELETE FROM random_pool WHERE tos = $1 AND ip = $2",
    "SELECT version FROM versions WHERE product = $1",
    "INSERT INTO versions(product, version, published) VALUES($1, $2, $3) "
    "ON CONFLICT(product) DO UPDATE SET version = EXCLUDED.version, "
    "published = EXCLUDED.published",
    "SELECT id, name, COALESCE(email, ''::bytea), ip, hash IS NOT NULL FROM users ORDER BY id",
};

using P = PostgresParam;

// A unique or exclusion constraint refused the row.
bool IsUniqueViolation(const PostgresError& error) {
    return error.SqlState() == "23505";
}

} // namespace

PostgresStore::PostgresStore(const std::string& uri, std::counting_semaphore<>& hashPermits,
                             VerifiedPasswords* verified, IpUpdateGroup* ipGroup,
                             bool upgradeSchema)
    : DirectoryStore(hashPermits, verified, ipGroup)
    , m_connection(uri) {
    static_assert(kQueryCount <= std::tuple_size_v<decltype(m_prepared)>);
    static_assert(std::size(kSql) == kQueryCount);
    if (upgradeSchema)
        UpgradePostgresSchema(m_connection);
}

PostgresStore::~PostgresStore() = default;

PostgresResult PostgresStore::Run(Query query, std::initializer_list<PostgresParam> params) {
    const std::string name = "q" + std::to_string(query);
    if (!m_prepared[query]) {
        m_connection.Prepare(name, kSql[query]);
        m_prepared[query] = true;
    }
    return m_connection.Run(name, params);
}

std::int32_t PostgresStore::RegisterId() {
    // The identity's sequence stops at the largest 32-bit ID, so an ID that
    // does not fit is never handed out.
    auto inserted = Run(kInsertUser, {P::Int(Now())});
    std::int64_t id = inserted.Rows() == 1 ? inserted.Int(0, 0) : 0;
    if (id < 1 || id > INT32_MAX)
        throw StorageError("the ID space is exhausted");
    return static_cast<std::int32_t>(id);
}

int PostgresStore::ApplyIp(std::int32_t id, const std::string& ip, bool unclaimedOnly) {
    auto row = Run(kMoveUser, {P::Int(id), P::Bytes(ip), P::Int(Now()), P::Int(unclaimedOnly)});
    if (row.Rows() == 0)
        return result::kUnknownId;
    // Not changed: claimed since the caller looked without a password to check.
    return row.Int(0, 0) != 0 ? result::kDone : result::kRefused;
}

void PostgresStore::ApplyIpBatch(const std::vector<IpUpdateGroup::Update*>& batch) {
    // Rows are locked in ID order, as every instance does, so two batches
    // never wait on each other in a circle; updates of one ID keep their order.
    std::vector<IpUpdateGroup::Update*> ordered(batch);
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](const auto* a, const auto* b) { return a->id < b->id; });
    PostgresTransaction transaction(m_connection);
    for (auto* update : ordered)
        update->result = ApplyIp(update->id, update->ip, update->unclaimedOnly);
    transaction.Commit();
}

PostgresStore::Secret PostgresStore::ReadSecret(std::int32_t id) {
    auto row = Run(kUserSecret, {P::Int(id)});
    if (row.Rows() == 0)
        return Secret{};
    if (row.IsNull(0, 1))
        return Secret{true, std::nullopt};
    return Secret{true,
                  PasswordHash{row.Blob(0, 0), row.Blob(0, 1), static_cast<int>(row.Int(0, 2))}};
}

PostgresStore::ProfileWrite PostgresStore::WriteProfile(std::int32_t id, const std::string& name,
                                                        const std::string& email,
                                                        const PasswordHash* fresh,
                                                        const PasswordHash* stored) {
    try {
        PostgresTransaction transaction(m_connection);
        auto owner = Run(kEmailOwner, {P::Bytes(email)});
        if (owner.Rows() > 0 && owner.Int(0, 0) != id)
            return ProfileWrite::kEmailTaken;
        auto changed = fresh ? Run(kClaimProfile, {P::Int(id), P::Bytes(name), P::Bytes(email),
                                                   P::Bytes(fresh->salt), P::Bytes(fresh->hash),
                                                   P::Int(fresh->iterations), P::Int(Now())})
                             : Run(kChangeProfile, {P::Int(id), P::Bytes(name), P::Bytes(email),
                                                    P::Bytes(stored->hash), P::Int(Now())});
        if (changed.Affected() != 1)
            return ProfileWrite::kRowChanged;
        transaction.Commit();
        return ProfileWrite::kDone;
    } catch (const PostgresError& error) {
        // Another instance stored the address between the check and the write.
        if (IsUniqueViolation(error))
            return ProfileWrite::kEmailTaken;
        throw;
    }
}

std::optional<std::string> PostgresStore::LookupIp(std::int32_t id) {
    auto row = Run(kUserIp, {P::Int(id)});
    if (row.Rows() == 0)
        return std::nullopt;
    return row.Bytes(0, 0);
}

int PostgresStore::RegisterAcquaintance(std::int32_t contact, std::int32_t own) {
    if (contact == own)
        return result::kRefused;
    try {
        PostgresTransaction transaction(m_connection);
        if (Run(kLockUser, {P::Int(contact)}).Rows() == 0 ||
            Run(kUserExists, {P::Int(own)}).Rows() == 0)
            return result::kUnknownId;
        if (Run(kWaitingExists, {P::Int(contact), P::Int(own)}).Rows() > 0)
            return result::kAlreadyWaiting;
        if (Run(kWaitingCount, {P::Int(contact)}).Int(0, 0) >= kMaxWaiting)
            return result::kListFull;
        Run(kInsertWaiting, {P::Int(contact), P::Int(own), P::Int(Now())});
        transaction.Commit();
    } catch (const PostgresError& error) {
        // A user removed meanwhile leaves a dangling reference behind.
        if (error.SqlState() == "23503")
            return result::kUnknownId;
        throw;
    }
    return result::kDone;
}

std::optional<UserRecord> PostgresStore::LookupInfo(std::int32_t id) {
    auto row = Run(kProfile, {P::Int(id)});
    if (row.Rows() == 0)
        return std::nullopt;
    return UserRecord{row.Int(0, 0), row.Bytes(0, 1), row.Bytes(0, 2), row.Bytes(0, 3),
                      row.Int(0, 4) != 0};
}

std::vector<std::int64_t> PostgresStore::LookupAcquaintances(std::int32_t id) {
    auto rows = Run(kWaitingList, {P::Int(id), P::Int(kMaxWaiting)});
    std::vector<std::int64_t> ids;
    for (int row = 0; row < rows.Rows(); ++row)
        ids.push_back(rows.Int(row, 0));
    return ids;
}

int PostgresStore::DeleteAcquaintances(std::int32_t id) {
    Run(kDeleteWaiting, {P::Int(id)});
    return result::kDone;
}

std::optional<std::int64_t> PostgresStore::LookupId(const std::string& email) {
    auto row = Run(kEmailOwner, {P::Bytes(email)});
    if (row.Rows() == 0)
        return std::nullopt;
    return row.Int(0, 0);
}

std::int64_t PostgresStore::SystemMessageTime(std::int32_t number) {
    auto row = Run(kMessageTime, {P::Int(number)});
    // A withdrawn message keeps its row (and time) but reads as none.
    if (row.Rows() == 0 || row.Int(0, 1) != 0)
        return 0;
    return row.Int(0, 0);
}

std::optional<SystemMessage> PostgresStore::GetSystemMessage(std::int32_t number) {
    auto row = Run(kMessage, {P::Int(number)});
    if (row.Rows() == 0 || row.Bytes(0, 0).empty())
        return std::nullopt;
    return SystemMessage{row.Bytes(0, 0), row.Bytes(0, 1)};
}

std::int64_t PostgresStore::PublishSystemMessage(std::int32_t number, const std::string& title,
                                                 const std::string& text) {
    auto row = Run(kPutMessage, {P::Int(number), P::Int(Now()), P::Bytes(title), P::Bytes(text)});
    return row.Int(0, 0);
}

bool PostgresStore::QueueInvitation(const Invitation& invitation) {
    PostgresTransaction transaction(m_connection);
    Run(kLockInvitations, {});
    const std::int64_t now = Now();
    if (Run(kSenderCount, {P::Bytes(invitation.senderEmail), P::Int(now - 86400)}).Int(0, 0) >=
        kMaxInvitationsPerDay)
        return false;
    // Many senders must not be able to bury one mailbox either.
    if (Run(kRecipientCount, {P::Bytes(invitation.recipient), P::Int(now - 86400)}).Int(0, 0) >=
        kMaxInvitationsPerRecipient)
        return false;
    Run(kInsertInvitation,
        {P::Bytes(invitation.senderEmail), P::Bytes(invitation.recipient),
         P::Bytes(invitation.appName), P::Bytes(invitation.senderName), P::Bytes(invitation.appUrl),
         P::Int(invitation.appId), P::Int(now), P::Bytes(invitation.remoteAddress)});
    transaction.Commit();
    return true;
}

namespace {

Invitation InvitationAt(const PostgresResult& rows, int row) {
    return Invitation{rows.Bytes(row, 0), rows.Bytes(row, 1),
                      rows.Bytes(row, 2), rows.Bytes(row, 3),
                      rows.Bytes(row, 4), static_cast<std::int32_t>(rows.Int(row, 5)),
                      rows.Int(row, 6),   rows.Bytes(row, 7)};
}

} // namespace

std::vector<Invitation> PostgresStore::Outbox() {
    auto rows = Run(kOutbox, {});
    std::vector<Invitation> invitations;
    for (int row = 0; row < rows.Rows(); ++row)
        invitations.push_back(InvitationAt(rows, row));
    return invitations;
}

std::vector<QueuedInvitation> PostgresStore::ClaimDueInvitations(std::int64_t now, int max,
                                                                 std::int64_t leaseUntil,
                                                                 const std::string& claimer) {
    std::vector<QueuedInvitation> claimed;
    if (max <= 0)
        return claimed;
    auto rows = Run(kClaimDue, {P::Int(now), P::Int(max), P::Int(leaseUntil), P::Bytes(claimer)});
    for (int row = 0; row < rows.Rows(); ++row) {
        QueuedInvitation entry;
        static_cast<Invitation&>(entry) = InvitationAt(rows, row);
        entry.id = rows.Int(row, 8);
        entry.attempts = static_cast<std::int32_t>(rows.Int(row, 9));
        claimed.push_back(std::move(entry));
    }
    std::sort(claimed.begin(), claimed.end(),
              [](const auto& a, const auto& b) { return a.id < b.id; });
    return claimed;
}

void PostgresStore::MarkInvitationSent(std::int64_t id, std::int64_t when) {
    Run(kMarkSent, {P::Int(id), P::Int(when)});
}

void PostgresStore::DeferInvitation(std::int64_t id, std::int64_t nextAttempt,
                                    const std::string& lastError) {
    Run(kDefer, {P::Int(id), P::Int(nextAttempt), P::Bytes(lastError)});
}

std::optional<std::string> PostgresStore::RandomIp(std::int32_t tos) {
    if (tos < 0)
        return std::nullopt;
    auto row = Run(kRandomIp, {P::Int(tos)});
    if (row.Rows() == 0)
        return std::nullopt;
    return row.Bytes(0, 0);
}

int PostgresStore::InsertRandomIp(std::int32_t tos, const std::string& ip) {
    // TOS numbers start at 0; a negative one would only open pools that no
    // application asks for.
    if (ip == "0.0.0.0" || tos < 0)
        return result::kRefused;
    Run(kInsertRandom, {P::Int(tos), P::Bytes(ip), P::Int(Now())});
    return result::kDone;
}

int PostgresStore::RemoveRandomIp(std::int32_t tos, const std::string& ip) {
    return Run(kRemoveRandom, {P::Int(tos), P::Bytes(ip)}).Affected() > 0 ? result::kDone
                                                                          : result::kNothing;
}

std::optional<std::int64_t> PostgresStore::LatestVersion(const std::string& product) {
    auto row = Run(kVersion, {P::Bytes(product)});
    if (row.Rows() == 0)
        return std::nullopt;
    return row.Int(0, 0);
}

void PostgresStore::SetVersion(const std::string& product, std::int64_t version) {
    Run(kPutVersion, {P::Bytes(product), P::Int(version), P::Int(Now())});
}

std::vector<UserRecord> PostgresStore::Users() {
    auto rows = Run(kUsers, {});
    std::vector<UserRecord> users;
    for (int row = 0; row < rows.Rows(); ++row)
        users.push_back(UserRecord{rows.Int(row, 0), rows.Bytes(row, 1), rows.Bytes(row, 2),
                                   rows.Bytes(row, 3), rows.Int(row, 4) != 0});
    return users;
}

} // namespace halvdir
