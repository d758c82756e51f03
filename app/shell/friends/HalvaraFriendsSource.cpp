#include "app/shell/friends/FriendsSource.h"

#include "app/session/AddressText.h"
#include "app/session/FriendsWatch.h"
#include "library/halvara.h"

HalvaraFriendsSource::HalvaraFriendsSource(int tos, std::function<bool()> ready)
    : m_tos(tos)
    , m_ready(std::move(ready)) {}

bool HalvaraFriendsSource::Ready() {
    return m_ready && m_ready();
}

int HalvaraFriendsSource::MyId() {
    return Halvara_GetMyID();
}

int HalvaraFriendsSource::FriendAt(int index) {
    return Halvara_GetFriend(index);
}

bool HalvaraFriendsSource::Profile(int id, std::string& name, std::string& eMail) {
    PersonalInfo profile{};
    if (Halvara_GetProfile(id, &profile) == 0)
        return false;
    name = FieldText(profile.name);
    eMail = FieldText(profile.eMail);
    return true;
}

bool HalvaraFriendsSource::KnownOnline(int id) {
    return Halvara_IsOnline(id, m_tos, 0) != 0;
}

std::optional<std::vector<std::pair<int, bool>>> HalvaraFriendsSource::LiveOnlineAll() {
    return CheckFriendsLive(m_tos);
}

bool HalvaraFriendsSource::Delete(int id) {
    return Halvara_Delete(id) != 0;
}
