#pragma once

#include "EnginePeers.h"
#include "PresenceCalls.h"

// The engine's peer calls made over the peer protocol. Each call of the
// contact records takes the contact's exchange lock for its one exchange, so
// two threads never talk to the same contact at once; the rounds' own calls
// are made with that lock held by the round. An acquaintance notice that
// cannot reach the contact is left at the directory instead.
class PresenceCallPeers : public EnginePeers {
public:
    PresenceCallPeers(PresenceCalls& calls, ContactDirectory& directory);

    void AnnounceOwnIP(Acquaintance& contact, std::int32_t ownId,
                       const std::string& ownIp) override;
    void SendAcquaintanceNotice(Acquaintance& contact, std::int32_t ownId) override;
    void SendTOSNotice(Acquaintance& contact, std::int32_t ownId, std::int32_t tos,
                       bool on) override;
    std::int32_t AnonTOSQuery(const std::string& ip, std::int32_t tos) override;

    void SetRunFlag(const std::atomic<bool>* running) override;
    std::int32_t TOSQuery(const std::string& ip, std::int32_t contactId, std::int32_t ownId,
                          std::int32_t tos) override;
    std::int32_t KnownQuery(const std::string& ip, std::int32_t contactId,
                            std::int32_t ownId) override;
    void AnnounceOfflineBy(const std::string& ip, std::int32_t contactId, std::int32_t ownId,
                           Deadline deadline) override;
    void StopListener(const std::string& ownIp, std::int32_t ownId, Deadline deadline) override;

private:
    PresenceCalls& m_calls;
    ContactDirectory& m_directory;
};
