#pragma once

#include "directory/IpUpdateGroup.h"
#include "directory/PasswordHash.h"
#include "directory/Sqlite.h"
#include "directory/UserCache.h"
#include "directory/VerifiedPasswords.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <semaphore>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace halvdir {

// The "Result: N" values of the directory's answers.
namespace result {
constexpr int kNothing = 0;
constexpr int kDone = 1;
constexpr int kRefused = 2;
constexpr int kEmailTaken = 3;
constexpr int kUnknownId = 4;
constexpr int kListFull = 5;
constexpr int kAlreadyWaiting = 109;
} // namespace result

struct UserRecord {
    std::int64_t id = 0;
    std::string name;
    std::string email; // empty until the profile is stored
    std::string ip;
    bool hasPassword = false;
};

struct SystemMessage {
    std::string title;
    std::string text;
};

struct Invitation {
    std::string senderEmail;
    std::string recipient;
    std::string appName;
    std::string senderName;
    std::string appUrl;
    std::int32_t appId = 0;
    std::int64_t requested = 0;
    std::string remoteAddress;
};

// An outbox entry handed to a mail sender: its row ID (for marking it sent or
// deferring it) and how many attempts to send it failed so far.
struct QueuedInvitation : Invitation {
    std::int64_t id = 0;
    std::int32_t attempts = 0;
};

// One connection to the directory database. Not shared between threads; a
// StorePool hands one to each request. The queries and their answers are the
// same whatever database holds the directory; the password checks, the
// remembered matches and the grouping of address updates live here, the
// reading and writing of rows in each database's store.
class DirectoryStore {
public:
    virtual ~DirectoryStore() = default;
    DirectoryStore(const DirectoryStore&) = delete;
    DirectoryStore& operator=(const DirectoryStore&) = delete;

    // Longest waiting list kept per user: its answer must fit the 2048 bytes
    // the client reads.
    static constexpr int kMaxWaiting = 150;
    // Invitations one sender may record per day.
    static constexpr int kMaxInvitationsPerDay = 50;
    // Invitations one recipient may be sent per day, from all senders together.
    static constexpr int kMaxInvitationsPerRecipient = 10;

    virtual std::int32_t RegisterId() = 0;
    // Whether the password is that of the ID's owner. An empty password never
    // matches a claimed ID; an unclaimed ID has no owner to match.
    enum class Owner { kUnknown, kUnclaimed, kMatch, kMismatch };
    Owner CheckOwner(std::int32_t id, const std::string& password);
    // A claimed ID (one with a stored profile) moves only with its password;
    // an unclaimed one with or without. An empty password means none.
    int UpdateIp(std::int32_t id, const std::string& ip, const std::string& password = {});
    virtual std::optional<std::string> LookupIp(std::int32_t id) = 0;
    int UpdateInfo(std::int32_t id, const std::string& name, const std::string& email,
                   const std::string& password);
    virtual int RegisterAcquaintance(std::int32_t contact, std::int32_t own) = 0;
    // The profile, or nothing for an unknown ID or one whose profile was never stored.
    virtual std::optional<UserRecord> LookupInfo(std::int32_t id) = 0;
    virtual std::vector<std::int64_t> LookupAcquaintances(std::int32_t id) = 0;
    virtual int DeleteAcquaintances(std::int32_t id) = 0;
    virtual std::optional<std::int64_t> LookupId(const std::string& email) = 0;
    bool CheckPassword(std::int32_t id, const std::string& password);

    // Number 0 is the general message; numbers 1 and up the particular ones.
    virtual std::int64_t SystemMessageTime(std::int32_t number) = 0;
    virtual std::optional<SystemMessage> GetSystemMessage(std::int32_t number) = 0;
    // An empty title withdraws the message; its time stays, so the next
    // publication still gets a later one.
    virtual std::int64_t PublishSystemMessage(std::int32_t number, const std::string& title,
                                              const std::string& text) = 0;

    // True when recorded; false when the sender is over its daily allowance.
    virtual bool QueueInvitation(const Invitation& invitation) = 0;
    // Every entry ever recorded, sent or not, oldest first.
    virtual std::vector<Invitation> Outbox() = 0;
    // Up to max entries not sent yet whose next attempt is due at now and
    // whose lease ran out, oldest first. Each is leased to claimer until
    // leaseUntil in the same step, so that no other sender, in this process
    // or another, claims it before then.
    virtual std::vector<QueuedInvitation> ClaimDueInvitations(std::int64_t now, int max,
                                                              std::int64_t leaseUntil,
                                                              const std::string& claimer) = 0;
    virtual void MarkInvitationSent(std::int64_t id, std::int64_t when) = 0;
    // One more failed attempt: the entry is due again at nextAttempt and its
    // lease ends.
    virtual void DeferInvitation(std::int64_t id, std::int64_t nextAttempt,
                                 const std::string& lastError) = 0;

    virtual std::optional<std::string> RandomIp(std::int32_t tos) = 0;
    virtual int InsertRandomIp(std::int32_t tos, const std::string& ip) = 0;
    virtual int RemoveRandomIp(std::int32_t tos, const std::string& ip) = 0;

    virtual std::optional<std::int64_t> LatestVersion(const std::string& product) = 0;
    virtual void SetVersion(const std::string& product, std::int64_t version) = 0;

    virtual std::vector<UserRecord> Users() = 0;

    // False once the connection to the database is lost; the pool then drops
    // the store and opens a fresh one for the next request.
    virtual bool Healthy() const { return true; }
    // What broke the connection, for the log.
    virtual std::string LastError() const { return {}; }

protected:
    // hashPermits bounds how many password hashes run at once, so that a
    // burst of registrations is worked off in turn instead of slowing every
    // request. verified, when given, remembers passwords that matched;
    // ipGroup, when given, commits address updates together.
    DirectoryStore(std::counting_semaphore<>& hashPermits, VerifiedPasswords* verified,
                   IpUpdateGroup* ipGroup)
        : m_hashPermits(hashPermits)
        , m_verified(verified)
        , m_ipGroup(ipGroup) {}

    // The stored password of an ID: none for an unknown ID, an empty one for
    // an unclaimed ID.
    struct Secret {
        bool exists = false;
        std::optional<PasswordHash> password;
    };
    virtual Secret ReadSecret(std::int32_t id) = 0;
    // Applies the batch in one transaction, setting each update's result.
    virtual void ApplyIpBatch(const std::vector<IpUpdateGroup::Update*>& batch) = 0;
    // Stores the profile: claiming the ID with fresh when it has no password
    // yet, else only while its password is still stored.
    enum class ProfileWrite { kDone, kEmailTaken, kRowChanged };
    virtual ProfileWrite WriteProfile(std::int32_t id, const std::string& name,
                                      const std::string& email, const PasswordHash* fresh,
                                      const PasswordHash* stored) = 0;

    // Time in whole seconds, as every stored time is.
    static std::int64_t Now();

private:
    std::counting_semaphore<>& m_hashPermits;
    VerifiedPasswords* m_verified;
    IpUpdateGroup* m_ipGroup;
};

// Hands each request thread a store of its own and takes it back afterwards.
// The location is a SQLite file path or a postgresql:// connection URI. The
// first store creates or upgrades the schema, so a bad location or a refused
// connection fails at start.
//
// With SQLite and serving, one process owns the file: the pool keeps the
// users in memory (UserCache) and a thread copies the write-ahead log into
// the database once a second, so that no request waits for a checkpoint under
// the write lock. With PostgreSQL a process keeps at most kMaxConnections
// open, and a request waits for one to come free. Several processes may
// share the database, so nothing about a user is kept in memory that another
// process could change behind it: look-ups read the database, and the
// remembered password matches hold only for the stored hash they were
// checked against. Address updates are still committed in groups, each group
// one transaction of this process, which locks its rows in ID order.
class StorePool {
public:
    explicit StorePool(std::string location, bool serving = false);
    ~StorePool();
    StorePool(const StorePool&) = delete;
    StorePool& operator=(const StorePool&) = delete;

    class Lease {
    public:
        Lease(StorePool& pool, std::unique_ptr<DirectoryStore> store)
            : m_pool(pool)
            , m_store(std::move(store)) {}
        ~Lease() { m_pool.Give(std::move(m_store)); }
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        DirectoryStore* operator->() { return m_store.get(); }
        DirectoryStore& operator*() { return *m_store; }

    private:
        StorePool& m_pool;
        std::unique_ptr<DirectoryStore> m_store;
    };

    Lease Take();

    static bool IsPostgresLocation(const std::string& location);
    static constexpr std::size_t kMaxConnections = 16;

private:
    void Give(std::unique_ptr<DirectoryStore> store);
    void NoteUnreachable(const std::string& why);
    // One store less is open: a waiting request may open another.
    void Closed();
    std::unique_ptr<DirectoryStore> Open(bool autoCheckpoint, bool first = false);

    std::string m_location;
    bool m_postgres;
    std::mutex m_writeLock;
    std::counting_semaphore<> m_hashPermits;
    bool m_serving;
    std::unique_ptr<UserCache> m_cache;
    std::unique_ptr<VerifiedPasswords> m_verified;
    std::unique_ptr<IpUpdateGroup> m_ipGroup;
    std::mutex m_idleLock;
    std::condition_variable m_storeReturned;
    std::vector<std::unique_ptr<DirectoryStore>> m_idle;
    // Stores open now, idle or leased, and how many may be: a database
    // server serves a bounded number of connections, and opening one costs
    // far more than waiting for a request to end.
    std::size_t m_open = 0;
    std::size_t m_maxOpen;
    // Whether the database was reachable at the last attempt, so that its
    // loss and return are logged once each.
    std::atomic<bool> m_reachable{true};

    void CheckpointLoop();
    std::mutex m_stopLock;
    std::condition_variable m_stopSignal;
    bool m_stop = false;
    std::thread m_checkpointer;
};

} // namespace halvdir
