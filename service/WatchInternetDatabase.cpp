#include "WatchInternetDatabase.h"

#include "bridge/CStdExcept.h"

WatchInternetDatabase::WatchInternetDatabase(std::string host)
    : m_host(std::move(host)) {}

std::shared_ptr<InternetSession>
WatchInternetDatabase::SetSession(std::shared_ptr<InternetSession> session, std::string host) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_host = std::move(host);
    m_session.swap(session);
    return session;
}

std::shared_ptr<InternetSession> WatchInternetDatabase::Session() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_session;
}

std::string WatchInternetDatabase::Host() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_host;
}

WatchInternetDatabase::Query WatchInternetDatabase::Begin(int number) const {
    std::shared_ptr<InternetSession> session;
    std::string host;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        session = m_session;
        host = m_host;
    }
    if (!session)
        throw CStdExcept("WatchInternetDatabase", number);
    InternetSession& held = *session;
    return Query{std::move(session), InternetDatabase(held, std::move(host))};
}

std::string WatchInternetDatabase::GetRandomIP(std::int32_t tos) {
    return Begin(179).database.GetRandomIP(tos);
}

void WatchInternetDatabase::RemoveRandomIP(std::int32_t tos, const std::string& ownIp) {
    Begin(189).database.RemoveRandomIP(tos, ownIp);
}

void WatchInternetDatabase::InsertRandomIP(std::int32_t tos, const std::string& ownIp) {
    Begin(199).database.InsertRandomIP(tos, ownIp);
}

void WatchInternetDatabase::DeleteAcquaintances(std::int32_t ownId, const std::string& password) {
    Begin(45).database.DeleteAcquaintances(ownId, password);
}

std::vector<std::int32_t> WatchInternetDatabase::LookupAcquaintances(std::int32_t ownId,
                                                                     const std::string& password) {
    return Begin(56).database.LookupAcquaintances(ownId, password);
}

SystemMessage WatchInternetDatabase::GetSystemMessage(std::int32_t index) {
    return Begin(67).database.GetSystemMessage(index);
}

SystemMessageTimes WatchInternetDatabase::GetSystemMessageTime(std::int32_t number) {
    return Begin(77).database.GetSystemMessageTime(number);
}

std::int32_t WatchInternetDatabase::LookupID(const std::string& eMail) {
    return Begin(87).database.LookupID(eMail);
}

std::string WatchInternetDatabase::LookupIP(std::int32_t contactId) {
    return Begin(96).database.LookupIP(contactId);
}

DirectoryProfile WatchInternetDatabase::LookupProfile(std::int32_t contactId) {
    return Begin(106).database.LookupProfile(contactId);
}

void WatchInternetDatabase::RegisterAsAcquaintance(std::int32_t contactId, std::int32_t ownId) {
    Begin(116).database.RegisterAsAcquaintance(contactId, ownId);
}

std::int32_t WatchInternetDatabase::RegisterNewID() {
    return Begin(126).database.RegisterNewID();
}

void WatchInternetDatabase::UpdateProfile(std::int32_t ownId, const std::string& name,
                                          const std::string& eMail, const std::string& password) {
    Begin(136).database.UpdateProfile(ownId, name, eMail, password);
}

void WatchInternetDatabase::SendInvitationMail(const std::string& senderEMail,
                                               const std::string& recipientEMail,
                                               const std::string& applicationName,
                                               const std::string& senderName,
                                               const std::string& applicationAddress,
                                               std::int32_t applicationId) {
    Begin(148).database.SendInvitationMail(senderEMail, recipientEMail, applicationName, senderName,
                                           applicationAddress, applicationId);
}

void WatchInternetDatabase::UpdateIP(std::int32_t ownId, const std::string& ip,
                                     const std::string& password) {
    Begin(159).database.UpdateIP(ownId, ip, password);
}

bool WatchInternetDatabase::CheckPassword(std::int32_t id, const std::string& password) {
    return Begin(169).database.CheckPassword(id, password);
}
