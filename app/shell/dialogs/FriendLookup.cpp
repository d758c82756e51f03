#include "app/shell/dialogs/FriendLookup.h"

#include "app/session/AddressText.h"
#include "app/session/PresenceSession.h"
#include "library/halvara.h"

#include <arpa/inet.h>
#include <array>
#include <cstring>
#include <strings.h>

namespace {

bool SameAddress(const std::string& a, const std::string& b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string Trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The friend's computer, or Offline for "0.0.0.0" and anything that is not
// a dotted IPv4 address.
FriendLookup Place(int id, int tos) {
    FriendLookup found;
    found.id = id;
    if (Halvara_IsOnline(id, tos, 1) == 0) {
        found.outcome = FriendLookup::Outcome::Offline;
        return found;
    }
    std::array<char, 32> buffer{};
    if (Halvara_GetIP(id, buffer.data(), static_cast<int>(buffer.size())) == 0)
        return found; // NoAnswer
    const std::string dotted(buffer.data(), strnlen(buffer.data(), buffer.size()));
    in_addr parsed{};
    if (dotted == "0.0.0.0" || inet_pton(AF_INET, dotted.c_str(), &parsed) != 1) {
        found.outcome = FriendLookup::Outcome::Offline;
        return found;
    }
    found.outcome = FriendLookup::Outcome::Found;
    found.address = dotted;
    return found;
}

} // namespace

FriendLookup LookUpFriend(const std::string& eMail, int tos) {
    const std::string wanted = Trimmed(eMail);
    FriendLookup lookup;
    const int me = Halvara_GetMyID();
    for (int index = 0; index < PresenceSession::kFriendLimit; ++index) {
        const int id = Halvara_GetFriend(index);
        // Negative past the end of the list; 0 when the exchange failed.
        if (id < 0)
            break;
        if (id == 0)
            return lookup;
        if (id == me)
            continue;
        PersonalInfo profile{};
        if (Halvara_GetProfile(id, &profile) != 0 && SameAddress(FieldText(profile.eMail), wanted))
            return Place(id, tos);
    }
    const int id = Halvara_LookupID(wanted.c_str());
    if (id == 0)
        return lookup;
    lookup.outcome =
        id > 0 ? FriendLookup::Outcome::NotAFriend : FriendLookup::Outcome::NotRegistered;
    lookup.id = id > 0 ? id : 0;
    return lookup;
}

bool AddFriendById(int id) {
    return id > 0 && Halvara_AddID(id) == 1;
}

bool InviteFriend(const std::string& eMail, const std::string& productPage, int tos) {
    return Halvara_SendInvitation(Trimmed(eMail).c_str(), "Drovick", productPage.c_str(), tos) == 1;
}
