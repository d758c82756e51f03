#pragma once

#include <optional>
#include <string>
#include <vector>

// What the search needs to know from the presence network: who this user is
// and where the people a search reaches are right now. The presence library
// implements it for the application; every call may block on the presence
// service, so it is made from the search threads, never from the user
// interface.
class PresenceDirectory {
public:
    virtual ~PresenceDirectory() = default;

    // Whether the presence library has been initialised. Without it nothing is
    // forwarded and no search can be sent.
    virtual bool IsInitialized() = 0;
    // The dotted address the presence library reports for the user's own
    // identity, "" when it reports none.
    virtual std::string MyAddress() = 0;
    // The e-mail address of the user's own profile, "" when there is none.
    virtual std::string MyName() = 0;
    // The current address of every friend except the user's own entry, in the
    // friends list's order; "0.0.0.0" or "" for a friend who is offline.
    virtual std::vector<std::string> FriendAddresses() = 0;
    // The addresses of the anonymous acquaintances of the application's TOS
    // number, asking the directory for fresh ones first when refresh is set;
    // nothing when the presence library does not answer.
    virtual std::optional<std::vector<std::string>> AnonymousAddresses(bool refresh) = 0;
};

// Drovick's TOS number: the application number it names itself by to the
// presence network.
inline constexpr int kDrovickTos = 155;
