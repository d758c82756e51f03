#pragma once

#include "app/session/PresenceSession.h"

#include <string>

// The client's registration with the presence service for the length of one
// command: the TOS number is registered when the session opens and dropped
// (after the service has written its state) when it closes, so a service that
// nobody else holds ends after the command.
//
// A user without a registered identity still gets the TOS number registered,
// by hand, because registering and switching identities need a running
// service too.
class CommandSession : public PresenceSession {
public:
    explicit CommandSession(int tos)
        : PresenceSession(tos, Hold::EvenUnregistered) {
        Start();
    }

    // Why a command cannot go on, for Complain.
    static std::string UnreachableText() {
        return "the presence service could not be reached (is halvserve installed and "
               "HALVARA_DIRECTORY reachable for a new user?)";
    }
    static std::string UnregisteredText() {
        return "this user has no registered identity; register one with: halvara register NAME "
               "EMAIL";
    }
};
