#include "ContactNetwork.h"

#include "WatchInternetDatabase.h"

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
