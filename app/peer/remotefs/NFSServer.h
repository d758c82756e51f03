#pragma once

#include "app/peer/remotefs/NFSProtocol.h"
#include "app/peer/remotefs/NFSSessionTable.h"
#include "app/peer/wire/PeerServer.h"
#include "app/peer/wire/PeerWire.h"

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
// one file system operation on that session. Connections are served side by
// side (PeerServer); the sessions live in an NFSSessionTable, which binds each
// to the address that opened it, bounds the sessions of one address and makes
// room in a full table by replacing the least recently used idle session.
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
        std::size_t sessionLimit = kNfsSessionLimit;
        std::size_t sessionsPerAddress = kNfsSessionsPerAddress;
        // Each field received from or sent to the peer.
        std::chrono::milliseconds callLimit = kPeerCallLimit;
        // Entries of one listing; a longer folder is cut there.
        std::int32_t listingEntryLimit = kNfsListingEntryLimit;
    };

    // Holds a reference on table while it lives (table may be null: then the
    // server refuses to start). log may be null: events are then dropped.
    NFSServer(std::shared_ptr<ShareTable> table, LogEvent* log, int port = kNfsServerPort);
    NFSServer(std::shared_ptr<ShareTable> table, LogEvent* log, int port, Timing timing,
              Limits limits);
    ~NFSServer() override;

    // Refused (false) without a share table and while the worker thread is recorded.
    bool Start();

    // The version the server answers to a client offering clientVersion.
    static std::int32_t AgreedVersion(std::int32_t clientVersion);

protected:
    void ServeConnection(TimeOutSocket& connection) override;

private:
    void Log(const char* line) const;
    void ServeNewClient(TimeOutSocket& connection);
    void ServeOperation(TimeOutSocket& connection);
    // Carries out one request on the session; false when a field did not move
    // in full (the exchange is then over).
    bool Fulfil(TimeOutSocket& connection, NFSSession& session, std::int32_t code);
    // The listing's entries, encoded; the caller holds the session's lock.
    std::vector<std::uint8_t> Listing(SharedFileSystem& fileSystem, const std::string& pattern,
                                      std::int32_t& count) const;

    // The path checks every peer path goes through.
    bool MayReach(const std::string& path) const;
    bool MayList(const std::string& pattern) const;

    const std::shared_ptr<ShareTable> m_table;
    LogEvent* m_log;
    const Limits m_limits;
    NFSSessionTable m_sessions;
};
