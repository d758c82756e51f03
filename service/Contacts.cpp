#include "Contacts.h"

#include "ContactNetwork.h"
#include "bridge/CStdExcept.h"

#include <algorithm>

namespace {

constexpr const char* kContacts = "Contacts";
constexpr const char* kRepository = "ContactsRepository";

std::vector<std::shared_ptr<InternetID>> InternetIDs(const std::vector<Contacts::Entry>& list) {
    std::vector<std::shared_ptr<InternetID>> ids;
    ids.reserve(list.size());
    for (const auto& entry : list)
        ids.push_back(entry->Internet());
    return ids;
}

} // namespace

std::unique_ptr<Contacts> Contacts::Fresh() {
    auto contacts = std::make_unique<Contacts>();
    auto own = std::make_shared<Acquaintance>();
    own->MarkAsOwn();
    contacts->AppendFriend(std::move(own));
    return contacts;
}

std::unique_ptr<Contacts> Contacts::Load(std::span<const std::uint8_t> bytes) {
    std::optional<ContactListCodec::Lists> lists = ContactListCodec::Decode(bytes);
    if (!lists || lists->acquaintances.size() > kMaxListEntries ||
        lists->friends.size() > kMaxListEntries)
        return nullptr;
    auto contacts = std::make_unique<Contacts>();
    for (const InternetID& id : lists->acquaintances)
        contacts->AppendAcquaintance(
            std::make_shared<Acquaintance>(std::make_shared<InternetID>(id)));
    for (const InternetID& id : lists->friends)
        contacts->AppendFriend(std::make_shared<Acquaintance>(std::make_shared<InternetID>(id)));
    return contacts;
}

std::vector<std::uint8_t> Contacts::Serialize() const {
    std::lock_guard lock(m_listLock);
    return ContactListCodec::Encode(InternetIDs(m_acquaintances), InternetIDs(m_friends));
}

Contacts::Entry Contacts::FindIn(const std::vector<Entry>& list, std::int32_t id) const {
    if (id <= 0)
        return nullptr;
    for (const auto& entry : list)
        if (entry->ID() == id)
            return entry;
    return nullptr;
}

Contacts::Entry Contacts::FindAcquaintance(std::int32_t id) const {
    std::lock_guard lock(m_listLock);
    return FindIn(m_acquaintances, id);
}

Contacts::Entry Contacts::FindFriend(std::int32_t id) const {
    std::lock_guard lock(m_listLock);
    return FindIn(m_friends, id);
}

Contacts::Entry Contacts::AcquaintanceAt(std::size_t index) const {
    std::lock_guard lock(m_listLock);
    if (index >= m_acquaintances.size())
        throw CStdExcept(kRepository, 66);
    return m_acquaintances[index];
}

Contacts::Entry Contacts::FriendAt(std::size_t index) const {
    std::lock_guard lock(m_listLock);
    if (index >= m_friends.size())
        throw CStdExcept(kRepository, 74);
    return m_friends[index];
}

std::size_t Contacts::AcquaintanceCount() const {
    std::lock_guard lock(m_listLock);
    return m_acquaintances.size();
}

std::size_t Contacts::FriendCount() const {
    std::lock_guard lock(m_listLock);
    return m_friends.size();
}

Contacts::Entry Contacts::OwnEntryLocked() const {
    for (const auto& entry : m_friends)
        if (entry->IsOwn())
            return entry;
    throw CStdExcept(kContacts, 76);
}

Contacts::Entry Contacts::OwnEntry() const {
    std::lock_guard lock(m_listLock);
    return OwnEntryLocked();
}

std::int32_t Contacts::OwnID() const {
    return OwnEntry()->ID();
}

Contacts::Entry Contacts::FindContact(std::int32_t id) const {
    std::lock_guard lock(m_listLock);
    if (Entry found = FindIn(m_acquaintances, id))
        return found;
    Entry found = FindIn(m_friends, id);
    return found && !found->IsOwn() ? found : nullptr;
}

std::vector<Contacts::Entry> Contacts::OtherContacts() const {
    std::lock_guard lock(m_listLock);
    std::vector<Entry> others(m_acquaintances);
    for (const auto& entry : m_friends)
        if (!entry->IsOwn())
            others.push_back(entry);
    return others;
}

std::vector<Contacts::Entry> Contacts::Acquaintances() const {
    std::lock_guard lock(m_listLock);
    return m_acquaintances;
}

std::vector<Contacts::Entry> Contacts::OtherFriends() const {
    std::lock_guard lock(m_listLock);
    std::vector<Entry> others;
    for (const auto& entry : m_friends)
        if (!entry->IsOwn())
            others.push_back(entry);
    return others;
}

Contacts::Entry Contacts::ListedElsewhereLocked(std::int32_t id, bool asFriend) {
    // Listed already on the list asked for (the own entry included): refused.
    // On the other list: moved, as the contact is known already.
    Entry asked = FindIn(asFriend ? m_friends : m_acquaintances, id);
    Entry other = FindIn(asFriend ? m_acquaintances : m_friends, id);
    if (asked || (other && other->IsOwn()))
        throw CStdExcept(kContacts, 100);
    if (!other)
        return nullptr;
    if (asFriend)
        MoveLocked(m_acquaintances, m_friends, id, 120, 142);
    else
        MoveLocked(m_friends, m_acquaintances, id, 130, 116);
    return FindIn(asFriend ? m_friends : m_acquaintances, id);
}

Contacts::Entry Contacts::Add(std::int32_t id, bool asFriend, bool notify,
                              ContactDirectory& directory, ContactPeers& peers) {
    if (id <= 0)
        throw CStdExcept(kContacts, 91);
    std::string ownIp = directory.LocalAddress();
    std::int32_t ownId = 0;
    {
        std::lock_guard lock(m_listLock);
        if (Entry listed = ListedElsewhereLocked(id, asFriend))
            return listed;
        ownId = OwnEntryLocked()->ID();
    }

    // The directory and the contact are asked without the list lock: a slow
    // directory must not stall the listener and the live check.
    auto entry = std::make_shared<Acquaintance>(std::make_shared<InternetID>(id, ownId));
    try {
        DirectoryProfile profile = directory.LookupProfile(id);
        entry->Internet()->SetName(profile.name);
        entry->Internet()->SetEMail(profile.eMail);
    } catch (const CStdExcept&) {
    }
    try {
        entry->Internet()->SetIP(directory.LookupIP(id));
        peers.AnnounceOwnIP(*entry, ownId, ownIp);
    } catch (const CStdExcept&) {
    }
    if (notify)
        peers.SendAcquaintanceNotice(*entry, ownId);

    std::lock_guard lock(m_listLock);
    // Another thread may have listed the contact meanwhile.
    if (Entry listed = ListedElsewhereLocked(id, asFriend))
        return listed;
    AppendLocked(asFriend ? m_friends : m_acquaintances, entry, asFriend ? 142 : 116);
    return entry;
}

void Contacts::AppendLocked(std::vector<Entry>& list, Entry entry, int refusal) {
    if (!entry || list.size() >= kMaxListEntries)
        throw CStdExcept(kRepository, refusal);
    entry->SetListed(true);
    list.push_back(std::move(entry));
}

void Contacts::AppendAcquaintance(Entry entry) {
    std::lock_guard lock(m_listLock);
    AppendLocked(m_acquaintances, std::move(entry), 116);
}

void Contacts::AppendFriend(Entry entry) {
    std::lock_guard lock(m_listLock);
    AppendLocked(m_friends, std::move(entry), 142);
}

void Contacts::MoveLocked(std::vector<Entry>& from, std::vector<Entry>& to, std::int32_t id,
                          int notListed, int toRefusal) {
    auto found = std::find_if(from.begin(), from.end(),
                              [id](const Entry& entry) { return id > 0 && entry->ID() == id; });
    if (found == from.end())
        throw CStdExcept(kContacts, notListed);
    if ((*found)->IsOwn())
        throw CStdExcept(kContacts, 131);
    Entry moved = Acquaintance::CopyOf(**found);
    // Appended first, so a full list leaves the contact where it was.
    AppendLocked(to, moved, toRefusal);
    (*found)->SetListed(false);
    from.erase(found);
}

void Contacts::MoveToFriends(std::int32_t id) {
    std::lock_guard lock(m_listLock);
    MoveLocked(m_acquaintances, m_friends, id, 120, 142);
}

void Contacts::MoveToAcquaintances(std::int32_t id) {
    std::lock_guard lock(m_listLock);
    MoveLocked(m_friends, m_acquaintances, id, 130, 116);
}

void Contacts::RemoveAcquaintanceAt(std::size_t index) {
    std::lock_guard lock(m_listLock);
    if (index >= m_acquaintances.size())
        throw CStdExcept(kRepository, 66);
    m_acquaintances[index]->SetListed(false);
    m_acquaintances.erase(m_acquaintances.begin() + std::ptrdiff_t(index));
}

void Contacts::RemoveFriendAt(std::size_t index) {
    std::lock_guard lock(m_listLock);
    if (index >= m_friends.size())
        throw CStdExcept(kRepository, 74);
    // Without the own entry the identity could not be saved again.
    if (m_friends[index]->IsOwn())
        throw CStdExcept(kRepository, 75);
    m_friends[index]->SetListed(false);
    m_friends.erase(m_friends.begin() + std::ptrdiff_t(index));
}

void Contacts::Remove(std::int32_t id) {
    std::lock_guard lock(m_listLock);
    for (std::vector<Entry>* list : {&m_acquaintances, &m_friends}) {
        for (auto it = list->begin(); it != list->end(); ++it) {
            if (id <= 0 || (*it)->ID() != id)
                continue;
            if ((*it)->IsOwn())
                throw CStdExcept(kRepository, 75);
            (*it)->SetListed(false);
            list->erase(it);
            return;
        }
    }
    throw CStdExcept(kContacts, kNotListed);
}

void Contacts::RegisterOwnTOS(std::int32_t tos, bool on, ContactDirectory& directory,
                              ContactPeers& peers) {
    RegisterOwnTOSOnly(tos, on, directory);
    NotifyOwnTOS(peers);
}

void Contacts::RegisterOwnTOSOnly(std::int32_t tos, bool on, ContactDirectory& directory) {
    {
        std::lock_guard lock(m_listLock);
        Entry own = OwnEntryLocked();
        // Only what a client registered can be dropped; a stray off must not
        // eat another application's registration count.
        if (!on && !own->IsTOSActive(tos))
            throw CStdExcept(kContacts, kTOSNotActive);
        own->RegisterTOS(tos, on, true);
    }
    try {
        std::string ownIp = directory.LocalAddress();
        if (on)
            directory.InsertRandomIP(tos, ownIp);
        else
            directory.RemoveRandomIP(tos, ownIp);
    } catch (const CStdExcept&) {
    }
}

void Contacts::NotifyOwnTOS(ContactPeers& peers) {
    Entry own = OwnEntry();
    TosTable table = own->CopyTOSTable();
    std::int32_t ownId = own->ID();
    for (const auto& contact : OtherContacts()) {
        for (const TosTable::Triple& triple : table.Triples()) {
            try {
                peers.SendTOSNotice(*contact, ownId, triple.tos, triple.active != 0);
            } catch (const CStdExcept&) {
                // An unreachable contact hears of the TOS when it next asks.
                break;
            }
        }
    }
}

int Contacts::NumActiveOwnTOS() const {
    return OwnEntry()->NumActiveTOS();
}

std::int32_t Contacts::AddAnonAcquaintances(std::int32_t count, std::int32_t tos,
                                            ContactDirectory& directory) {
    if (tos < 1)
        throw CStdExcept(kContacts, 618);
    count = std::clamp(count, 0, kMaxAnonPerCall);
    std::vector<std::shared_ptr<AnonAcquaintance>> found;
    for (std::int32_t slot = 0; slot < count; ++slot) {
        auto anon = std::make_shared<AnonAcquaintance>(tos);
        bool fetched = false;
        for (int attempt = 0; attempt < kAnonTriesPerSlot && !fetched; ++attempt) {
            try {
                anon->FetchAddress(directory);
                fetched = true;
            } catch (const CStdExcept&) {
            }
        }
        if (!fetched)
            break;
        found.push_back(std::move(anon));
    }
    std::lock_guard lock(m_listLock);
    std::int32_t added = 0;
    for (auto& anon : found) {
        try {
            m_anon.Append(std::move(anon));
            ++added;
        } catch (const CStdExcept&) {
            break;
        }
    }
    return added;
}

void Contacts::RefreshAnonAcquaintances(ContactDirectory& directory, ContactPeers& peers) {
    std::vector<std::shared_ptr<AnonAcquaintance>> entries;
    {
        std::lock_guard lock(m_listLock);
        entries = m_anon.Snapshot();
    }
    for (const auto& anon : entries) {
        try {
            std::string ip = anon->IP();
            if (!ip.empty() && peers.AnonTOSQuery(ip, anon->TOS()) != 0)
                continue;
        } catch (const CStdExcept&) {
        }
        try {
            anon->FetchAddress(directory);
        } catch (const CStdExcept&) {
        }
    }
}

std::vector<std::string> Contacts::CollectAnonAcquaintances(std::int32_t tos) const {
    std::lock_guard lock(m_listLock);
    return m_anon.CollectForTOS(tos);
}

std::size_t Contacts::AnonCount() const {
    std::lock_guard lock(m_listLock);
    return m_anon.Count();
}

void Contacts::GoOffline() {
    std::lock_guard lock(m_listLock);
    for (const auto& entry : m_acquaintances)
        entry->MarkOffline(true);
    for (const auto& entry : m_friends)
        entry->MarkOffline(!entry->IsOwn());
}

TosTable Contacts::CopyOwnTOSTable() const {
    TosTable table = OwnEntry()->CopyTOSTable();
    if (table.Triples().empty())
        throw CStdExcept(kContacts, 570);
    return table;
}

void Contacts::InstallOwnTOSTable(const TosTable& table) {
    if (table.Triples().empty())
        throw CStdExcept(kContacts, 596);
    OwnEntry()->SetTOSTable(table);
}
