#pragma once

#include "ContactNetwork.h"
#include "InternetDatabase.h"

#include <cstdint>
#include <string>
#include <vector>

// The directory as the engine reaches it: what the contact records ask
// (ContactDirectory), the session held while the engine is online, and the
// queries of the own entry, the waiting acquaintances and the system messages.
// DirectoryOfContacts is the real one; tests hand in one in memory. Every
// failing query throws CStdExcept.
class EngineDirectory : public ContactDirectory {
public:
    // The directory host ("host" or "host:port"), which the local address
    // is looked up towards.
    virtual std::string Host() const = 0;
    // The session of going online, opened only when the directory and the
    // Internet both answer; false (and no session) when either does not.
    virtual bool OpenSession() = 0;
    // Every query but a new ID's fails until the next session.
    virtual void CloseSession() = 0;

    virtual std::vector<std::int32_t> LookupAcquaintances(std::int32_t ownId,
                                                          const std::string& password) = 0;
    virtual void DeleteAcquaintances(std::int32_t ownId, const std::string& password) = 0;
    virtual std::int32_t LookupID(const std::string& eMail) = 0;
    virtual void UpdateProfile(std::int32_t ownId, const std::string& name,
                               const std::string& eMail, const std::string& password) = 0;
    virtual bool CheckPassword(std::int32_t id, const std::string& password) = 0;
    virtual SystemMessageTimes GetSystemMessageTime(std::int32_t number) = 0;
    virtual SystemMessage GetSystemMessage(std::int32_t index) = 0;
    virtual void
    SendInvitationMail(const std::string& senderEMail, const std::string& recipientEMail,
                       const std::string& applicationName, const std::string& senderName,
                       const std::string& applicationAddress, std::int32_t applicationId) = 0;
};
