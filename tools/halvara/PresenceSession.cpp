#include "PresenceSession.h"

#include "halvara.h"

PresenceSession::PresenceSession(int tos)
    : m_tos(tos) {
    // Registers the TOS by itself when the identity is registered; otherwise
    // it fails but leaves the library ready, and the TOS is registered by hand.
    m_registered = Halvara_InitializeHeadless(tos) != 0;
    m_holding = m_registered || Halvara_UpdateTOS(tos, 1) != 0;
}

PresenceSession::~PresenceSession() {
    Close();
}

void PresenceSession::Close() {
    if (!m_holding)
        return;
    m_holding = false;
    Halvara_Deallocate(m_tos);
}

std::string PresenceSession::UnreachableText() {
    return "the presence service could not be reached (is halvserve installed and "
           "HALVARA_DIRECTORY reachable for a new user?)";
}

std::string PresenceSession::UnregisteredText() {
    return "this user has no registered identity; register one with: halvara register NAME "
           "EMAIL";
}
