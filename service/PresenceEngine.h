#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A profile as the bridge carries it: display name, e-mail address and
// password (the password only travels towards the service).
struct ProfileInfo {
    std::string name;
    std::string eMail;
    std::string password;
};

// One friend's answer to a live check.
struct FriendOnline {
    std::int32_t id = 0;
    bool online = false;

    bool operator==(const FriendOnline&) const = default;
};

// The two texts of a system message that is due.
struct SystemMessageTexts {
    std::string title;
    std::string text;
};

// The presence engine as the bridge sees it: one operation per bridge command.
// Every failure is reported by throwing CStdExcept; the bridge turns it into the
// command's failure value and keeps serving. Indexes count from 0; IDs and TOS
// numbers are the directory's 32-bit numbers.
class PresenceEngine {
public:
    virtual ~PresenceEngine() = default;

    // Identity and own entry (commands 1 to 4).
    virtual void SetMyProfile(const ProfileInfo& profile) = 0;
    virtual std::int32_t GetMyID() = 0;
    // False when the password does not match; throws when the check cannot be made.
    virtual bool ClaimID(std::int32_t id, const std::string& password) = 0;
    virtual bool IsRegistered() = 0;

    // Contact lists (commands 5 to 13).
    virtual std::int32_t GetFriend(std::int32_t index) = 0;
    virtual std::int32_t GetAcquaintance(std::int32_t index) = 0;
    virtual void Add(std::int32_t id, bool asFriend) = 0;
    virtual void Delete(std::int32_t id) = 0;
    virtual void MoveToFriends(std::int32_t id) = 0;
    virtual void MoveToAcquaintances(std::int32_t id) = 0;
    virtual ProfileInfo GetProfile(std::int32_t id) = 0;
    virtual std::string GetIP(std::int32_t id) = 0;
    // mode 0: the stored presence for that TOS; otherwise a live query.
    virtual bool IsOnline(std::int32_t id, std::int32_t tos, std::int32_t mode) = 0;
    // Command 32: the first maxCount friends (the own entry left out) asked
    // live side by side, all within about one call's time limit; (id, online)
    // in list order.
    virtual std::vector<FriendOnline> CheckFriendsOnline(std::int32_t tos,
                                                         std::size_t maxCount) = 0;

    // Directory queries (commands 14 to 16, 27).
    virtual std::int32_t LookupID(const std::string& eMail) = 0;
    virtual ProfileInfo LookupProfile(std::int32_t id) = 0;
    virtual bool CheckPassword(std::int32_t id, const std::string& password) = 0;
    virtual void SendInvitation(const std::string& eMail, const std::string& applicationName,
                                const std::string& applicationAddress,
                                std::int32_t applicationId) = 0;

    // Engine state (command 17).
    virtual void FlushData() = 0;

    // TOS registrations of the local user's own entry (commands 18, 19).
    virtual void UpdateTOS(std::int32_t tos, bool on) = 0;
    virtual int NumActiveTOS() = 0;

    // System messages (command 20): throws when nothing is due.
    virtual SystemMessageTexts GetSystemMessage(std::int32_t number) = 0;

    // Stored identities (commands 21 to 26, 31).
    virtual void SetIdentity(std::int32_t index, const std::string& password) = 0;
    virtual std::string GetIdentity(std::int32_t index) = 0;
    virtual void DeleteIdentity(std::int32_t index) = 0;
    virtual std::int32_t AddIdentity(const std::string& name, const std::string& password) = 0;
    virtual std::int32_t GetActiveIdentity() = 0;
    virtual std::int32_t GetHighestIdentity() = 0;
    virtual bool IsIdentityTaken(const std::string& eMail) = 0;

    // Anonymous acquaintances (commands 29, 30).
    virtual void AddAnonAcquaintances(std::int32_t count, std::int32_t tos) = 0;
    virtual void RefreshAnonAcquaintances() = 0;
    // The address texts of the anonymous acquaintances of that TOS, in list order.
    virtual std::vector<std::string> CollectAnonAcquaintances(std::int32_t tos) = 0;
};
