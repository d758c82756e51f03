#pragma once

#include "InternetDatabase.h"

#include <memory>
#include <mutex>

// The engine's way to the directory: holds the directory host and the current
// internet session, which is set while the engine is online and cleared while it
// is offline. Every query forwards to the InternetDatabase query of the same
// name and, without a session, throws CStdExcept from the unit
// WatchInternetDatabase with a number per query. A query keeps its own
// reference on the session, so a session replaced meanwhile lives until the
// queries that use it have ended; the lock only guards the two fields and is
// never held across a request.
class WatchInternetDatabase {
public:
    explicit WatchInternetDatabase(std::string host = DirectoryHost());

    // Stores a new session (null: none) and host; returns the previous session.
    std::shared_ptr<InternetSession> SetSession(std::shared_ptr<InternetSession> session,
                                                std::string host);
    std::shared_ptr<InternetSession> Session() const;
    std::string Host() const;

    std::string GetRandomIP(std::int32_t tos);
    void RemoveRandomIP(std::int32_t tos, const std::string& ownIp);
    void InsertRandomIP(std::int32_t tos, const std::string& ownIp);
    void DeleteAcquaintances(std::int32_t ownId, const std::string& password = {});
    std::vector<std::int32_t> LookupAcquaintances(std::int32_t ownId,
                                                  const std::string& password = {});
    SystemMessage GetSystemMessage(std::int32_t index);
    SystemMessageTimes GetSystemMessageTime(std::int32_t number);
    std::int32_t LookupID(const std::string& eMail);
    std::string LookupIP(std::int32_t contactId);
    DirectoryProfile LookupProfile(std::int32_t contactId);
    void RegisterAsAcquaintance(std::int32_t contactId, std::int32_t ownId);
    std::int32_t RegisterNewID();
    void UpdateProfile(std::int32_t ownId, const std::string& name, const std::string& eMail,
                       const std::string& password);
    void SendInvitationMail(const std::string& senderEMail, const std::string& recipientEMail,
                            const std::string& applicationName, const std::string& senderName,
                            const std::string& applicationAddress, std::int32_t applicationId);
    void UpdateIP(std::int32_t ownId, const std::string& ip, const std::string& password = {});
    bool CheckPassword(std::int32_t id, const std::string& password);

private:
    // A directory view over the current session; refuses with number without one.
    struct Query {
        std::shared_ptr<InternetSession> session;
        InternetDatabase database;
    };
    Query Begin(int number) const;

    mutable std::mutex m_lock;
    std::string m_host;
    std::shared_ptr<InternetSession> m_session;
};
