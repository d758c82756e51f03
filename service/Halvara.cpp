#include "Halvara.h"

#include "Contacts.h"
#include "bridge/CStdExcept.h"
#include "platform/MessageBus.h"

#include <cstdlib>

namespace {
constexpr const char* kUnit = "Halvara";

// The address the listener binds: HALVARA_ADDRESS when set, else every address.
std::string ListenAddress() {
    const char* configured = std::getenv("HALVARA_ADDRESS");
    return configured ? std::string(configured) : std::string();
}
} // namespace

Halvara::Halvara()
    : m_localAddress([host = m_database.Host()] { return FindLocalAddress(host); })
    , m_directory(m_database, m_localAddress)
    , m_calls(m_localAddress)
    , m_peers(m_calls, m_directory)
    , m_mem(m_store) {
    try {
        m_identityActive = m_mem.LoadAtStart(m_directory);
        m_contacts = m_mem.GetContacts();
    } catch (const CStdExcept&) {
        // No state to act as (no directory for a new identity): the engine
        // serves what needs none; see the class comment.
        m_contacts.reset();
    }
    GoOnline();
}

Halvara::~Halvara() {
    GoOffline();
    std::lock_guard lock(m_engineLock);
    m_mem.SaveAtExit();
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

void Halvara::GoOnline() {
    m_database.SetSession(std::make_shared<InternetSession>(m_localAddress), m_database.Host());
    auto contacts = ContactsOrNull();
    if (!contacts)
        return;
    std::string ownIp;
    std::int32_t ownId = -1;
    try {
        Friend::PublishOwnIP(contacts->OwnEntry(), m_directory);
        ownId = contacts->OwnID();
        ownIp = contacts->OwnEntry()->IP();
    } catch (const CStdExcept&) {
        // The directory is out of reach; the contacts still hear from us.
    }
    StartListener();
    if (ownId < 1)
        return;
    if (ownIp.empty()) {
        try {
            ownIp = m_directory.LocalAddress();
        } catch (const CStdExcept&) {
            return;
        }
    }
    for (const auto& contact : contacts->OtherContacts()) {
        try {
            m_peers.AnnounceOwnIP(*contact, ownId, ownIp);
        } catch (const CStdExcept&) {
            // Offline contacts learn the address from the directory.
        }
    }
    contacts->NotifyOwnTOS(m_peers);
}

void Halvara::GoOffline() {
    if (m_listener) {
        m_listener->Stop();
        m_listener.reset();
    }
    if (auto contacts = ContactsOrNull()) {
        std::int32_t ownId = -1;
        try {
            ownId = contacts->OwnID();
        } catch (const CStdExcept&) {
        }
        if (ownId > 0) {
            for (const auto& contact : contacts->OtherContacts()) {
                if (!contact->IsOnline())
                    continue;
                try {
                    m_peers.AnnounceOwnIP(*contact, ownId, "0.0.0.0");
                } catch (const CStdExcept&) {
                }
            }
        }
        contacts->GoOffline();
    }
    m_database.SetSession(nullptr, m_database.Host());
}

void Halvara::StartListener() {
    if (m_listener)
        return;
    m_listener =
        std::make_unique<PresenceListener>(static_cast<PresenceHandler&>(*this), ListenAddress());
    m_listener->Start();
}

// Identity and own entry.

void Halvara::SetMyProfile(const ProfileInfo& profile) {
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
    m_database.UpdateProfile(contacts->OwnID(), profile.name, LowerCase(profile.eMail),
                             profile.password);
    std::lock_guard lock(m_engineLock);
    m_mem.SetRegistered(true);
}

std::int32_t Halvara::GetMyID() {
    return RequireContacts()->OwnID();
}

bool Halvara::ClaimID(std::int32_t id, const std::string& password) {
    auto contacts = RequireContacts();
    if (!m_database.CheckPassword(id, password))
        return false;
    Friend::AdoptID(contacts->OwnEntry(), id, m_directory);
    StartListener();
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
    RequireContacts()->Add(id, asFriend, true, m_directory, m_peers);
}

void Halvara::Delete(std::int32_t id) {
    RequireContacts()->Remove(id);
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
    const std::int32_t ownId = contacts->OwnID();
    std::int32_t answer = 0;
    {
        std::lock_guard exchange(entry->ExchangeLock());
        try {
            answer = m_calls.TOSQuery(entry->IP(), entry->ID(), ownId, tos);
        } catch (const CStdExcept&) {
            // Not reachable: offline, whatever was stored.
            entry->SetOnline(false);
            return false;
        }
    }
    entry->SetOnline(true);
    if (tos != -1 && (answer == 1) != entry->IsTOSActive(tos)) {
        try {
            entry->RegisterTOS(tos, answer == 1, false);
        } catch (const CStdExcept&) {
            // A full table keeps what it has; the answer stands.
        }
    }
    return answer == 1;
}

// Directory queries.

std::int32_t Halvara::LookupID(const std::string& eMail) {
    return m_database.LookupID(LowerCase(eMail));
}

ProfileInfo Halvara::LookupProfile(std::int32_t id) {
    DirectoryProfile profile = m_database.LookupProfile(id);
    return ProfileInfo{profile.name, profile.eMail, {}};
}

bool Halvara::CheckPassword(std::int32_t id, const std::string& password) {
    return m_database.CheckPassword(id, password);
}

void Halvara::SendInvitation(const std::string& eMail, const std::string& applicationName,
                             const std::string& applicationAddress, std::int32_t applicationId) {
    std::string senderEMail;
    std::string senderName;
    {
        std::lock_guard lock(m_engineLock);
        senderEMail = m_mem.Profile().eMail.value_or("");
        senderName = m_mem.Profile().name.value_or("");
    }
    m_database.SendInvitationMail(senderEMail, eMail, applicationName, senderName,
                                  applicationAddress, applicationId);
}

void Halvara::FlushData() {
    std::lock_guard lock(m_engineLock);
    m_mem.Flush();
}

// TOS registrations.

void Halvara::UpdateTOS(std::int32_t tos, bool on) {
    if (auto contacts = ContactsOrNull()) {
        contacts->RegisterOwnTOS(tos, on, m_directory, m_peers);
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
    RequireContacts();
    const SystemMessageTimes times = m_database.GetSystemMessageTime(number);
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
        SystemMessage message = m_database.GetSystemMessage(number);
        std::lock_guard lock(m_engineLock);
        m_mem.SetLastParticularMessage(times.particular);
        return SystemMessageTexts{message.title, message.text};
    }
    if (times.general < 100) {
        std::lock_guard lock(m_engineLock);
        m_mem.SetLastGeneralMessage(times.general);
    } else if (times.general > lastGeneral) {
        SystemMessage message = m_database.GetSystemMessage(0);
        std::lock_guard lock(m_engineLock);
        m_mem.SetLastGeneralMessage(times.general);
        return SystemMessageTexts{message.title, message.text};
    }
    throw CStdExcept(kUnit, 1148);
}

// Stored identities.

void Halvara::SetIdentity(std::int32_t index, const std::string& password) {
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
        haveRegistrations = true;
    }
    GoOffline();
    try {
        std::lock_guard lock(m_engineLock);
        m_mem.SwitchTo(index, m_identityActive, m_directory);
        m_identityActive = true;
        m_contacts = m_mem.GetContacts();
        if (haveRegistrations && m_contacts)
            m_contacts->InstallOwnTOSTable(registrations);
    } catch (const CStdExcept&) {
        // The old identity stays; it comes back online.
        GoOnline();
        throw;
    }
    GoOnline();
    Broadcast("Halvara: update identity");
    Broadcast("Halvara: update contacts");
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
    RequireContacts()->AddAnonAcquaintances(count, tos, m_directory);
}

void Halvara::RefreshAnonAcquaintances() {
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

presence::PeerProfile Halvara::ProfileFor(std::int32_t) {
    auto own = RequireContacts()->OwnEntry();
    return presence::PeerProfile{own->Internet()->Name(), own->Internet()->EMail()};
}

void Halvara::AddressAnnounced(std::int32_t callerId, const std::string& ip) {
    auto caller = RequireContacts()->FindContact(callerId);
    if (caller)
        caller->SetAddress(ip);
}

bool Halvara::HasActiveTOS(std::int32_t tos) {
    auto contacts = ContactsOrNull();
    if (contacts)
        return contacts->OwnEntry()->IsTOSActive(tos);
    std::lock_guard lock(m_engineLock);
    return m_ownTos.IsActive(tos);
}

void Halvara::TOSQueried(std::int32_t callerId) {
    auto contacts = RequireContacts();
    if (!contacts->FindContact(callerId))
        contacts->Add(callerId, false, true, m_directory, m_peers);
}

void Halvara::StateQueried(std::int32_t callerId, std::int32_t) {
    if (auto caller = RequireContacts()->FindContact(callerId))
        caller->SetState(Acquaintance::kStateMade);
}

void Halvara::AcquaintanceNoticed(std::int32_t callerId) {
    auto contacts = RequireContacts();
    if (!contacts->FindContact(callerId))
        contacts->Add(callerId, false, false, m_directory, m_peers);
}

void Halvara::TOSNoticed(std::int32_t callerId, std::int32_t tos, bool on) {
    if (auto caller = RequireContacts()->FindContact(callerId))
        caller->RegisterTOS(tos, on, false);
}

bool Halvara::IsKnown(std::int32_t callerId) {
    auto contacts = ContactsOrNull();
    return contacts && contacts->FindContact(callerId) != nullptr;
}
