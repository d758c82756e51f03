#include "DeferredPeers.h"

#include "bridge/CStdExcept.h"

DeferredPeers::DeferredPeers(ContactPeers& peers)
    : m_peers(peers) {}

void DeferredPeers::AnnounceOwnIP(Acquaintance&, std::int32_t ownId, const std::string& ownIp) {
    m_announce = true;
    m_ownId = ownId;
    m_ownIp = ownIp;
}

void DeferredPeers::SendAcquaintanceNotice(Acquaintance&, std::int32_t ownId) {
    m_notice = true;
    m_ownId = ownId;
}

void DeferredPeers::SendTOSNotice(Acquaintance& contact, std::int32_t ownId, std::int32_t tos,
                                  bool on) {
    m_peers.SendTOSNotice(contact, ownId, tos, on);
}

std::int32_t DeferredPeers::AnonTOSQuery(const std::string& ip, std::int32_t tos) {
    return m_peers.AnonTOSQuery(ip, tos);
}

void DeferredPeers::MakeCalls(Acquaintance& contact) const {
    if (m_announce) {
        try {
            m_peers.AnnounceOwnIP(contact, m_ownId, m_ownIp);
        } catch (const CStdExcept&) {
            // It hears our address when it next asks.
        }
    }
    if (m_notice) {
        try {
            m_peers.SendAcquaintanceNotice(contact, m_ownId);
        } catch (const CStdExcept&) {
            // Neither the contact nor the directory took it.
        }
    }
}
