#include "AnonContacts.h"

#include "ContactNetwork.h"
#include "NetUtilities.h"
#include "bridge/CStdExcept.h"

std::string AnonAcquaintance::IP() const {
    std::lock_guard lock(m_lock);
    return m_ip;
}

void AnonAcquaintance::SetIP(std::string ip) {
    std::lock_guard lock(m_lock);
    m_ip = std::move(ip);
}

void AnonAcquaintance::FetchAddress(ContactDirectory& directory) {
    std::string ip = directory.GetRandomIP(m_tos);
    // An answer that is no address at all is as useless as "none".
    if (!IsDottedQuad(ip) || ip == "0.0.0.0")
        throw CStdExcept("AnonAcquaintance", 47);
    // Ourselves, as the directory sees a caller on the same computer.
    if (ip == "127.0.0.1")
        throw CStdExcept("AnonAcquaintance", 49);
    SetIP(std::move(ip));
}

void AnonContacts::Append(std::shared_ptr<AnonAcquaintance> entry) {
    if (!entry)
        throw CStdExcept("AnonContacts", 30);
    for (auto& slot : m_slots) {
        if (!slot) {
            slot = std::move(entry);
            return;
        }
    }
    if (m_slots.size() >= kMaxEntries)
        throw CStdExcept("AnonContacts", kFull);
    std::size_t filled = m_slots.size();
    m_slots.resize(filled + kGrowth);
    m_slots[filled] = std::move(entry);
}

std::size_t AnonContacts::Count() const {
    std::size_t count = 0;
    for (const auto& slot : m_slots)
        if (slot)
            ++count;
    return count;
}

std::shared_ptr<AnonAcquaintance> AnonContacts::At(std::size_t index) const {
    for (const auto& slot : m_slots) {
        if (!slot)
            continue;
        if (index == 0)
            return slot;
        --index;
    }
    throw CStdExcept("AnonContacts", 60);
}

void AnonContacts::RemoveAt(std::size_t index) {
    for (auto& slot : m_slots) {
        if (!slot)
            continue;
        if (index == 0) {
            slot.reset();
            return;
        }
        --index;
    }
    throw CStdExcept("AnonContacts", 70);
}

std::vector<std::shared_ptr<AnonAcquaintance>> AnonContacts::Snapshot() const {
    std::vector<std::shared_ptr<AnonAcquaintance>> filled;
    for (const auto& slot : m_slots)
        if (slot)
            filled.push_back(slot);
    return filled;
}

std::vector<std::string> AnonContacts::CollectForTOS(std::int32_t tos) const {
    std::vector<std::string> addresses;
    for (const auto& slot : m_slots) {
        if (!slot || slot->TOS() != tos)
            continue;
        std::string ip = slot->IP();
        if (!ip.empty())
            addresses.push_back(std::move(ip));
    }
    return addresses;
}
