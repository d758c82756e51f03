#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class ContactDirectory;

// A stranger drawn from the directory's random pool of users running a TOS:
// its address and that TOS. The address has its own lock because a refresh
// fetches a new one outside the list lock.
class AnonAcquaintance {
public:
    explicit AnonAcquaintance(std::int32_t tos = -1)
        : m_tos(tos) {}

    std::int32_t TOS() const { return m_tos; }
    // Empty while it has none.
    std::string IP() const;
    void SetIP(std::string ip);

    // Asks the directory for a random address of its TOS. The answers 0.0.0.0
    // (47) and 127.0.0.1 (49) are refused, as is anything that is not a dotted
    // quad (47); the address kept is unchanged on a refusal.
    void FetchAddress(ContactDirectory& directory);

private:
    std::int32_t m_tos;
    mutable std::mutex m_lock;
    std::string m_ip;
};

// The anonymous acquaintances: slots that may be empty; counts and indexes
// skip the empty ones. Guarded by the contact-list lock of its owner.
class AnonContacts {
public:
    static constexpr std::size_t kGrowth = 10;
    // Far beyond what any application asks for; appending past it is refused
    // (kFull).
    static constexpr std::size_t kMaxEntries = 1000;
    static constexpr int kFull = 40;

    // Fills the first empty slot, else grows by kGrowth slots. 30 for a null
    // entry, 40 when full.
    void Append(std::shared_ptr<AnonAcquaintance> entry);
    std::size_t Count() const;
    // Index over the filled slots; out of range: AnonContacts 60.
    std::shared_ptr<AnonAcquaintance> At(std::size_t index) const;
    // Empties the slot of that index (out of range: 70).
    void RemoveAt(std::size_t index);
    // The filled slots in order, for calls made without the list lock.
    std::vector<std::shared_ptr<AnonAcquaintance>> Snapshot() const;
    // Addresses of the entries of that TOS that have one, in list order.
    std::vector<std::string> CollectForTOS(std::int32_t tos) const;
    std::size_t SlotCount() const { return m_slots.size(); }
    void Clear() { m_slots.clear(); }

private:
    std::vector<std::shared_ptr<AnonAcquaintance>> m_slots;
};
