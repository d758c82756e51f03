#pragma once

#include "directory/DirectoryStore.h"

namespace halvdir {

// The directory in one SQLite file, the default for a community on one
// machine. Every change runs in its own transaction under the process-wide
// write lock, so writers of this process never wait on SQLite's busy
// back-off. cache, when given, answers the look-ups of users and follows
// every committed change of a user; it is right only while this process is
// the file's one writer of users.
class SqliteStore final : public DirectoryStore {
public:
    SqliteStore(const std::string& path, std::mutex& writeLock,
                std::counting_semaphore<>& hashPermits, bool autoCheckpoint = true,
                UserCache* cache = nullptr, VerifiedPasswords* verified = nullptr,
                IpUpdateGroup* ipGroup = nullptr);
    ~SqliteStore() override;

    std::int32_t RegisterId() override;
    std::optional<std::string> LookupIp(std::int32_t id) override;
    int RegisterAcquaintance(std::int32_t contact, std::int32_t own) override;
    std::optional<UserRecord> LookupInfo(std::int32_t id) override;
    std::vector<std::int64_t> LookupAcquaintances(std::int32_t id) override;
    int DeleteAcquaintances(std::int32_t id) override;
    std::optional<std::int64_t> LookupId(const std::string& email) override;

    std::int64_t SystemMessageTime(std::int32_t number) override;
    std::optional<SystemMessage> GetSystemMessage(std::int32_t number) override;
    std::int64_t PublishSystemMessage(std::int32_t number, const std::string& title,
                                      const std::string& text) override;

    bool QueueInvitation(const Invitation& invitation) override;
    std::vector<Invitation> Outbox() override;
    std::vector<QueuedInvitation> ClaimDueInvitations(std::int64_t now, int max,
                                                      std::int64_t leaseUntil,
                                                      const std::string& claimer) override;
    void MarkInvitationSent(std::int64_t id, std::int64_t when) override;
    void DeferInvitation(std::int64_t id, std::int64_t nextAttempt,
                         const std::string& lastError) override;

    std::optional<std::string> RandomIp(std::int32_t tos) override;
    int InsertRandomIp(std::int32_t tos, const std::string& ip) override;
    int RemoveRandomIp(std::int32_t tos, const std::string& ip) override;

    std::optional<std::int64_t> LatestVersion(const std::string& product) override;
    void SetVersion(const std::string& product, std::int64_t version) override;

    std::vector<UserRecord> Users() override;

    SqliteConnection& Connection() { return m_connection; }

protected:
    Secret ReadSecret(std::int32_t id) override;
    void ApplyIpBatch(const std::vector<IpUpdateGroup::Update*>& batch) override;
    ProfileWrite WriteProfile(std::int32_t id, const std::string& name, const std::string& email,
                              const PasswordHash* fresh, const PasswordHash* stored) override;

private:
    struct Statements;
    SqliteConnection m_connection;
    std::mutex& m_writeLock;
    UserCache* m_cache;
    std::unique_ptr<Statements> m_statements;

    // One address update inside an open transaction.
    int ApplyIp(std::int32_t id, const std::string& ip, bool unclaimedOnly);
};

} // namespace halvdir
