#pragma once

#include "EngineDirectory.h"
#include "NetUtilities.h"

class WatchInternetDatabase;

// The directory as the running engine reaches it: the queries of the watched
// session, the session opened over HTTP once the directory and the Internet
// answer, and the local address from the current-IP probe.
class DirectoryOfContacts : public EngineDirectory {
public:
    // How long going online waits for the directory to accept a connection.
    static constexpr int kReachMs = 15000;

    DirectoryOfContacts(WatchInternetDatabase& database, AddressSource currentAddress);

    std::string LocalAddress() override;
    DirectoryProfile LookupProfile(std::int32_t contactId) override;
    std::string LookupIP(std::int32_t contactId) override;
    void RegisterAsAcquaintance(std::int32_t contactId, std::int32_t ownId) override;
    std::int32_t RegisterNewID() override;
    void UpdateIP(std::int32_t ownId, const std::string& ip, const std::string& password) override;
    std::string GetRandomIP(std::int32_t tos) override;
    void InsertRandomIP(std::int32_t tos, const std::string& ownIp) override;
    void RemoveRandomIP(std::int32_t tos, const std::string& ownIp) override;

    std::string Host() const override;
    bool OpenSession() override;
    void CloseSession() override;
    std::vector<std::int32_t> LookupAcquaintances(std::int32_t ownId,
                                                  const std::string& password) override;
    void DeleteAcquaintances(std::int32_t ownId, const std::string& password) override;
    std::int32_t LookupID(const std::string& eMail) override;
    void UpdateProfile(std::int32_t ownId, const std::string& name, const std::string& eMail,
                       const std::string& password) override;
    bool CheckPassword(std::int32_t id, const std::string& password) override;
    SystemMessageTimes GetSystemMessageTime(std::int32_t number) override;
    SystemMessage GetSystemMessage(std::int32_t index) override;
    void SendInvitationMail(const std::string& senderEMail, const std::string& recipientEMail,
                            const std::string& applicationName, const std::string& senderName,
                            const std::string& applicationAddress,
                            std::int32_t applicationId) override;

private:
    WatchInternetDatabase& m_database;
    AddressSource m_currentAddress;
};
