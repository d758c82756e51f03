#pragma once

#include "CurrentIPProbe.h"
#include "DirectoryOfContacts.h"
#include "EngineCollaborators.h"
#include "PresenceCallPeers.h"
#include "PresenceCalls.h"
#include "WatchInternetDatabase.h"
#include "platform/RegistryStore.h"

// The engine's collaborators as halvserve runs them: the current user's
// registry, the directory over HTTP at the configured host, the current-IP
// probe towards it, and the peer protocol's calls, which leave from the
// probe's address.
class RealCollaborators {
public:
    RealCollaborators();
    RealCollaborators(const RealCollaborators&) = delete;
    RealCollaborators& operator=(const RealCollaborators&) = delete;

    EngineCollaborators Parts();

private:
    platform::RegistryStore m_store;
    WatchInternetDatabase m_database;
    CurrentIPProbe m_probe;
    DirectoryOfContacts m_directory;
    PresenceCalls m_calls;
    PresenceCallPeers m_peers;
};
