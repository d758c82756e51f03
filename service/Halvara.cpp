#include "Halvara.h"

#include "bridge/CStdExcept.h"

void Halvara::NotWired() {
    throw CStdExcept("Halvara", kNotWired);
}

void Halvara::SetMyProfile(const ProfileInfo&) {
    NotWired();
}
std::int32_t Halvara::GetMyID() {
    NotWired();
}
bool Halvara::ClaimID(std::int32_t, const std::string&) {
    NotWired();
}

bool Halvara::IsRegistered() {
    std::lock_guard lock(m_listLock);
    return m_registered;
}

std::int32_t Halvara::GetFriend(std::int32_t) {
    NotWired();
}
std::int32_t Halvara::GetAcquaintance(std::int32_t) {
    NotWired();
}
void Halvara::Add(std::int32_t, bool) {
    NotWired();
}
void Halvara::Delete(std::int32_t) {
    NotWired();
}
void Halvara::MoveToFriends(std::int32_t) {
    NotWired();
}
void Halvara::MoveToAcquaintances(std::int32_t) {
    NotWired();
}
ProfileInfo Halvara::GetProfile(std::int32_t) {
    NotWired();
}
std::string Halvara::GetIP(std::int32_t) {
    NotWired();
}
bool Halvara::IsOnline(std::int32_t, std::int32_t, std::int32_t) {
    NotWired();
}

std::int32_t Halvara::LookupID(const std::string&) {
    NotWired();
}
ProfileInfo Halvara::LookupProfile(std::int32_t) {
    NotWired();
}
bool Halvara::CheckPassword(std::int32_t, const std::string&) {
    NotWired();
}
void Halvara::SendInvitation(const std::string&, const std::string&, const std::string&,
                             std::int32_t) {
    NotWired();
}

void Halvara::FlushData() {
    NotWired();
}

void Halvara::UpdateTOS(std::int32_t tos, bool on) {
    std::lock_guard lock(m_listLock);
    // Only what a client registered can be unregistered; a stray off must not
    // eat another application's registration count.
    if (!on && !m_ownTos.IsActive(tos))
        throw CStdExcept("Contacts", 500);
    m_ownTos.RegisterTOS(tos, on, true);
}

int Halvara::NumActiveTOS() {
    std::lock_guard lock(m_listLock);
    return m_ownTos.NumActiveTOS();
}

SystemMessageTexts Halvara::GetSystemMessage(std::int32_t) {
    NotWired();
}

void Halvara::SetIdentity(std::int32_t, const std::string&) {
    NotWired();
}
std::string Halvara::GetIdentity(std::int32_t) {
    NotWired();
}
void Halvara::DeleteIdentity(std::int32_t) {
    NotWired();
}
std::int32_t Halvara::AddIdentity(const std::string&, const std::string&) {
    NotWired();
}
std::int32_t Halvara::GetActiveIdentity() {
    NotWired();
}
std::int32_t Halvara::GetHighestIdentity() {
    NotWired();
}
bool Halvara::IsIdentityTaken(const std::string&) {
    NotWired();
}

void Halvara::AddAnonAcquaintances(std::int32_t, std::int32_t tos) {
    if (tos < 1)
        throw CStdExcept("Contacts", 618);
    NotWired();
}

void Halvara::RefreshAnonAcquaintances() {
    NotWired();
}
std::vector<std::string> Halvara::CollectAnonAcquaintances(std::int32_t) {
    NotWired();
}
