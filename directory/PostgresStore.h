#pragma once

#include "directory/DirectoryStore.h"
#include "directory/Postgres.h"

#include <array>

namespace halvdir {

// The directory in a PostgreSQL database that any number of halvdir
// processes share. Nothing about a user is kept in this process: every
// look-up reads the database, so a change made through another process is
// seen at once. Each change is one transaction; the rows it depends on are
// locked in it (or the change is one statement), so processes that write at
// the same time keep the limits and orders a single process keeps.
class PostgresStore final : public DirectoryStore {
public:
    // upgradeSchema: create or upgrade the tables first, as the first
    // connection of a process does; later ones find them in place.
    PostgresStore(const std::string& uri, std::counting_semaphore<>& hashPermits,
                  VerifiedPasswords* verified = nullptr, IpUpdateGroup* ipGroup = nullptr,
                  bool upgradeSchema = true);
    ~PostgresStore() override;

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

    bool Healthy() const override { return m_connection.Healthy(); }
    std::string LastError() const override { return m_connection.LastError(); }

protected:
    Secret ReadSecret(std::int32_t id) override;
    void ApplyIpBatch(const std::vector<IpUpdateGroup::Update*>& batch) override;
    ProfileWrite WriteProfile(std::int32_t id, const std::string& name, const std::string& email,
                              const PasswordHash* fresh, const PasswordHash* stored) override;

private:
    enum Query : std::size_t;
    // Prepares the query on its first use on this connection.
    PostgresResult Run(Query query, std::initializer_list<PostgresParam> params);
    int ApplyIp(std::int32_t id, const std::string& ip, bool unclaimedOnly);

    PostgresConnection m_connection;
    std::array<bool, 40> m_prepared{};
};

} // namespace halvdir
