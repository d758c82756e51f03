#pragma once

#include "app/peer/NFSProtocol.h"
#include "app/peer/PeerServer.h"
#include "app/peer/PeerWire.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class LogEvent;
class ShareTable;
class SharedFileSystem;

// Lets a friend's Drovick browse this computer's shared folders as if they
// were a disk. Every connecting client instance gets a session (type 1) with
// its own share-filtered file system; each later connection (type 2) carries
// one file system operation on that session. Runs on the shared server thread
// (PeerServer), one connection at a time, so the session table needs no lock.
// Each step is one "NFSServer: " line in the event log.
//
// A peer reaches nothing outside the shared folders: every path it sends, to
// every request, must pass CanonicalizePeerPath (absolute, no "." or ".."
// components, still inside a shared folder once symbolic links are resolved)
// before the session's file system sees it. Only the virtual root "/", whose
// listing the share-filtered view composes from the share table, is exempt.
// That also limits the status, shell information, shortcut, drive type and
// recycle bin queries, which would otherwise look at any local path.
//
// Sessions nobody has used for sessionIdleLimit expire, so clients that never
// release theirs do not fill the table for the rest of the run.
class NFSServer : public PeerServer {
public:
    struct Limits {
        std::chrono::milliseconds sessionIdleLimit = std::chrono::hours(1);
        // Each field received from or sent to the peer.
        std::chrono::milliseconds callLimit = kPeerCallLimit;
        // Entries of one listing; a longer folder is cut there.
        std::int32_t listingEntryLimit = kNfsListingEntryLimit;
    };

    // Holds a reference on table while it lives (table may be null: then the
    // server refuses to start). log may be null: events are then dropped.
    NFSServer(ShareTable* table, LogEvent* log, int port = kNfsServerPort);
    NFSServer(ShareTable* table, LogEvent* log, int port, Timing timing, Limits limits);
    ~NFSServer() override;

    // Refused (false) without a share table and while the worker thread is recorded.
    bool Start();

    // The version the server answers to a client offering clientVersion.
    static std::int32_t AgreedVersion(std::int32_t clientVersion);

protected:
    void ServeConnection(TimeOutSocket& connection) override;

private:
    struct Session {
        std::unique_ptr<SharedFileSystem> fileSystem;
        bool inUse = true;
        std::int32_t id = 0;
        std::int32_t version = 0;
        std::chrono::steady_clock::time_point lastUse;
    };

    void Log(const char* line) const;
    void ServeNewClient(TimeOutSocket& connection);
    void ServeOperation(TimeOutSocket& connection);
    // Carries out one request on the session; false when a field did not move
    // in full (the exchange is then over).
    bool Fulfil(TimeOutSocket& connection, Session& session, std::int32_t code);
    bool SendListing(TimeOutSocket& connection, SharedFileSystem& fileSystem,
                     const std::string& pattern);

    // Drops released and expired sessions, keeping the order of the rest.
    void Compact();
    Session* FindSession(std::int32_t id);

    // The path checks every peer path goes through.
    bool MayReach(const std::string& path) const;
    bool MayList(const std::string& pattern) const;

    ShareTable* m_table;
    LogEvent* m_log;
    const Limits m_limits;
    std::int32_t m_nextSessionId = 0;
    std::vector<Session> m_sessions;
};
