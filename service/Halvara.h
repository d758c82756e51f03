#pragma once

#include "BackgroundLoop.h"
#include "ContactCallQueue.h"
#include "ContactRounds.h"
#include "CurrentIPProbe.h"
#include "DiversMem.h"
#include "EngineCollaborators.h"
#include "EngineDirectory.h"
#include "EnginePeers.h"
#include "PeerAddressCheck.h"
#include "PresenceEngine.h"
#include "PresenceListener.h"
#include "TimedSocket.h"
#include "TosTable.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

class Contacts;
class RealCollaborators;

// The presence engine: the stored identities and the active identity's state
// (through DiversMem), its contact lists, the directory and the peer protocol.
// The store, the directory, the peers and the current-IP probe are handed in
// (EngineCollaborators), so its rounds run as well against ones in memory.
//
// Made on the bridge thread, which then calls every bridge operation; the peer
// listener calls the PresenceHandler methods from its own thread, and three
// background loops reach the engine: the current-IP probe (whole life), the
// reconnect loop (only while offline) and the live check (only while online).
// Two rounds talk to all contacts after a change, on threads of their own: the
// contact round after going online and the TOS notices after command 18. The
// rounds over all contacts are ContactRounds'; the engine starts them. The
// calls to a contact just added (its new address and the acquaintance notice)
// go out from a queue of their own, so command 7 and the listener never wait
// for that contact.
//
// Every outgoing call to a contact can be cancelled: the end (and an identity
// switch) clears the calls' run flag, which ends each call in progress within
// a tenth of a second, then tells every contact 0.0.0.0 in one round bounded
// by kOfflineRoundMs.
//
// Online state: kUndecided at construction, then kOnline or kOffline, changed
// only by GoOnline and GoOffline under the connectivity lock. Operations that
// need the directory or other users first call UpdateConnectivity (blocking
// from the bridge, non-blocking from the loops); operations that only read the
// lists answer from what is stored.
//
// Locks, outermost first: the connectivity lock (recursive; going online or
// offline, the identity switch, destruction), the identity lock (loading
// another identity, destruction; the live check tries it for 1000 ms), the
// state lock (the flag that allows the online services), the engine lock
// (identity state and contact-list pointer, held only for short reads and
// changes), then the contact-list lock and each contact's locks. Neither the
// engine lock nor the contact-list lock is ever held across a call to a
// contact: loops take references to the entries under the lock and call
// without it, so a bridge client listing the friends never waits for a peer.
//
// An announced address and an acquaintance notice are believed only where the
// call comes from backs them (PeerAddressCheck.h); the directory is asked, on
// the listener thread within its usual limits and with no lock held, only when
// the connection's own address does not decide.
//
// When the active identity's state cannot be loaded at start (a new identity
// whose ID the directory cannot give), the engine still serves: the identity
// table and the directory queries work, while every contact operation fails
// with CStdExcept("Halvara", kNoState), and the TOS registrations are kept on
// an own table so the clients that hold the service keep it running. The state
// is loaded when the engine next goes online.
class Halvara : public PresenceEngine, private PresenceHandler, private ContactRoundsHost {
public:
    static constexpr int kNoState = 9001;
    // Going online failed (the directory or the Internet cannot be reached, or
    // an online service could not start); going offline while offline.
    static constexpr int kOnlineFailed = 1200;
    static constexpr int kAlreadyOffline = 1210;

    static constexpr int kUndecided = -1;
    static constexpr int kOnline = 1;
    static constexpr int kOffline = 2;

    static constexpr int kReconnectIntervalMs = 4000;
    static constexpr int kLiveCheckIntervalMs = 60000;
    // How long the loops wait for the connectivity and identity locks (the
    // live check's wait for the identity lock is the rounds').
    static constexpr int kLoopLockWaitMs = ::ContactRounds::kIdentityWaitMs;
    // The round of 0.0.0.0 at the end and at an identity switch: one peer
    // time limit (the connect limit) for the whole round, waiting for a
    // contact busy in another exchange included. A contact that answers needs
    // far less, even on a loaded machine.
    static constexpr int kOfflineRoundMs = TimedSocket::kConnectLimitMs;
    // How long going online waits for the listener to bind.
    static constexpr int kListenerBindWaitMs = 1000;

    enum class Wait { kBlocking, kNonBlocking };

    // How often the reconnect loop and the live check run.
    struct Intervals {
        int reconnectMs = kReconnectIntervalMs;
        int liveCheckMs = kLiveCheckIntervalMs;
        // HALVARA_RECONNECT_INTERVAL_MS and HALVARA_LIVE_CHECK_INTERVAL_MS
        // when set (tests and benchmarks shorten them), else the defaults.
        static Intervals FromEnvironment();
    };

    // Works through collaborators, which outlive it.
    Halvara(const EngineCollaborators& collaborators, const Intervals& intervals);
    // Works through real collaborators of its own, as halvserve's: the
    // current user's registry, the directory host and the local address from
    // the environment. The first form reads the intervals from there too.
    Halvara();
    explicit Halvara(const Intervals& intervals);
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
    std::vector<FriendOnline> CheckFriendsOnline(std::int32_t tos, std::size_t maxCount) override;

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

    // Decides online or offline from whether this computer has an address,
    // unless the online services are held back (identity switch, destruction).
    // Never throws; returns whether the engine is online afterwards.
    bool UpdateConnectivity(Wait mode);
    int State() const { return m_state.load(); }
    // The intervals of the loops, as the engine was made with.
    int ReconnectIntervalMs() const { return m_reconnectMs; }
    int LiveCheckIntervalMs() const { return m_liveCheckMs; }
    // How many rounds the live check and the contact round have completed.
    int LiveCheckRounds() const { return m_rounds.LiveCheckRounds(); }
    int ContactRounds() const { return m_rounds.CompletedContactRounds(); }

private:
    Halvara(std::unique_ptr<RealCollaborators>&& own, const Intervals& intervals);
    Halvara(std::unique_ptr<RealCollaborators>&& own, const EngineCollaborators& collaborators,
            const Intervals& intervals);

    // The loaded contact lists; kNoState without them.
    std::shared_ptr<Contacts> RequireContacts();
    std::shared_ptr<Contacts> ContactsOrNull() override;
    // The contact of that ID, acquaintances searched first
    // (Contacts::kNotListed).
    std::shared_ptr<Acquaintance> FindListed(Contacts& contacts, std::int32_t id);
    // Online: the directory and the Internet reachable, a session with the
    // directory, the online services started, the contact round begun. No
    // effect while online; a failure goes offline and throws kOnlineFailed.
    // In non-blocking mode a busy connectivity lock (for 1000 ms) gives up.
    void GoOnline(Wait mode);
    // The online services that decide whether going online succeeded:
    // listener, live check, own address published to the directory.
    void StartOnlineServices(const std::shared_ptr<Contacts>& contacts);
    // The rest of going online (ContactRounds::ContactRound), on a thread of
    // its own so that contacts whose addresses no longer answer hold up
    // neither the bridge nor the start. Going offline stops it.
    void StartContactRound(const std::shared_ptr<Contacts>& contacts);
    // Offline: listener and live check stopped, the session dropped, every
    // contact marked offline; the reconnect loop started and "update contacts"
    // broadcast when asked. Throws kAlreadyOffline while offline.
    void GoOffline(Wait mode, bool reconnect, bool broadcast);
    // The same with the connectivity lock held, whatever the state.
    void GoOfflineLocked(bool reconnect, bool broadcast);
    // Command 7 and a TOS query from a stranger: the contact is listed at once,
    // and told our address and (notify) that we added it from the queue.
    void AddAndTell(std::int32_t id, bool asFriend, bool notify);
    // A state that could not be loaded at start, loaded now that the
    // directory answers; false when it still cannot be.
    bool LoadMissingState();
    bool ServicesAllowed();
    void AllowServices(bool allowed);
    void StartListener();
    // Asks the own listener to stop over the peer port (so it need not wait
    // for its accept poll), then waits for it.
    void StopListener();
    void StartReconnectLoop();
    void StartLiveCheck();
    static void Broadcast(const char* message);
    // ContactRoundsHost, from the rounds' threads.
    bool IsEngineOnline() const override { return m_state.load() == kOnline; }
    std::mutex& EngineLock() override { return m_engineLock; }
    void FlushLocked() override;
    std::recursive_timed_mutex& IdentityLock() override { return m_identityLock; }
    void BroadcastUpdateContacts() override;
    // The directory's address for a caller, asked only when a check needs it.
    peercheck::DirectoryAddress DirectoryAddressOf(std::int32_t callerId);

    // PresenceHandler, on the listener thread.
    std::int32_t OwnID() override;
    presence::PeerProfile ProfileFor(std::int32_t callerId) override;
    void AddressAnnounced(std::int32_t callerId, const std::string& ip,
                          const std::string& peerAddress) override;
    bool HasActiveTOS(std::int32_t tos) override;
    void TOSQueried(std::int32_t callerId, const std::string& peerAddress) override;
    void StateQueried(std::int32_t callerId, std::int32_t value,
                      const std::string& peerAddress) override;
    void AcquaintanceNoticed(std::int32_t callerId, const std::string& peerAddress) override;
    void TOSNoticed(std::int32_t callerId, std::int32_t tos, bool on,
                    const std::string& peerAddress) override;
    bool IsKnown(std::int32_t callerId) override;

    // Real collaborators made for this engine alone (null when handed in):
    // declared first, so they go last.
    std::unique_ptr<RealCollaborators> m_own;
    EngineDirectory& m_directory;
    CurrentIPProbe& m_probe;
    AddressSource m_localAddress;
    // Cleared at the end and during an identity switch: every call of m_peers
    // fails within a tenth of a second.
    std::atomic<bool> m_callsRunning{true};
    EnginePeers& m_peers;

    // Guards m_mem, m_identityActive, m_contacts and m_ownTos.
    std::mutex m_engineLock;
    DiversMem m_mem;
    bool m_identityActive = false;
    std::shared_ptr<Contacts> m_contacts;
    // TOS registrations while no state is loaded.
    TosTable m_ownTos;

    // The engine lock of the online state, held across going online
    // and offline (network calls included) but never taken by a list read.
    std::recursive_timed_mutex m_connectivityLock;
    std::recursive_timed_mutex m_identityLock;
    std::mutex m_stateLock;
    bool m_servicesAllowed = true;
    std::atomic<int> m_state{kUndecided};

    // Under m_connectivityLock.
    std::unique_ptr<PresenceListener> m_listener;

    int m_reconnectMs = kReconnectIntervalMs;
    int m_liveCheckMs = kLiveCheckIntervalMs;
    // Before the loops that run its rounds, so it outlives them.
    ::ContactRounds m_rounds;
    // Declared last: stopped first when the engine goes.
    BackgroundLoop m_reconnect;
    BackgroundLoop m_liveCheck;
    BackgroundLoop m_contactRound;
    BackgroundLoop m_noticeRound;
    ContactCallQueue m_contactCalls;
};
