#pragma once

#include "ContactNetwork.h"

#include <cstdint>
#include <string>

// The peer calls adding a contact asks for, noted instead of made, so they can
// be made later on a thread that may wait for the contact.
class DeferredPeers : public ContactPeers {
public:
    explicit DeferredPeers(ContactPeers& peers);

    void AnnounceOwnIP(Acquaintance&, std::int32_t ownId, const std::string& ownIp) override;
    void SendAcquaintanceNotice(Acquaintance&, std::int32_t ownId) override;
    // Not deferred: made at once through the real peers.
    void SendTOSNotice(Acquaintance& contact, std::int32_t ownId, std::int32_t tos,
                       bool on) override;
    std::int32_t AnonTOSQuery(const std::string& ip, std::int32_t tos) override;

    bool HasCalls() const { return m_announce || m_notice; }
    // Makes the noted calls to contact; the notice falls back to the directory
    // by itself when the contact cannot be reached.
    void MakeCalls(Acquaintance& contact) const;

private:
    ContactPeers& m_peers;
    bool m_announce = false;
    bool m_notice = false;
    std::int32_t m_ownId = -1;
    std::string m_ownIp;
};
