#pragma once

#include "Acquaintance.h"
#include "AnonContacts.h"
#include "ContactListCodec.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

class ContactDirectory;
class ContactPeers;

// The people of the active identity: friends (holding the own entry),
// acquaintances and anonymous acquaintances, under one list lock.
//
// No network call is made while the list lock is held: operations that reach
// the directory or a peer first take references to the entries they need under
// the lock, release it, make their calls, and take the lock again to change the
// lists (re-checking what may have changed meanwhile). Failures throw CStdExcept
// from the units Contacts, ContactsRepository, Acquaintance, AnonAcquaintance
// and Friend.
class Contacts {
public:
    using Entry = std::shared_ptr<Acquaintance>;

    // Refusals (unit "Contacts"): an ID on neither list; dropping a TOS the
    // own entry does not have active.
    static constexpr int kNotListed = 140;
    static constexpr int kTOSNotActive = 500;

    // Far beyond any real contact list; a list this long refuses appends as a
    // list over its capacity (116 / 142).
    static constexpr std::size_t kMaxListEntries = 16384;
    // AddAnonAcquaintances: tries per slot, and the most slots one call fills.
    static constexpr int kAnonTriesPerSlot = 3;
    static constexpr std::int32_t kMaxAnonPerCall = 100;

    // Empty lists.
    Contacts() = default;
    Contacts(const Contacts&) = delete;
    Contacts& operator=(const Contacts&) = delete;

    // Empty lists with a new own entry (ID -1, marked own): a new identity,
    // which then registers its ID (Friend::RegisterNewID on OwnEntry()).
    static std::unique_ptr<Contacts> Fresh();
    // Lists rebuilt from their stored bytes: entries in state 3, offline, with
    // empty TOS tables. Nothing when the bytes are unreadable.
    static std::unique_ptr<Contacts> Load(std::span<const std::uint8_t> bytes);
    std::vector<std::uint8_t> Serialize() const;

    // Look-ups; IDs of 0 or less are never found.
    Entry FindAcquaintance(std::int32_t id) const;
    Entry FindFriend(std::int32_t id) const;
    // Index from 0; out of range: ContactsRepository 66 / 74.
    Entry AcquaintanceAt(std::size_t index) const;
    Entry FriendAt(std::size_t index) const;
    std::size_t AcquaintanceCount() const;
    std::size_t FriendCount() const;
    // The first friend with the own flag; none: Contacts 76.
    Entry OwnEntry() const;
    std::int32_t OwnID() const;
    // The caller of a peer message: an acquaintance, else a friend that is not
    // the own entry; null when neither.
    Entry FindContact(std::int32_t id) const;
    // Every acquaintance and every friend but the own entry, for loops that
    // call each contact without the list lock.
    std::vector<Entry> OtherContacts() const;
    // The acquaintances, and the friends but the own entry, for the same use.
    std::vector<Entry> Acquaintances() const;
    std::vector<Entry> OtherFriends() const;

    // Adds a contact by ID. The ID must be more than 0 (91), this computer must
    // have an address, and the ID must not be on the list asked for (100); a
    // contact on the other list is moved instead (the own entry never is). The new entry gets
    // its name and e-mail from the directory and is told the own address (both
    // failures ignored); with notify it also gets the acquaintance notice, whose
    // failure (neither sent nor left at the directory) fails the add. All of
    // this runs without the list lock, which is taken again to append, so a
    // contact listed meanwhile is refused or moved then. Returns the entry now
    // listed.
    Entry Add(std::int32_t id, bool asFriend, bool notify, ContactDirectory& directory,
              ContactPeers& peers);
    // Moves a contact between the lists, keeping its state, online flag, TOS
    // table and InternetID. Not on the source list: Contacts 120 / 130; the own
    // entry stays a friend (131). The engine broadcasts "update contacts".
    void MoveToFriends(std::int32_t id);
    void MoveToAcquaintances(std::int32_t id);
    // Out of range: ContactsRepository 66 / 74; the own entry is not removed (75).
    void RemoveAcquaintanceAt(std::size_t index);
    void RemoveFriendAt(std::size_t index);
    // Removes a contact by ID from whichever list holds it (Contacts 140 when
    // neither does).
    void Remove(std::int32_t id);
    // Null entry or list full: ContactsRepository 116 (acquaintances) / 142
    // (friends). Sets the listed flag.
    void AppendAcquaintance(Entry entry);
    void AppendFriend(Entry entry);

    // The local user's TOS registration (bridge command 18): dropping a TOS
    // that is not active on the own entry is refused (kTOSNotActive). Then the own
    // address joins or leaves the directory's random pool for that TOS and every
    // other contact gets the registration notice of every own TOS; these
    // network failures are ignored per contact.
    void RegisterOwnTOS(std::int32_t tos, bool on, ContactDirectory& directory,
                        ContactPeers& peers);
    // The same without the notices, which the engine sends from a thread of
    // its own.
    void RegisterOwnTOSOnly(std::int32_t tos, bool on, ContactDirectory& directory);
    int NumActiveOwnTOS() const;
    // Sends every other contact the registration notice of every own TOS (also
    // when going online); a contact that fails one notice gets no more of them.
    void NotifyOwnTOS(ContactPeers& peers);

    // Adds up to count anonymous acquaintances for a TOS of 1 or more (618).
    // Each slot is tried kAnonTriesPerSlot times; a slot that gets no usable
    // address ends the call, as the directory is then failing or its pool holds
    // nobody but us. Returns how many were added.
    std::int32_t AddAnonAcquaintances(std::int32_t count, std::int32_t tos,
                                      ContactDirectory& directory);
    // Keeps each anonymous acquaintance that still answers the anonymous TOS
    // query, and gives the others a new random address (failures ignored).
    void RefreshAnonAcquaintances(ContactDirectory& directory, ContactPeers& peers);
    std::vector<std::string> CollectAnonAcquaintances(std::int32_t tos) const;
    std::size_t AnonCount() const;

    // Every acquaintance and friend offline at 0.0.0.0; the TOS tables of all
    // but the own entry emptied.
    void GoOffline();

    // The identity switch keeps the clients' registrations: copied out of the
    // old own entry (Contacts 570 when it has none) and installed on the new
    // one (596 when nothing was copied).
    TosTable CopyOwnTOSTable() const;
    void InstallOwnTOSTable(const TosTable& table);

private:
    Entry FindIn(const std::vector<Entry>& list, std::int32_t id) const;
    void AppendLocked(std::vector<Entry>& list, Entry entry, int refusal);
    void MoveLocked(std::vector<Entry>& from, std::vector<Entry>& to, std::int32_t id,
                    int notListed, int toRefusal);
    Entry OwnEntryLocked() const;
    // Add's check under the list lock: null when the ID is on neither list;
    // the moved entry when it is on the other one; Contacts 100 when it is on
    // the list asked for, or is the own entry.
    Entry ListedElsewhereLocked(std::int32_t id, bool asFriend);

    mutable std::mutex m_listLock;
    std::vector<Entry> m_acquaintances;
    std::vector<Entry> m_friends;
    AnonContacts m_anon;
};
