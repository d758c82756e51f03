#pragma once

#include "directory/Sqlite.h"
#include "directory/UserCache.h"

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

// Address updates waiting to be committed together (group commit).
struct IpUpdateGroup {
    struct Update {
        std::int32_t id;
        std::string ip;
        // Set when no password was checked: the ID must still be unclaimed
        // when the update is applied, or it is refused.
        bool unclaimedOnly = false;
        int result = 0;
        bool done = false;
        bool failed = false;
        bool lead = false;
        std::binary_semaphore wake{0};
    };
    std::mutex lock;
    std::vector<Update*> pending;
    bool committing = false;
};

// One connection to the directory database with its prepared statements.
// Not shared between threads; a StorePool hands one to each request. Every
// change runs in its own transaction under the process-wide write lock, so
// writers of this process never wait on SQLite's busy back-off.
class DirectoryStore {
public:
    // hashPermits bounds how many password hashes run at once, so that a burst
    // of registrations is worked off in turn instead of slowing every request.
    // cache, when given, answers the look-ups of users and follows every
    // committed change of a user.
    DirectoryStore(const std::string& path, std::mutex& writeLock,
                   std::counting_semaphore<>& hashPermits, bool autoCheckpoint = true,
                   UserCache* cache = nullptr, IpUpdateGroup* ipGroup = nullptr);
    ~DirectoryStore();
    DirectoryStore(const DirectoryStore&) = delete;
    DirectoryStore& operator=(const DirectoryStore&) = delete;

    // Longest waiting list kept per user: its answer must fit the 2048 bytes
    // the client reads.
    static constexpr int kMaxWaiting = 150;
    // Invitations one sender may record per day.
    static constexpr int kMaxInvitationsPerDay = 50;
    // Invitations one recipient may be sent per day, from all senders together.
    static constexpr int kMaxInvitationsPerRecipient = 10;

    std::int32_t RegisterId();
    // Whether the password is that of the ID's owner. An empty password never
    // matches a claimed ID; an unclaimed ID has no owner to match.
    enum class Owner { kUnknown, kUnclaimed, kMatch, kMismatch };
    Owner CheckOwner(std::int32_t id, const std::string& password);
    // A claimed ID (one with a stored profile) moves only with its password;
    // an unclaimed one with or without. An empty password means none.
    int UpdateIp(std::int32_t id, const std::string& ip, const std::string& password = {});
    std::optional<std::string> LookupIp(std::int32_t id);
    int UpdateInfo(std::int32_t id, const std::string& name, const std::string& email,
                   const std::string& password);
    int RegisterAcquaintance(std::int32_t contact, std::int32_t own);
    // The profile, or nothing for an unknown ID or one whose profile was never stored.
    std::optional<UserRecord> LookupInfo(std::int32_t id);
    std::vector<std::int64_t> LookupAcquaintances(std::int32_t id);
    int DeleteAcquaintances(std::int32_t id);
    std::optional<std::int64_t> LookupId(const std::string& email);
    bool CheckPassword(std::int32_t id, const std::string& password);

    // Number 0 is the general message; numbers 1 and up the particular ones.
    std::int64_t SystemMessageTime(std::int32_t number);
    std::optional<SystemMessage> GetSystemMessage(std::int32_t number);
    // An empty title withdraws the message; its time stays, so the next
    // publication still gets a later one.
    std::int64_t PublishSystemMessage(std::int32_t number, const std::string& title,
                                      const std::string& text);

    // True when recorded; false when the sender is over its daily allowance.
    bool QueueInvitation(const Invitation& invitation);
    std::vector<Invitation> Outbox();

    std::optional<std::string> RandomIp(std::int32_t tos);
    int InsertRandomIp(std::int32_t tos, const std::string& ip);
    int RemoveRandomIp(std::int32_t tos, const std::string& ip);

    std::optional<std::int64_t> LatestVersion(const std::string& product);
    void SetVersion(const std::string& product, std::int64_t version);

    std::vector<UserRecord> Users();

private:
    struct Statements;
    SqliteConnection m_connection;
    std::mutex& m_writeLock;
    std::counting_semaphore<>& m_hashPermits;
    UserCache* m_cache;
    IpUpdateGroup* m_ipGroup;
    std::unique_ptr<Statements> m_statements;

    // One address update inside an open transaction.
    int ApplyIp(std::int32_t id, const std::string& ip, bool unclaimedOnly);
    void ApplyIpBatch(const std::vector<IpUpdateGroup::Update*>& batch);
};

// Hands each request thread a store of its own and takes it back afterwards.
// The first store creates the schema. For serving, the pool also keeps the
// users in memory (UserCache), and a thread of the pool copies the write-ahead
// log into the database once a second, so that no request waits for a
// checkpoint (and its disk flush) under the write lock.
class StorePool {
public:
    explicit StorePool(std::string path, bool serving = false);
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

private:
    void Give(std::unique_ptr<DirectoryStore> store);

    std::string m_path;
    std::mutex m_writeLock;
    std::counting_semaphore<> m_hashPermits;
    bool m_serving;
    std::unique_ptr<UserCache> m_cache;
    std::unique_ptr<IpUpdateGroup> m_ipGroup;
    std::mutex m_idleLock;
    std::vector<std::unique_ptr<DirectoryStore>> m_idle;

    void CheckpointLoop();
    std::mutex m_stopLock;
    std::condition_variable m_stopSignal;
    bool m_stop = false;
    std::thread m_checkpointer;
};

} // namespace halvdir
