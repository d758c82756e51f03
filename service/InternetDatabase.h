#pragma once

#include "InternetSession.h"

#include <cstdint>
#include <string>
#include <vector>

// A user's public profile as the directory keeps it.
struct DirectoryProfile {
    std::string name;
    std::string eMail;
};

// The two publication times of the system messages; a value below 100 means
// there is no message of that kind.
struct SystemMessageTimes {
    std::int32_t general = 0;
    std::int32_t particular = 0;
};

struct SystemMessage {
    std::string title;
    std::string text;
};

// The queries of the central directory: one HTTP GET each, arguments packed
// into the query string, a short plain-text reply parsed here. Every refusal
// throws CStdExcept from the unit InternetDatabase with a number per check, in
// the order: no local address, argument checks, no reply, unreadable status,
// status above 299, failed exchange, then the checks of the body. Text
// arguments are percent-encoded byte by byte, so a name or password holding
// "+", "&", "#" or "%" reaches the directory whole; the directory decodes them.
// Passwords go lower-cased, as the engine keeps its identity passwords, so the
// directory's stored hash and every later check see the same text.
// Nothing is retried here.
class InternetDatabase {
public:
    // At most this much of a reply body is read; the rest is cut.
    static constexpr std::size_t kBodyLimit = 2048;

    InternetDatabase(const InternetSession& session, std::string host);

    const std::string& Host() const { return m_host; }

    // A new user ID; the host must first accept a TCP connection in 15 seconds.
    std::int32_t RegisterNewID();
    // The password of a claimed ID goes along (lower-cased): the directory
    // moves a claimed ID's address only for its owner. An empty password is
    // left out, for an ID whose profile was never stored.
    void UpdateIP(std::int32_t ownId, const std::string& ip, const std::string& password = {});
    // The contact's address as dotted quad.
    std::string LookupIP(std::int32_t contactId);
    void UpdateProfile(std::int32_t ownId, const std::string& name, const std::string& eMail,
                       const std::string& password);
    void RegisterAsAcquaintance(std::int32_t contactId, std::int32_t ownId);
    DirectoryProfile LookupProfile(std::int32_t contactId);
    // The IDs that added this user while it could not be reached. The list is
    // the owner's: a claimed ID's password goes along as for UpdateIP, and is
    // left out when empty.
    std::vector<std::int32_t> LookupAcquaintances(std::int32_t ownId,
                                                  const std::string& password = {});
    void DeleteAcquaintances(std::int32_t ownId, const std::string& password = {});
    std::int32_t LookupID(const std::string& eMail);
    // False when the password does not match (not a refusal).
    bool CheckPassword(std::int32_t id, const std::string& password);
    SystemMessageTimes GetSystemMessageTime(std::int32_t number);
    // index below 1: the general message; otherwise the particular one.
    SystemMessage GetSystemMessage(std::int32_t index);
    void SendInvitationMail(const std::string& senderEMail, const std::string& recipientEMail,
                            const std::string& applicationName, const std::string& senderName,
                            const std::string& applicationAddress, std::int32_t applicationId);
    // The address of a random online user of that TOS.
    std::string GetRandomIP(std::int32_t tos);
    void RemoveRandomIP(std::int32_t tos, const std::string& ownIp);
    void InsertRandomIP(std::int32_t tos, const std::string& ownIp);

private:
    // The refusal numbers of one query's common steps.
    struct Numbers {
        int noAddress;
        int noFile;
        int statusUnreadable;
        int statusAbove299;
        int failed;
    };

    [[noreturn]] static void Refuse(int number);
    void RequireAddress(int number) const;
    // Makes the request and refuses unless a status of 299 or less came back.
    std::string Fetch(const std::string& target, const Numbers& numbers,
                      bool sizedByContentLength = false) const;
    // The body of a reply that came whole with a status of 299 or less.
    static std::string Checked(HttpReply reply, const Numbers& numbers);
    // Fetch with the owner's password as the last argument (none when empty).
    // A directory that takes no password there refuses the extra argument
    // with status 400; it is then asked once more without it, so the waiting
    // list still works with such a directory.
    std::string FetchForOwner(const std::string& target, const std::string& password,
                              const Numbers& numbers) const;

    const InternetSession& m_session;
    std::string m_host;
};
