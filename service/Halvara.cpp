#include "Halvara.h"

#include "Contacts.h"
#include "DeferredPeers.h"
#include "PeerAddressCheck.h"
#include "PreRegisteredDirectory.h"
#include "RealCollaborators.h"
#include "bridge/CStdExcept.h"
#include "platform/Environment.h"
#include "platform/MessageBus.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <optional>
#include <system_error>
#include <thread>

namespace {
constexpr const char* kUnit = "Halvara";
constexpr const char* kUpdateContacts = "Halvara: update contacts";

// The address the listener binds: HALVARA_ADDRESS when set, else every address.
std::string ListenAddress() {
    return platform::ConfiguredAddress();
}

// A loop interval from the environment (tests shorten them), else the default.
int IntervalFromEnvironment(const char* name, int fallback) {
    return static_cast<int>(platform::EnvironmentMilliseconds(name, fallback, 10, 3'600'000));
}

// Takes a recursive timed lock without limit, or for at most the loops' wait.
bool TakeLock(std::unique_lock<std::recursive_timed_mutex>& lock, Halvara::Wait mode) {
    if (mode == Halvara::Wait::kBlocking) {
        lock.lock();
        return true;
    }
    return lock.try_lock_for(std::chrono::milliseconds(Halvara::kLoopLockWaitMs));
}

} // namespace

Halvara::Intervals Halvara::Intervals::FromEnvironment() {
    return Intervals{
        IntervalFromEnvironment("HALVARA_RECONNECT_INTERVAL_MS", kReconnectIntervalMs),
        IntervalFromEnvironment("HALVARA_LIVE_CHECK_INTERVAL_MS", kLiveCheckIntervalMs)};
}

Halvara::Halvara()
    : Halvara(Intervals::FromEnvironment()) {}

Halvara::Halvara(const Intervals& intervals)
    : Halvara(std::make_unique<RealCollaborators>(), intervals) {}

// own is only bound here; it moves into m_own after Parts() has been read.
Halvara::Halvara(std::unique_ptr<RealCollaborators>&& own, const Intervals& intervals)
    : Halvara(std::move(own), own->Parts(), intervals) {}

Halvara::Halvara(const EngineCollaborators& collaborators, const Intervals& intervals)
    : Halvara(nullptr, collaborators, intervals) {}

Halvara::Halvara(std::unique_ptr<RealCollaborators>&& own, const EngineCollaborators& collaborators,
                 const Intervals& intervals)
    : m_own(std::move(own))
    , m_directory(collaborators.directory)
    , m_probe(collaborators.probe)
    , m_localAddress([this] { return m_probe.Read(); })
    , m_peers(collaborators.peers)
    , m_mem(collaborators.store)
    , m_reconnectMs(intervals.reconnectMs)
    , m_liveCheckMs(intervals.liveCheckMs)
    , m_rounds(*this, m_directory, m_peers, m_callsRunning, kOfflineRoundMs) {
    m_peers.SetRunFlag(&m_callsRunning);
    m_probe.Start();
    try {
        // A new identity registers its ID before the engine has gone online,
        // on a session of its own.
        m_identityActive = m_mem.LoadAtStart(m_directory);
        m_contacts = m_mem.GetContacts();
    } catch (const CStdExcept&) {
        // No state to act as (no directory for a new identity): the engine
        // serves what needs none; see the class comment.
        m_contacts.reset();
    }
    UpdateConnectivity(Wait::kBlocking);
}

Halvara::~Halvara() {
    AllowServices(false);
    // Every call to a contact in progress ends within a tenth of a second,
    // whichever thread makes it, and none starts: the end waits for nobody
    // but its own bounded round below.
    m_callsRunning.store(false);
    std::unique_lock connectivity(m_connectivityLock);
    std::unique_lock identity(m_identityLock);
    m_probe.Stop();
    m_contactRound.RequestStop();
    m_noticeRound.RequestStop();
    m_liveCheck.RequestStop();
    // Notices still queued fail at once and are left at the directory.
    m_contactCalls.Close();
    m_rounds.AnnounceOffline();
    try {
        GoOffline(Wait::kBlocking, false, false);
    } catch (const CStdExcept&) {
        // Offline already.
    }
    StopListener();
    m_liveCheck.StopAndWait();
    m_contactRound.StopAndWait();
    m_noticeRound.StopAndWait();
    {
        std::lock_guard lock(m_engineLock);
        m_mem.SaveAtExit();
    }
    m_reconnect.StopAndWait();
    // Every thread that made calls has ended; the peers may outlive the flag.
    m_peers.SetRunFlag(nullptr);
}

std::shared_ptr<Contacts> Halvara::ContactsOrNull() {
    std::lock_guard lock(m_engineLock);
    return m_contacts;
}

std::shared_ptr<Contacts> Halvara::RequireContacts() {
    auto contacts = ContactsOrNull();
    if (!contacts)
        throw CStdExcept(kUnit, kNoState);
    return contacts;
}

std::shared_ptr<Acquaintance> Halvara::FindListed(Contacts& contacts, std::int32_t id) {
    auto entry = contacts.FindAcquaintance(id);
    if (!entry)
        entry = contacts.FindFriend(id);
    if (!entry)
        throw CStdExcept("Contacts", 140);
    return entry;
}

void Halvara::Broadcast(const char* message) {
    platform::MessageBus::PostToAll(platform::MessageBus::RegisterMessage(message));
}

void Halvara::BroadcastUpdateContacts() {
    Broadcast(kUpdateContacts);
}

void Halvara::FlushLocked() {
    m_mem.Flush();
}

// Online state.

bool Halvara::ServicesAllowed() {
    std::lock_guard lock(m_stateLock);
    return m_servicesAllowed;
}

void Halvara::AllowServices(bool allowed) {
    std::lock_guard lock(m_stateLock);
    m_servicesAllowed = allowed;
}

bool Halvara::UpdateConnectivity(Wait mode) {
    if (!ServicesAllowed())
        return m_state.load() == kOnline;
    try {
        if (m_localAddress() != "0.0.0.0")
            GoOnline(mode);
        else
            GoOffline(mode, true, true);
    } catch (const CStdExcept&) {
        // The engine stays or goes offline; the reconnect loop tries again.
    }
    return m_state.load() == kOnline;
}

void Halvara::GoOnline(Wait mode) {
    if (m_state.load() == kOnline)
        return;
    std::unique_lock connectivity(m_connectivityLock, std::defer_lock);
    if (!TakeLock(connectivity, mode))
        return;
    // Decided by another thread meanwhile, or held back since.
    if (m_state.load() == kOnline || !ServicesAllowed())
        return;

    if (!m_directory.OpenSession()) {
        // Offline already: only the reconnect loop must be there.
        if (m_state.load() == kOffline)
            StartReconnectLoop();
        else
            GoOfflineLocked(true, true);
        throw CStdExcept(kUnit, kOnlineFailed);
    }

    auto contacts = ContactsOrNull();
    if (!contacts && LoadMissingState())
        contacts = ContactsOrNull();
    if (contacts) {
        try {
            StartOnlineServices(contacts);
        } catch (const CStdExcept&) {
            // Whatever started is stopped again, whichever state came before.
            GoOfflineLocked(true, true);
            throw CStdExcept(kUnit, kOnlineFailed);
        }
    }
    m_reconnect.RequestStop();
    m_state.store(kOnline);
    Broadcast(kUpdateContacts);
    if (contacts)
        StartContactRound(contacts);
}

bool Halvara::LoadMissingState() {
    std::unique_lock identity(m_identityLock);
    std::int32_t index = 0;
    {
        std::lock_guard lock(m_engineLock);
        if (m_contacts)
            return true;
        index = std::max(m_mem.Identities().CurrentIdentity(), 0);
    }
    try {
        // The only reason a state fails to load is a new ID the directory
        // could not give; it is asked outside the engine lock.
        PreRegisteredDirectory directory(m_directory, m_directory.RegisterNewID());
        std::lock_guard lock(m_engineLock);
        m_mem.LoadIdentityState(index, directory);
        m_contacts = m_mem.GetContacts();
        if (m_contacts && !m_ownTos.Triples().empty())
            m_contacts->InstallOwnTOSTable(m_ownTos);
    } catch (const CStdExcept&) {
        return false;
    }
    return m_contacts != nullptr;
}

void Halvara::StartOnlineServices(const std::shared_ptr<Contacts>& contacts) {
    StartListener();
    StartLiveCheck();
    // The own address for the own entry; the contacts hear it from the
    // contact round.
    Friend::PublishOwnIP(contacts->OwnEntry(), m_directory);
}

void Halvara::StartContactRound(const std::shared_ptr<Contacts>& contacts) {
    // A round still talking for an earlier going online (or an earlier ID)
    // stops at its next contact.
    m_contactRound.RequestStop();
    m_contactRound.Start([this, contacts](BackgroundLoop::Control& control) {
        m_rounds.ContactRound(control, *contacts);
    });
}

void Halvara::GoOffline(Wait mode, bool reconnect, bool broadcast) {
    std::unique_lock connectivity(m_connectivityLock, std::defer_lock);
    if (!TakeLock(connectivity, mode))
        return;
    if (m_state.load() == kOffline)
        throw CStdExcept(kUnit, kAlreadyOffline);
    GoOfflineLocked(reconnect, broadcast);
}

void Halvara::GoOfflineLocked(bool reconnect, bool broadcast) {
    m_contactRound.RequestStop();
    m_noticeRound.RequestStop();
    StopListener();
    m_liveCheck.RequestStop();
    m_directory.CloseSession();
    if (auto contacts = ContactsOrNull())
        contacts->GoOffline();
    m_state.store(kOffline);
    if (reconnect)
        StartReconnectLoop();
    if (broadcast)
        Broadcast(kUpdateContacts);
}

void Halvara::StartListener() {
    if (!m_listener)
        m_listener = std::make_unique<PresenceListener>(static_cast<PresenceHandler&>(*this),
                                                        ListenAddress());
    if (!m_listener->IsRunning())
        m_listener->Start();
    // Contacts are told our address right after this: give the listener a
    // moment to bind so their first call finds it (a port still held makes
    // it retry in the background instead).
    for (int waited = 0; waited < kListenerBindWaitMs && !m_listener->IsListening(); waited += 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void Halvara::StopListener() {
    if (!m_listener)
        return;
    if (m_listener->IsRunning() && m_listener->IsListening()) {
        const std::int32_t ownId = OwnID();
        try {
            const std::string target = ListenAddress().empty() ? "127.0.0.1" : ListenAddress();
            // Not cancelled with the calls to contacts: the own listener
            // answers at once, and without the request the stop waits for its
            // accept poll.
            m_peers.StopListener(target, ownId,
                                 std::chrono::steady_clock::now() +
                                     std::chrono::milliseconds(kOfflineRoundMs));
        } catch (const CStdExcept&) {
            // The run flag below ends it within its accept poll.
        }
    }
    m_listener->Stop();
}

void Halvara::StartReconnectLoop() {
    m_reconnect.Start([this](BackgroundLoop::Control& control) {
        while (control.Sleep(m_reconnectMs)) {
            if (m_state.load() == kOnline)
                return;
            UpdateConnectivity(Wait::kNonBlocking);
            if (m_state.load() == kOnline)
                return;
        }
    });
}

void Halvara::StartLiveCheck() {
    m_liveCheck.Start([this](BackgroundLoop::Control& control) {
        while (control.Sleep(m_liveCheckMs)) {
            if (m_localAddress() == "0.0.0.0") {
                UpdateConnectivity(Wait::kNonBlocking);
                return;
            }
            UpdateConnectivity(Wait::kNonBlocking);
            if (!control.ShouldRun())
                return;
            m_rounds.LiveCheckRound(control);
        }
    });
}

// Identity and own entry.

void Halvara::SetMyProfile(const ProfileInfo& profile) {
    UpdateConnectivity(Wait::kBlocking);
    auto contacts = RequireContacts();
    auto own = contacts->OwnEntry();
    {
        std::lock_guard lock(m_engineLock);
        m_mem.SetProfile(profile.name, profile.eMail, profile.password);
        own->Internet()->SetName(profile.name);
        own->Internet()->SetEMail(LowerCase(profile.eMail));
        own->Internet()->SetPassword(profile.password);
        Repository& identities = m_mem.Identities();
        if (identities.IsInUse(identities.CurrentIdentity()))
            identities.SetCurrentEmail(profile.eMail);
    }
    m_directory.UpdateProfile(contacts->OwnID(), profile.name, LowerCase(profile.eMail),
                              profile.password);
    std::lock_guard lock(m_engineLock);
    m_mem.SetRegistered(true);
}

std::int32_t Halvara::GetMyID() {
    return RequireContacts()->OwnID();
}

bool Halvara::ClaimID(std::int32_t id, const std::string& password) {
    UpdateConnectivity(Wait::kBlocking);
    auto contacts = RequireContacts();
    if (!m_directory.CheckPassword(id, password))
        return false;
    std::unique_lock connectivity(m_connectivityLock);
    Friend::AdoptID(contacts->OwnEntry(), id, password, m_directory);
    try {
        StartOnlineServices(contacts);
    } catch (const CStdExcept&) {
        GoOfflineLocked(true, true);
        throw;
    }
    Broadcast(kUpdateContacts);
    StartContactRound(contacts);
    return true;
}

bool Halvara::IsRegistered() {
    std::lock_guard lock(m_engineLock);
    return m_contacts && m_mem.IsRegistered();
}

// Contact lists.

std::int32_t Halvara::GetFriend(std::int32_t index) {
    if (index < 0)
        throw CStdExcept("ContactsRepository", 74);
    return RequireContacts()->FriendAt(static_cast<std::size_t>(index))->ID();
}

std::int32_t Halvara::GetAcquaintance(std::int32_t index) {
    if (index < 0)
        throw CStdExcept("ContactsRepository", 66);
    return RequireContacts()->AcquaintanceAt(static_cast<std::size_t>(index))->ID();
}

void Halvara::Add(std::int32_t id, bool asFriend) {
    UpdateConnectivity(Wait::kBlocking);
    AddAndTell(id, asFriend, true);
}

void Halvara::AddAndTell(std::int32_t id, bool asFriend, bool notify) {
    auto contacts = RequireContacts();
    auto deferred = std::make_shared<DeferredPeers>(m_peers);
    auto entry = contacts->Add(id, asFriend, notify, m_directory, *deferred);
    if (!entry || !deferred->HasCalls())
        return;
    m_contactCalls.Post([entry, deferred] { deferred->MakeCalls(*entry); });
}

void Halvara::Delete(std::int32_t id) {
    // A friend deleted stays known as an acquaintance; anybody else fails.
    RequireContacts()->MoveToAcquaintances(id);
    Broadcast(kUpdateContacts);
}

void Halvara::MoveToFriends(std::int32_t id) {
    RequireContacts()->MoveToFriends(id);
    Broadcast("Halvara: update contacts");
}

void Halvara::MoveToAcquaintances(std::int32_t id) {
    RequireContacts()->MoveToAcquaintances(id);
    Broadcast("Halvara: update contacts");
}

ProfileInfo Halvara::GetProfile(std::int32_t id) {
    auto contacts = RequireContacts();
    auto entry = FindListed(*contacts, id);
    const auto& internet = entry->Internet();
    if (!internet)
        throw CStdExcept("Friend", 55);
    return ProfileInfo{internet->Name(), internet->EMail(), internet->Password()};
}

std::string Halvara::GetIP(std::int32_t id) {
    auto contacts = RequireContacts();
    return FindListed(*contacts, id)->IP();
}

bool Halvara::IsOnline(std::int32_t id, std::int32_t tos, std::int32_t mode) {
    auto contacts = RequireContacts();
    auto entry = FindListed(*contacts, id);
    if (mode == 0)
        return entry->IsOnlineForTOS(tos);
    UpdateConnectivity(Wait::kBlocking);
    return m_rounds.QueryTOS(*entry, contacts->OwnID(), tos);
}

std::vector<FriendOnline> Halvara::CheckFriendsOnline(std::int32_t tos, std::size_t maxCount) {
    auto contacts = RequireContacts();
    std::vector<std::shared_ptr<Acquaintance>> friends = contacts->OtherFriends();
    if (friends.size() > maxCount)
        friends.resize(maxCount);
    const std::int32_t ownId = contacts->OwnID();
    UpdateConnectivity(Wait::kBlocking);
    return m_rounds.QueryFriendsTOS(friends, ownId, tos);
}

// Directory queries.

std::int32_t Halvara::LookupID(const std::string& eMail) {
    UpdateConnectivity(Wait::kBlocking);
    return m_directory.LookupID(LowerCase(eMail));
}

ProfileInfo Halvara::LookupProfile(std::int32_t id) {
    UpdateConnectivity(Wait::kBlocking);
    DirectoryProfile profile = m_directory.LookupProfile(id);
    return ProfileInfo{profile.name, profile.eMail, {}};
}

bool Halvara::CheckPassword(std::int32_t id, const std::string& password) {
    UpdateConnectivity(Wait::kBlocking);
    return m_directory.CheckPassword(id, password);
}

void Halvara::SendInvitation(const std::string& eMail, const std::string& applicationName,
                             const std::string& applicationAddress, std::int32_t applicationId) {
    UpdateConnectivity(Wait::kBlocking);
    std::string senderEMail;
    std::string senderName;
    {
        std::lock_guard lock(m_engineLock);
        senderEMail = m_mem.Profile().eMail.value_or("");
        senderName = m_mem.Profile().name.value_or("");
    }
    m_directory.SendInvitationMail(senderEMail, eMail, applicationName, senderName,
                                   applicationAddress, applicationId);
}

void Halvara::FlushData() {
    std::lock_guard lock(m_engineLock);
    m_mem.Flush();
}

// TOS registrations.

void Halvara::UpdateTOS(std::int32_t tos, bool on) {
    UpdateConnectivity(Wait::kBlocking);
    if (auto contacts = ContactsOrNull()) {
        contacts->RegisterOwnTOSOnly(tos, on, m_directory);
        // The contacts hear of it from a thread of its own: one contact whose
        // address no longer answers would otherwise hold the bridge for its
        // time limit, and every contact for theirs.
        if (m_state.load() == kOnline) {
            m_noticeRound.RequestStop();
            m_noticeRound.Start([this, contacts](BackgroundLoop::Control& control) {
                m_rounds.SendTOSNotices(control, *contacts);
            });
        }
        return;
    }
    std::lock_guard lock(m_engineLock);
    // Only what a client registered can be unregistered; a stray off must not
    // eat another application's registration count.
    if (!on && !m_ownTos.IsActive(tos))
        throw CStdExcept("Contacts", 500);
    m_ownTos.RegisterTOS(tos, on, true);
}

int Halvara::NumActiveTOS() {
    if (auto contacts = ContactsOrNull())
        return contacts->NumActiveOwnTOS();
    std::lock_guard lock(m_engineLock);
    return m_ownTos.NumActiveTOS();
}

SystemMessageTexts Halvara::GetSystemMessage(std::int32_t number) {
    // The times handed out live in the identity's memory block.
    UpdateConnectivity(Wait::kBlocking);
    RequireContacts();
    const SystemMessageTimes times = m_directory.GetSystemMessageTime(number);
    if (times.general < 0 || times.particular < 0)
        throw CStdExcept(kUnit, 1114);
    std::int32_t lastGeneral = 0;
    std::int32_t lastParticular = 0;
    {
        std::lock_guard lock(m_engineLock);
        lastGeneral = m_mem.Block().lastGeneralMessage;
        lastParticular = m_mem.Block().lastParticularMessage;
    }
    // A time below 100 means no message of that kind; it only resets the
    // stored time. A fetch that fails keeps the old time, so it is retried.
    if (times.particular < 100) {
        std::lock_guard lock(m_engineLock);
        m_mem.SetLastParticularMessage(times.particular);
    } else if (times.particular > lastParticular) {
        SystemMessage message = m_directory.GetSystemMessage(number);
        std::lock_guard lock(m_engineLock);
        m_mem.SetLastParticularMessage(times.particular);
        return SystemMessageTexts{message.title, message.text};
    }
    if (times.general < 100) {
        std::lock_guard lock(m_engineLock);
        m_mem.SetLastGeneralMessage(times.general);
    } else if (times.general > lastGeneral) {
        SystemMessage message = m_directory.GetSystemMessage(0);
        std::lock_guard lock(m_engineLock);
        m_mem.SetLastGeneralMessage(times.general);
        return SystemMessageTexts{message.title, message.text};
    }
    throw CStdExcept(kUnit, 1148);
}

// Stored identities.

void Halvara::SetIdentity(std::int32_t index, const std::string& password) {
    std::unique_lock connectivity(m_connectivityLock);
    {
        std::lock_guard lock(m_engineLock);
        m_mem.CheckSwitch(index, password, m_identityActive);
    }
    TosTable registrations;
    bool haveRegistrations = false;
    if (auto old = ContactsOrNull()) {
        try {
            registrations = old->CopyOwnTOSTable();
            haveRegistrations = true;
        } catch (const CStdExcept&) {
        }
    } else {
        std::lock_guard lock(m_engineLock);
        registrations = m_ownTos;
        haveRegistrations = !registrations.Triples().empty();
    }
    // No loop may bring the old identity back online while it is replaced,
    // and every call still talking for it ends at once, so the bridge waits
    // for no contact longer than the bounded round of 0.0.0.0.
    AllowServices(false);
    m_callsRunning.store(false);
    m_contactRound.RequestStop();
    m_noticeRound.RequestStop();
    m_liveCheck.RequestStop();
    StopListener();
    // Calls queued for the old identity fail now (notices go to the
    // directory) rather than reach its contacts after it is gone.
    m_contactCalls.WaitUntilIdle();
    m_rounds.AnnounceOffline();
    try {
        GoOffline(Wait::kBlocking, false, false);
    } catch (const CStdExcept&) {
        // Offline already.
    }
    try {
        std::lock_guard identity(m_identityLock);
        // An identity never saved gets a new ID from the directory: asked
        // here, so the engine lock, which every list read takes, is never held
        // across the request.
        bool reloadsItself = false;
        {
            std::lock_guard lock(m_engineLock);
            reloadsItself = m_identityActive && m_mem.StateIndex() == index;
        }
        std::optional<PreRegisteredDirectory> preRegistered;
        if (!reloadsItself && !m_mem.HasStoredState(index))
            preRegistered.emplace(m_directory, m_directory.RegisterNewID());
        ContactDirectory& directory =
            preRegistered ? static_cast<ContactDirectory&>(*preRegistered) : m_directory;
        std::lock_guard lock(m_engineLock);
        m_mem.SwitchTo(index, m_identityActive, directory);
        m_identityActive = true;
        m_contacts = m_mem.GetContacts();
        if (haveRegistrations && m_contacts)
            m_contacts->InstallOwnTOSTable(registrations);
    } catch (const CStdExcept&) {
        // The old identity stays; it comes back online.
        m_callsRunning.store(true);
        AllowServices(true);
        UpdateConnectivity(Wait::kBlocking);
        throw;
    }
    m_callsRunning.store(true);
    AllowServices(true);
    UpdateConnectivity(Wait::kBlocking);
    Broadcast("Halvara: update identity");
    Broadcast(kUpdateContacts);
}

std::string Halvara::GetIdentity(std::int32_t index) {
    std::lock_guard lock(m_engineLock);
    return m_mem.Identities().GetIdentity(index).Name();
}

void Halvara::DeleteIdentity(std::int32_t index) {
    std::lock_guard lock(m_engineLock);
    m_mem.DeleteIdentity(index);
}

std::int32_t Halvara::AddIdentity(const std::string& name, const std::string& password) {
    std::lock_guard lock(m_engineLock);
    return m_mem.Identities().AddIdentity(name, password);
}

std::int32_t Halvara::GetActiveIdentity() {
    std::lock_guard lock(m_engineLock);
    return m_mem.Identities().CurrentIdentity();
}

std::int32_t Halvara::GetHighestIdentity() {
    std::lock_guard lock(m_engineLock);
    return m_mem.Identities().HighestIdentity();
}

bool Halvara::IsIdentityTaken(const std::string& eMail) {
    std::lock_guard lock(m_engineLock);
    return m_mem.Identities().IsEmailTaken(eMail);
}

// Anonymous acquaintances.

void Halvara::AddAnonAcquaintances(std::int32_t count, std::int32_t tos) {
    if (tos < 1)
        throw CStdExcept("Contacts", 618);
    UpdateConnectivity(Wait::kBlocking);
    RequireContacts()->AddAnonAcquaintances(count, tos, m_directory);
}

void Halvara::RefreshAnonAcquaintances() {
    UpdateConnectivity(Wait::kBlocking);
    RequireContacts()->RefreshAnonAcquaintances(m_directory, m_peers);
}

std::vector<std::string> Halvara::CollectAnonAcquaintances(std::int32_t tos) {
    return RequireContacts()->CollectAnonAcquaintances(tos);
}

// The peer listener's questions.

std::int32_t Halvara::OwnID() {
    auto contacts = ContactsOrNull();
    if (!contacts)
        return -1;
    try {
        return contacts->OwnID();
    } catch (const CStdExcept&) {
        return -1;
    }
}

peercheck::DirectoryAddress Halvara::DirectoryAddressOf(std::int32_t callerId) {
    return [this, callerId] { return m_directory.LookupIP(callerId); };
}

presence::PeerProfile Halvara::ProfileFor(std::int32_t) {
    auto own = RequireContacts()->OwnEntry();
    return presence::PeerProfile{own->Internet()->Name(), own->Internet()->EMail()};
}

void Halvara::AddressAnnounced(std::int32_t callerId, const std::string& ip,
                               const std::string& peerAddress) {
    auto caller = RequireContacts()->FindContact(callerId);
    if (!caller || !peercheck::BelievesAnnouncedAddress(ip, caller->IP(), peerAddress,
                                                        DirectoryAddressOf(callerId)))
        return;
    caller->SetAddress(ip);
    Broadcast(kUpdateContacts);
}

bool Halvara::HasActiveTOS(std::int32_t tos) {
    auto contacts = ContactsOrNull();
    if (contacts)
        return contacts->OwnEntry()->IsTOSActive(tos);
    std::lock_guard lock(m_engineLock);
    return m_ownTos.IsActive(tos);
}

void Halvara::TOSQueried(std::int32_t callerId, const std::string& peerAddress) {
    // The caller waits for its answer on the listener thread: the calls back
    // to it wait for no one there.
    if (!RequireContacts()->FindContact(callerId) &&
        peercheck::PlacesStranger(peerAddress, DirectoryAddressOf(callerId)))
        AddAndTell(callerId, false, true);
}

// A contact's state and TOS registrations are its own to tell: only a call
// from the address held for it counts.
void Halvara::StateQueried(std::int32_t callerId, std::int32_t, const std::string& peerAddress) {
    auto caller = RequireContacts()->FindContact(callerId);
    if (caller && caller->IP() == peerAddress) {
        caller->SetState(Acquaintance::kStateMade);
        Broadcast(kUpdateContacts);
    }
}

void Halvara::AcquaintanceNoticed(std::int32_t callerId, const std::string& peerAddress) {
    if (!RequireContacts()->FindContact(callerId) &&
        peercheck::PlacesStranger(peerAddress, DirectoryAddressOf(callerId))) {
        AddAndTell(callerId, false, false);
        Broadcast(kUpdateContacts);
    }
}

void Halvara::TOSNoticed(std::int32_t callerId, std::int32_t tos, bool on,
                         const std::string& peerAddress) {
    auto caller = RequireContacts()->FindContact(callerId);
    if (caller && caller->IP() == peerAddress) {
        caller->RegisterTOS(tos, on, false);
        Broadcast(kUpdateContacts);
    }
}

bool Halvara::IsKnown(std::int32_t callerId) {
    auto contacts = ContactsOrNull();
    return contacts && contacts->FindContact(callerId) != nullptr;
}
