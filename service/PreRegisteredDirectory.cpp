#include "PreRegisteredDirectory.h"

PreRegisteredDirectory::PreRegisteredDirectory(ContactDirectory& directory, std::int32_t id)
    : m_directory(directory)
    , m_id(id) {}

std::string PreRegisteredDirectory::LocalAddress() {
    return m_directory.LocalAddress();
}

DirectoryProfile PreRegisteredDirectory::LookupProfile(std::int32_t contactId) {
    return m_directory.LookupProfile(contactId);
}

std::string PreRegisteredDirectory::LookupIP(std::int32_t contactId) {
    return m_directory.LookupIP(contactId);
}

void PreRegisteredDirectory::RegisterAsAcquaintance(std::int32_t contactId, std::int32_t ownId) {
    m_directory.RegisterAsAcquaintance(contactId, ownId);
}

std::int32_t PreRegisteredDirectory::RegisterNewID() {
    return m_id;
}

void PreRegisteredDirectory::UpdateIP(std::int32_t ownId, const std::string& ip,
                                      const std::string& password) {
    m_directory.UpdateIP(ownId, ip, password);
}

std::string PreRegisteredDirectory::GetRandomIP(std::int32_t tos) {
    return m_directory.GetRandomIP(tos);
}

void PreRegisteredDirectory::InsertRandomIP(std::int32_t tos, const std::string& ownIp) {
    m_directory.InsertRandomIP(tos, ownIp);
}

void PreRegisteredDirectory::RemoveRandomIP(std::int32_t tos, const std::string& ownIp) {
    m_directory.RemoveRandomIP(tos, ownIp);
}
