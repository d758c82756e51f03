#pragma once

#include "ContactNetwork.h"

#include <cstdint>
#include <string>

// The directory as the engine's own directory, except that a new ID comes from
// one registered beforehand: loading a fresh identity then asks the network
// nothing while the engine lock is held.
class PreRegisteredDirectory : public ContactDirectory {
public:
    PreRegisteredDirectory(ContactDirectory& directory, std::int32_t id);

    std::string LocalAddress() override;
    DirectoryProfile LookupProfile(std::int32_t contactId) override;
    std::string LookupIP(std::int32_t contactId) override;
    void RegisterAsAcquaintance(std::int32_t contactId, std::int32_t ownId) override;
    std::int32_t RegisterNewID() override;
    void UpdateIP(std::int32_t ownId, const std::string& ip, const std::string& password) override;
    std::string GetRandomIP(std::int32_t tos) override;
    void InsertRandomIP(std::int32_t tos, const std::string& ownIp) override;
    void RemoveRandomIP(std::int32_t tos, const std::string& ownIp) override;

private:
    ContactDirectory& m_directory;
    std::int32_t m_id;
};
