#pragma once

#include "ContactNetwork.h"
#include "PresenceCalls.h"

// The contact records' peer calls made over the peer protocol: each call takes
// the contact's exchange lock for its one exchange, so two threads never talk
// to the same contact at once. An acquaintance notice that cannot reach the
// contact is left at the directory instead.
class PresenceCallPeers : public ContactPeers {
public:
    PresenceCallPeers(PresenceCalls& calls, ContactDirectory& directory);

    void AnnounceOwnIP(Acquaintance& contact, std::int32_t ownId,
                       const std::string& ownIp) override;
    void SendAcquaintanceNotice(Acquaintance& contact, std::int32_t ownId) override;
    void SendTOSNotice(Acquaintance& contact, std::int32_t ownId, std::int32_t tos,
                       bool on) override;
    std::int32_t AnonTOSQuery(const std::string& ip, std::int32_t tos) override;

private:
    PresenceCalls& m_calls;
    ContactDirectory& m_directory;
};
