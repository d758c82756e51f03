#include "PresenceCallPeers.h"

#include "Acquaintance.h"
#include "bridge/CStdExcept.h"

PresenceCallPeers::PresenceCallPeers(PresenceCalls& calls, ContactDirectory& directory)
    : m_calls(calls)
    , m_directory(directory) {}

void PresenceCallPeers::AnnounceOwnIP(Acquaintance& contact, std::int32_t ownId,
                                      const std::string& ownIp) {
    std::lock_guard exchange(contact.ExchangeLock());
    m_calls.AnnounceIP(contact.IP(), contact.ID(), ownId, ownIp);
}

void PresenceCallPeers::SendAcquaintanceNotice(Acquaintance& contact, std::int32_t ownId) {
    {
        std::lock_guard exchange(contact.ExchangeLock());
        try {
            m_calls.AcquaintanceNotice(contact.IP(), contact.ID(), ownId);
            return;
        } catch (const CStdExcept&) {
            // Offline or unreachable: the directory keeps the notice until the
            // contact next looks.
        }
    }
    m_directory.RegisterAsAcquaintance(contact.ID(), ownId);
}

void PresenceCallPeers::SendTOSNotice(Acquaintance& contact, std::int32_t ownId, std::int32_t tos,
                                      bool on) {
    std::lock_guard exchange(contact.ExchangeLock());
    m_calls.TOSNotice(contact.IP(), contact.ID(), ownId, tos, on);
}

std::int32_t PresenceCallPeers::AnonTOSQuery(const std::string& ip, std::int32_t tos) {
    return m_calls.AnonTOSQuery(ip, tos);
}

void PresenceCallPeers::SetRunFlag(const std::atomic<bool>* running) {
    m_calls.SetRunFlag(running);
}

std::int32_t PresenceCallPeers::TOSQuery(const std::string& ip, std::int32_t contactId,
                                         std::int32_t ownId, std::int32_t tos) {
    return m_calls.TOSQuery(ip, contactId, ownId, tos);
}

std::int32_t PresenceCallPeers::KnownQuery(const std::string& ip, std::int32_t contactId,
                                           std::int32_t ownId) {
    return m_calls.KnownQuery(ip, contactId, ownId);
}

void PresenceCallPeers::AnnounceOfflineBy(const std::string& ip, std::int32_t contactId,
                                          std::int32_t ownId, Deadline deadline) {
    m_calls.BoundedUntil(deadline).AnnounceIP(ip, contactId, ownId, "0.0.0.0");
}

void PresenceCallPeers::StopListener(const std::string& ownIp, std::int32_t ownId,
                                     Deadline deadline) {
    m_calls.BoundedUntil(deadline).StopListener(ownIp, ownId);
}
