#pragma once

#include <string>

// The client's registration with the presence service for the length of one
// command: the TOS number is registered when the session opens and dropped
// (after the service has written its state) when it closes, so a service that
// nobody else holds ends after the command.
//
// A user without a registered identity still gets the TOS registered, by hand,
// because registering and switching identities need a running service too.
class PresenceSession {
public:
    explicit PresenceSession(int tos);
    ~PresenceSession();
    PresenceSession(const PresenceSession&) = delete;
    PresenceSession& operator=(const PresenceSession&) = delete;

    // The service holds the TOS for us: it runs and answers.
    bool Holding() const { return m_holding; }
    // The active identity was registered with the directory when the session
    // opened.
    bool Registered() const { return m_registered; }
    // Flushes the service's state and drops the TOS; the destructor does it too.
    void Close();

    // Why a command cannot go on, for Complain.
    static std::string UnreachableText();
    static std::string UnregisteredText();

private:
    int m_tos;
    bool m_registered = false;
    bool m_holding = false;
};
