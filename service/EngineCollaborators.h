#pragma once

class CurrentIPProbe;
class EngineDirectory;
class EnginePeers;
namespace platform {
class RegistryStore;
}

// What the presence engine works through. Each outlives the engine that is
// handed it; halvserve builds the real ones once (RealCollaborators), tests
// hand in their own.
struct EngineCollaborators {
    // Where the identities and their states are stored.
    platform::RegistryStore& store;
    EngineDirectory& directory;
    // The other users' presence services.
    EnginePeers& peers;
    // This computer's address; the engine starts it and stops it.
    CurrentIPProbe& probe;
};
