#pragma once

#include "PresenceEngine.h"
#include "TosTable.h"

#include <mutex>

// The presence engine. It keeps the local user's own entry and its TOS
// registrations, which decide how long the service runs.
//
// The contact store, the repository, the directory client and the peer
// protocol are not wired into it yet: the operations that need them fail with
// CStdExcept("Halvara", kNotWired), which the bridge answers with the command's
// failure value.
class Halvara : public PresenceEngine {
public:
    static constexpr int kNotWired = 9001;

    Halvara() = default;
    ~Halvara() override = default;

    Halvara(const Halvara&) = delete;
    Halvara& operator=(const Halvara&) = delete;

    void SetMyProfile(const ProfileInfo& profile) override;
    std::int32_t GetMyID() override;
    bool ClaimID(std::int32_t id, const std::string& password) override;
    bool IsRegistered() override;

    std::int32_t GetFriend(std::int32_t index) override;
    std::int32_t GetAcquaintance(std::int32_t index) override;
    void Add(std::int32_t id, bool asFriend) override;
    void Delete(std::int32_t id) override;
    void MoveToFriends(std::int32_t id) override;
    void MoveToAcquaintances(std::int32_t id) override;
    ProfileInfo GetProfile(std::int32_t id) override;
    std::string GetIP(std::int32_t id) override;
    bool IsOnline(std::int32_t id, std::int32_t tos, std::int32_t mode) override;

    std::int32_t LookupID(const std::string& eMail) override;
    ProfileInfo LookupProfile(std::int32_t id) override;
    bool CheckPassword(std::int32_t id, const std::string& password) override;
    void SendInvitation(const std::string& eMail, const std::string& applicationName,
                        const std::string& applicationAddress, std::int32_t applicationId) override;

    void FlushData() override;

    void UpdateTOS(std::int32_t tos, bool on) override;
    int NumActiveTOS() override;

    SystemMessageTexts GetSystemMessage(std::int32_t number) override;

    void SetIdentity(std::int32_t index, const std::string& password) override;
    std::string GetIdentity(std::int32_t index) override;
    void DeleteIdentity(std::int32_t index) override;
    std::int32_t AddIdentity(const std::string& name, const std::string& password) override;
    std::int32_t GetActiveIdentity() override;
    std::int32_t GetHighestIdentity() override;
    bool IsIdentityTaken(const std::string& eMail) override;

    void AddAnonAcquaintances(std::int32_t count, std::int32_t tos) override;
    void RefreshAnonAcquaintances() override;
    std::vector<std::string> CollectAnonAcquaintances(std::int32_t tos) override;

private:
    [[noreturn]] static void NotWired();

    // Guards the own entry; the peer listener and the live check will read it
    // from their own threads.
    std::mutex m_listLock;
    TosTable m_ownTos;
    // Set once the identity has been registered with the directory (command 1).
    bool m_registered = false;
};
