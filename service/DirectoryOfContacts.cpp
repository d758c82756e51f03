#include "DirectoryOfContacts.h"

#include "InternetSession.h"
#include "WatchInternetDatabase.h"

#include <memory>

DirectoryOfContacts::DirectoryOfContacts(WatchInternetDatabase& database,
                                         AddressSource currentAddress)
    : m_database(database)
    , m_currentAddress(std::move(currentAddress)) {}

std::string DirectoryOfContacts::LocalAddress() {
    return LocalAddressText(m_currentAddress, m_database.Host());
}
DirectoryProfile DirectoryOfContacts::LookupProfile(std::int32_t contactId) {
    return m_database.LookupProfile(contactId);
}
std::string DirectoryOfContacts::LookupIP(std::int32_t contactId) {
    return m_database.LookupIP(contactId);
}
void DirectoryOfContacts::RegisterAsAcquaintance(std::int32_t contactId, std::int32_t ownId) {
    m_database.RegisterAsAcquaintance(contactId, ownId);
}
// A new identity registers before the engine has gone online, so this query
// runs on a session of its own rather than the watched one.
std::int32_t DirectoryOfContacts::RegisterNewID() {
    InternetSession session(m_currentAddress);
    return InternetDatabase(session, m_database.Host()).RegisterNewID();
}
void DirectoryOfContacts::UpdateIP(std::int32_t ownId, const std::string& ip,
                                   const std::string& password) {
    m_database.UpdateIP(ownId, ip, password);
}
std::string DirectoryOfContacts::GetRandomIP(std::int32_t tos) {
    return m_database.GetRandomIP(tos);
}
void DirectoryOfContacts::InsertRandomIP(std::int32_t tos, const std::string& ownIp) {
    m_database.InsertRandomIP(tos, ownIp);
}
void DirectoryOfContacts::RemoveRandomIP(std::int32_t tos, const std::string& ownIp) {
    m_database.RemoveRandomIP(tos, ownIp);
}

std::string DirectoryOfContacts::Host() const {
    return m_database.Host();
}

bool DirectoryOfContacts::OpenSession() {
    // The directory first: without it the engine cannot go online whatever
    // else answers, and on its own it costs one connection attempt.
    const std::string host = m_database.Host();
    if (!IsHostReachableWithin(host, kReachMs))
        return false;
    NoteHostAnswered(host);
    if (!IsInternetReachable())
        return false;
    m_database.SetSession(std::make_shared<InternetSession>(m_currentAddress), host);
    return true;
}

void DirectoryOfContacts::CloseSession() {
    m_database.SetSession(nullptr, m_database.Host());
}

std::vector<std::int32_t> DirectoryOfContacts::LookupAcquaintances(std::int32_t ownId,
                                                                   const std::string& password) {
    return m_database.LookupAcquaintances(ownId, password);
}
void DirectoryOfContacts::DeleteAcquaintances(std::int32_t ownId, const std::string& password) {
    m_database.DeleteAcquaintances(ownId, password);
}
std::int32_t DirectoryOfContacts::LookupID(const std::string& eMail) {
    return m_database.LookupID(eMail);
}
void DirectoryOfContacts::UpdateProfile(std::int32_t ownId, const std::string& name,
                                        const std::string& eMail, const std::string& password) {
    m_database.UpdateProfile(ownId, name, eMail, password);
}
bool DirectoryOfContacts::CheckPassword(std::int32_t id, const std::string& password) {
    return m_database.CheckPassword(id, password);
}
SystemMessageTimes DirectoryOfContacts::GetSystemMessageTime(std::int32_t number) {
    return m_database.GetSystemMessageTime(number);
}
SystemMessage DirectoryOfContacts::GetSystemMessage(std::int32_t index) {
    return m_database.GetSystemMessage(index);
}
void DirectoryOfContacts::SendInvitationMail(const std::string& senderEMail,
                                             const std::string& recipientEMail,
                                             const std::string& applicationName,
                                             const std::string& senderName,
                                             const std::string& applicationAddress,
                                             std::int32_t applicationId) {
    m_database.SendInvitationMail(senderEMail, recipientEMail, applicationName, senderName,
                                  applicationAddress, applicationId);
}
