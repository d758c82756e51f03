#include "HostAddress.h"

#include "app/session/AddressText.h"
#include "app/session/PresenceSession.h"

#include <algorithm>

std::string ResolveHost(const std::string& host, PresenceSession& friends, std::string& error) {
    if (!IsEMailAddress(host))
        return host;
    // E-mail addresses are stored lower-cased.
    std::string email = host;
    std::transform(email.begin(), email.end(), email.begin(), [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    std::string address = friends.AddressOf(email);
    if (address.empty())
        error = friends.Failure();
    return address;
}
