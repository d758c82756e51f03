#include "Acquaintance.h"

#include "ContactNetwork.h"
#include "bridge/CStdExcept.h"

Acquaintance::Acquaintance(std::shared_ptr<InternetID> internetId)
    : m_internetId(internetId ? std::move(internetId) : std::make_shared<InternetID>()) {}

std::shared_ptr<Acquaintance> Acquaintance::CopyOf(const Acquaintance& other) {
    auto copy = std::make_shared<Acquaintance>(other.m_internetId);
    std::lock_guard lock(other.m_lock);
    copy->m_state = other.m_state;
    copy->m_online = other.m_online;
    copy->m_tos = other.m_tos;
    return copy;
}

std::int32_t Acquaintance::ID() const {
    return m_internetId ? m_internetId->ID() : -1;
}
std::string Acquaintance::IP() const {
    return m_internetId ? m_internetId->IP() : "0.0.0.0";
}

bool Acquaintance::IsListed() const {
    std::lock_guard lock(m_lock);
    return m_listed;
}
void Acquaintance::SetListed(bool listed) {
    std::lock_guard lock(m_lock);
    m_listed = listed;
}
std::int32_t Acquaintance::State() const {
    std::lock_guard lock(m_lock);
    return m_state;
}
void Acquaintance::SetState(std::int32_t state) {
    std::lock_guard lock(m_lock);
    m_state = state;
}
bool Acquaintance::IsOnline() const {
    std::lock_guard lock(m_lock);
    return m_online;
}
void Acquaintance::SetOnline(bool online) {
    std::lock_guard lock(m_lock);
    m_online = online;
}

void Acquaintance::SetAddress(const std::string& ip) {
    m_internetId->SetIP(ip);
    SetOnline(m_internetId->IP() != "0.0.0.0");
}

void Acquaintance::MarkOffline(bool clearTos) {
    m_internetId->SetIP("0.0.0.0");
    std::lock_guard lock(m_lock);
    m_online = false;
    if (clearTos)
        m_tos.Clear();
}

void Acquaintance::RegisterTOS(std::int32_t tos, bool on, bool counted) {
    std::lock_guard lock(m_lock);
    m_tos.RegisterTOS(tos, on, counted);
}
int Acquaintance::NumActiveTOS() const {
    std::lock_guard lock(m_lock);
    return m_tos.NumActiveTOS();
}
bool Acquaintance::IsTOSActive(std::int32_t tos) const {
    std::lock_guard lock(m_lock);
    return m_tos.IsActive(tos);
}
std::int32_t Acquaintance::TOSCount(std::int32_t tos) const {
    std::lock_guard lock(m_lock);
    return m_tos.Count(tos);
}
bool Acquaintance::IsOnlineForTOS(std::int32_t tos) const {
    std::lock_guard lock(m_lock);
    if (!m_online)
        return false;
    return tos == TosTable::kPlainPresence || m_tos.IsActive(tos);
}
TosTable Acquaintance::CopyTOSTable() const {
    std::lock_guard lock(m_lock);
    return m_tos;
}
void Acquaintance::SetTOSTable(TosTable table) {
    std::lock_guard lock(m_lock);
    m_tos = std::move(table);
}

bool Acquaintance::IsOwn() const {
    if (!m_internetId)
        throw CStdExcept("Friend", 55);
    return m_internetId->IsOwn();
}
void Acquaintance::MarkAsOwn() {
    if (!m_internetId)
        throw CStdExcept("Friend", 55);
    m_internetId->SetOwn(true);
}

namespace Friend {

void RegisterNewID(const std::shared_ptr<Acquaintance>& entry, ContactDirectory& directory) {
    if (!entry)
        throw CStdExcept("Friend", 40);
    if (!entry->IsOwn())
        throw CStdExcept("Friend", 41);
    if (entry->ID() >= 1)
        return;
    std::int32_t id = directory.RegisterNewID();
    entry->Internet()->SetID(id);
    entry->Internet()->SetOwnerID(id);
}

void AdoptID(const std::shared_ptr<Acquaintance>& entry, std::int32_t id,
             ContactDirectory& directory) {
    if (!entry)
        throw CStdExcept("Friend", 63);
    if (!entry->IsOwn())
        throw CStdExcept("Friend", 74);
    entry->Internet()->SetID(id);
    entry->Internet()->SetOwnerID(id);
    PublishOwnIP(entry, directory);
}

void AdoptID(const std::shared_ptr<Acquaintance>& entry, std::int32_t id,
             const std::string& password, ContactDirectory& directory) {
    if (entry && entry->IsOwn() && entry->Internet())
        entry->Internet()->SetPassword(password);
    AdoptID(entry, id, directory);
}

void PublishOwnIP(const std::shared_ptr<Acquaintance>& entry, ContactDirectory& directory) {
    if (!entry)
        throw CStdExcept("Friend", 63);
    std::string ip = directory.LocalAddress();
    directory.UpdateIP(entry->ID(), ip, OwnPassword(entry));
    entry->Internet()->SetIP(ip);
}

std::string OwnPassword(const std::shared_ptr<Acquaintance>& entry) {
    if (!entry || !entry->Internet())
        return {};
    return LowerCase(entry->Internet()->Password());
}

} // namespace Friend
