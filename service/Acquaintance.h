#pragma once

#include "InternetID.h"
#include "TosTable.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

class ContactDirectory;

// One contact entry: a friend, an acquaintance or the own entry (a friend with
// the own flag). It shares the contact's InternetID and keeps the contact's
// state, online flag and TOS table.
//
// Entries are held by std::shared_ptr: a list holds one reference and a loop
// over the contacts takes its own under the list lock, so an entry removed
// meanwhile lives until that loop is done with it.
//
// Two locks: the data lock guards the fields for the length of one read or
// change, and the exchange lock (recursive) is held by the peer protocol for the
// length of one wire exchange with this contact. Keeping them apart means a
// reader of the online flag never waits for a slow peer.
//
// Refusals throw CStdExcept from the unit Acquaintance (TOS table: 562, 596,
// 604) or Friend (own-entry operations).
class Acquaintance {
public:
    static constexpr std::int32_t kStateMade = 3;

    // A new entry for that contact (a fresh InternetID when null).
    explicit Acquaintance(std::shared_ptr<InternetID> internetId = nullptr);
    // A new entry that takes over state, online flag, TOS table and the shared
    // InternetID of other: moving a contact between the lists.
    static std::shared_ptr<Acquaintance> CopyOf(const Acquaintance& other);

    Acquaintance(const Acquaintance&) = delete;
    Acquaintance& operator=(const Acquaintance&) = delete;

    const std::shared_ptr<InternetID>& Internet() const { return m_internetId; }
    // -1 without an InternetID.
    std::int32_t ID() const;
    std::string IP() const;

    bool IsListed() const;
    void SetListed(bool listed);
    std::int32_t State() const;
    void SetState(std::int32_t state);
    bool IsOnline() const;
    void SetOnline(bool online);
    // Stores the address and marks the contact online, or offline when the
    // address is 0.0.0.0 (an address announcement).
    void SetAddress(const std::string& ip);
    // Offline with address 0.0.0.0; the TOS table is emptied when asked.
    void MarkOffline(bool clearTos);

    // Registers or drops a TOS on this entry (see TosTable).
    void RegisterTOS(std::int32_t tos, bool on, bool counted);
    int NumActiveTOS() const;
    bool IsTOSActive(std::int32_t tos) const;
    std::int32_t TOSCount(std::int32_t tos) const;
    // False while offline; for TOS -1 the online flag, else the TOS's active flag.
    bool IsOnlineForTOS(std::int32_t tos) const;
    TosTable CopyTOSTable() const;
    void SetTOSTable(TosTable table);

    // Own-entry operations (unit Friend): 55 without an InternetID.
    bool IsOwn() const;
    void MarkAsOwn();

    // Held by the peer protocol around one exchange with this contact.
    std::recursive_timed_mutex& ExchangeLock() { return m_exchangeLock; }

private:
    std::shared_ptr<InternetID> m_internetId;
    mutable std::mutex m_lock;
    std::recursive_timed_mutex m_exchangeLock;
    bool m_listed = false;
    std::int32_t m_state = kStateMade;
    bool m_online = false;
    TosTable m_tos;
};

// The own entry's operations that reach the directory (unit Friend).
namespace Friend {
// When the own ID is below 1, registers a new ID with the directory and makes
// it ID and owner ID. 40 for a missing entry, 41 when it is not the own one.
void RegisterNewID(const std::shared_ptr<Acquaintance>& entry, ContactDirectory& directory);
// Adopts a given ID and publishes the own address again. 63 for a missing
// entry, 74 when it is not the own one.
void AdoptID(const std::shared_ptr<Acquaintance>& entry, std::int32_t id,
             ContactDirectory& directory);
// The same for an ID whose password the caller has checked with the
// directory: the own entry keeps that password, without which the directory
// would not let it publish the address of a claimed ID.
void AdoptID(const std::shared_ptr<Acquaintance>& entry, std::int32_t id,
             const std::string& password, ContactDirectory& directory);
// The directory's update-IP query with the own ID, the local address and the
// own entry's password; the address is then stored on the entry.
void PublishOwnIP(const std::shared_ptr<Acquaintance>& entry, ContactDirectory& directory);
// The own entry's password as the directory's queries carry it; empty for a
// missing entry.
std::string OwnPassword(const std::shared_ptr<Acquaintance>& entry);
} // namespace Friend
