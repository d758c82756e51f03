#pragma once

#include "ContactNetwork.h"
#include "DiversMem.h"
#include "PresenceCallPeers.h"
#include "PresenceCalls.h"
#include "PresenceEngine.h"
#include "PresenceListener.h"
#include "TosTable.h"
#include "WatchInternetDatabase.h"
#include "platform/RegistryStore.h"

#include <memory>
#include <mutex>

class Contacts;

// The presence engine: the stored identities and the active identity's state
// (through DiversMem), its contact lists, the directory and the peer protocol.
//
// Made on the bridge thread, which then calls every bridge operation; the peer
// listener calls the PresenceHandler methods from its own thread. The engine
// lock guards the identity state and the contact-list pointer and is never held
// across a directory or peer call by those handler methods; the contact lists
// have their own list lock, which they too release around network calls.
//
// When the active identity's state cannot be loaded at start (a new identity
// whose ID the directory cannot give), the engine still serves: the identity
// table and the directory queries work, while every contact operation fails
// with CStdExcept("Halvara", kNoState), and the TOS registrations are kept on
// an own table so the clients that hold the service keep it running.
class Halvara : public PresenceEngine, private PresenceHandler {
public:
    static constexpr int kNoState = 9001;

    // The registry is the current user's; the directory host and the local
    // address come from the environment.
    Halvara();
    ~Halvara() override;

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
    // The loaded contact lists; kNoState without them.
    std::shared_ptr<Contacts> RequireContacts();
    std::shared_ptr<Contacts> ContactsOrNull();
    // The contact of that ID, acquaintances searched first (Contacts 140).
    std::shared_ptr<Acquaintance> FindListed(Contacts& contacts, std::int32_t id);
    // Online: a session with the directory, the own address published and
    // told to every contact, the listener running. Failures of the network
    // steps leave the engine online with whatever worked.
    void GoOnline();
    // Offline: every contact told 0.0.0.0 and marked offline, the listener
    // stopped, the session dropped.
    void GoOffline();
    void StartListener();
    static void Broadcast(const char* message);

    // PresenceHandler, on the listener thread.
    std::int32_t OwnID() override;
    presence::PeerProfile ProfileFor(std::int32_t callerId) override;
    void AddressAnnounced(std::int32_t callerId, const std::string& ip) override;
    bool HasActiveTOS(std::int32_t tos) override;
    void TOSQueried(std::int32_t callerId) override;
    void StateQueried(std::int32_t callerId, std::int32_t value) override;
    void AcquaintanceNoticed(std::int32_t callerId) override;
    void TOSNoticed(std::int32_t callerId, std::int32_t tos, bool on) override;
    bool IsKnown(std::int32_t callerId) override;

    platform::RegistryStore m_store;
    WatchInternetDatabase m_database;
    AddressSource m_localAddress;
    DirectoryOfContacts m_directory;
    PresenceCalls m_calls;
    PresenceCallPeers m_peers;

    // Guards m_mem, m_identityActive, m_contacts and m_ownTos.
    std::mutex m_engineLock;
    DiversMem m_mem;
    bool m_identityActive = false;
    std::shared_ptr<Contacts> m_contacts;
    // TOS registrations while no state is loaded.
    TosTable m_ownTos;

    std::unique_ptr<PresenceListener> m_listener;
};
