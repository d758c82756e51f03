#pragma once

#include "BackgroundLoop.h"
#include "PresenceEngine.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class Acquaintance;
class Contacts;
class EngineDirectory;
class EnginePeers;

// What the rounds need from the engine that runs them, so they reach its
// state without knowing the engine.
class ContactRoundsHost {
public:
    virtual ~ContactRoundsHost() = default;
    // The loaded contact lists; null without a state.
    virtual std::shared_ptr<Contacts> ContactsOrNull() = 0;
    virtual bool IsEngineOnline() const = 0;
    // Guards the stored state; held only for short reads and changes.
    virtual std::mutex& EngineLock() = 0;
    // Writes the lists to the store; the engine lock is held.
    virtual void FlushLocked() = 0;
    // Held while another identity is loaded.
    virtual std::recursive_timed_mutex& IdentityLock() = 0;
    // Tells the clients the lists or presences changed.
    virtual void BroadcastUpdateContacts() = 0;
};

// The rounds that talk to every contact: after going online, the TOS notices,
// the live check and the 0.0.0.0 at the end. Each loop over all contacts
// calls up to kSideBySideCalls of them at once, and none holds the engine
// lock or a list lock across a call.
class ContactRounds {
public:
    static constexpr std::size_t kSideBySideCalls = 16;
    // The end waits for nobody's answer but the last: it tells more at once.
    static constexpr std::size_t kOfflineAnnouncers = 64;
    // How long the live check waits for the identity lock.
    static constexpr int kIdentityWaitMs = 1000;

    // callsRunning is the calls' run flag: a call cut short by it says
    // nothing about the contact.
    ContactRounds(ContactRoundsHost& host, EngineDirectory& directory, EnginePeers& peers,
                  const std::atomic<bool>& callsRunning, int offlineRoundMs);

    ContactRounds(const ContactRounds&) = delete;
    ContactRounds& operator=(const ContactRounds&) = delete;

    // After going online: own address announced to every contact, TOS
    // queries to the friends, waiting acquaintances collected, known query
    // to every acquaintance, TOS notices to every contact, "update contacts".
    void ContactRound(BackgroundLoop::Control& control, Contacts& contacts);
    // The notice of every own TOS to every contact; false when stopped first.
    bool SendTOSNotices(BackgroundLoop::Control& control, Contacts& contacts);
    // Tells every contact with an address, and the directory when online,
    // 0.0.0.0, in one round that ends by the offline round's limit whatever
    // the contacts do.
    void AnnounceOffline();
    // Type 13 to every contact; "update contacts" when a presence changed.
    void LiveCheckRound(BackgroundLoop::Control& control);
    // Type 13 to a contact without any list lock: on success the contact is
    // online and the answer is recorded for that TOS; any failure marks it
    // offline (address 0.0.0.0) and answers false.
    // A loop's keepGoing is looked at once the contact's exchange lock is held:
    // false answers the stored presence without a call.
    bool QueryTOS(Acquaintance& contact, std::int32_t ownId, std::int32_t tos,
                  const std::function<bool()>& keepGoing = {});

    // QueryTOS to every entry at once, one thread each up to
    // kMaxSideBySideChecks: the whole check takes about one call's time limit
    // however many are silent. A contact whose exchange lock is still taken
    // when the first of them ends answers its stored presence. (id, online)
    // in the entries' order.
    std::vector<FriendOnline> QueryFriendsTOS(const std::vector<std::shared_ptr<Acquaintance>>& entries,
                                              std::int32_t ownId, std::int32_t tos);
    static constexpr std::size_t kMaxSideBySideChecks = 1024;

    // How many rounds the live check and the contact round have completed.
    int LiveCheckRounds() const { return m_liveRounds.load(); }
    int CompletedContactRounds() const { return m_contactRounds.load(); }

private:
    // Records the waiting acquaintances; false when stopped first.
    bool CollectWaitingAcquaintances(BackgroundLoop::Control& control, Contacts& contacts,
                                     std::int32_t ownId, const std::string& ownPassword);

    ContactRoundsHost& m_host;
    EngineDirectory& m_directory;
    EnginePeers& m_peers;
    const std::atomic<bool>& m_callsRunning;
    const int m_offlineRoundMs;
    std::atomic<int> m_liveRounds{0};
    std::atomic<int> m_contactRounds{0};
};
