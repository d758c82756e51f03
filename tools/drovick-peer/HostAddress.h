#pragma once

#include <string>

class PresenceSession;

// The address to connect to for a HOST argument: a friend's e-mail address
// (any letter case) goes through the presence library, anything else is taken
// as the computer's address or name. Empty, with error set, when a friend
// could not be found.
std::string ResolveHost(const std::string& host, PresenceSession& friends,
                        std::string& error);
