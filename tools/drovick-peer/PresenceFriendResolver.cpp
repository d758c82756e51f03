#include "PresenceFriendResolver.h"

#include "app/peer/wire/PeerWire.h"
#include "halvara.h"

#include <array>
#include <cstring>

namespace {

// A fixed profile field up to its NUL, never past the field.
template <std::size_t N>
std::string FieldText(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

} // namespace

bool IsEMailAddress(const std::string& host) {
    return host.find('@') != std::string::npos;
}

PresenceFriendResolver::PresenceFriendResolver(int applicationId)
    : m_applicationId(applicationId) {}

PresenceFriendResolver::~PresenceFriendResolver() {
    if (m_ready)
        Halvara_Deallocate(m_applicationId);
}

bool PresenceFriendResolver::Ready() {
    if (!m_tried) {
        m_tried = true;
        m_ready = Halvara_InitializeHeadless(m_applicationId) != 0;
    }
    return m_ready;
}

std::string PresenceFriendResolver::Fail(const std::string& why) {
    m_failure = why;
    return {};
}

std::string PresenceFriendResolver::AddressOf(const std::string& email) {
    m_failure.clear();
    if (!Ready())
        return Fail("the presence service is not available (halvserve could not be reached, or "
                    "this user has no registered identity), so " +
                    email + " cannot be found");
    for (int index = 0; index < kFriendLimit; ++index) {
        const int id = Halvara_GetFriend(index);
        // Negative past the end of the list; 0 when the exchange failed.
        if (id < 0)
            break;
        if (id == 0)
            return Fail("the presence service stopped answering while the friends list was read");
        PersonalInfo profile{};
        if (Halvara_GetProfile(id, &profile) == 0 || FieldText(profile.eMail) != email)
            continue;
        if (Halvara_IsOnline(id, m_applicationId, 1) == 0)
            return Fail(email + " is not online with Drovick");
        std::array<char, 32> address{};
        if (Halvara_GetIP(id, address.data(), static_cast<int>(address.size())) == 0)
            return Fail("the presence service gave no address for " + email);
        const std::string dotted(address.data(), strnlen(address.data(), address.size()));
        if (!AddressBytes(dotted) || dotted == "0.0.0.0")
            return Fail(email + " is not online");
        return dotted;
    }
    return Fail(email + " is not among this user's friends");
}
