#pragma once

#include "app/files/FileStatus.h"
#include "app/files/FolderListing.h"
#include "app/files/ShellFileInfo.h"
#include "app/peer/remotefs/NFSListingEntry.h"
#include "app/peer/remotefs/NFSMachineDescription.h"
#include "app/peer/remotefs/NFSProtocol.h"
#include "app/peer/wire/PeerWire.h"
#include "app/peer/wire/TimeOutSocket.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class LogEvent;

// The wire side of a friend's computer: the session (instance) this client
// holds on the friend's file server, and one exchange per request, each on a
// fresh connection that first identifies the instance. Every step is an
// indented line in the event log. Nothing is thrown or retried: a field that
// does not move in full ends the exchange and the request answers nothing.
//
// The friend's server is not trusted further than the protocol allows: a
// listing may announce at most maxListingEntries entries, the table is read in
// pieces so what is allocated follows what actually arrived, and every receive
// has a limit, the whole table one as well.
class RemoteFileSystemClient {
public:
    struct Limits {
        // Each connect, send and receive.
        std::chrono::milliseconds callLimit = kPeerCallLimit;
        // Awaiting a listing's count (the server walks the folder meanwhile).
        std::chrono::milliseconds countLimit = kListingCountLimit;
        // The whole listing table, however it trickles in.
        std::chrono::milliseconds tableLimit = std::chrono::seconds(120);
        std::int32_t maxListingEntries = kNfsListingEntryLimit;
    };

    // log may be null: the lines are then dropped.
    RemoteFileSystemClient(std::string host, int port, LogEvent* log, Limits limits);
    RemoteFileSystemClient(const RemoteFileSystemClient&) = delete;
    RemoteFileSystemClient& operator=(const RemoteFileSystemClient&) = delete;

    // Asks the server for a new instance; the instance stays -1 when the
    // server could not be reached or is full.
    bool Acquire();
    // Gives the instance back (request 0x103); afterwards there is none.
    void Release();

    bool HasInstance() const { return m_instance.load() >= 0; }
    std::int32_t Instance() const { return m_instance.load(); }
    std::int32_t Version() const { return m_version.load(); }
    const std::string& Host() const { return m_host; }

    // The integer answer of a BoolOp or UintOp request (classes 1, 2, 3 and 6)
    // with its paths, or nothing when the exchange failed.
    std::optional<std::int32_t> IntRequest(std::int32_t code,
                                           const std::vector<std::string>& paths);
    // The text answer of a StringOp request (classes 4 and 5); path is sent
    // for class 5.
    std::optional<std::string> TextRequest(std::int32_t code, const std::string& path = {});
    // The drive list, exactly kNfsDriveListSize bytes with its last two zero.
    std::optional<std::vector<std::uint8_t>> DriveList();
    bool Status(const std::string& path, FileStatus& status, std::int32_t& result);
    bool FileInfo(const std::string& path, std::uint32_t flags, ShellFileInfo& info,
                  std::int32_t& result);
    bool Properties(NFSMachineDescription& description, std::int32_t& result);
    struct ListingReply {
        // Complete with the entries (none for a count of 0); otherwise why
        // there are none: the path cannot travel (NotReadable), no instance, a
        // reply that broke off, did not hold what it announced or held an
        // item outside the folder (Unreachable), or a count over the limit or
        // negative (TooLarge).
        FolderListing::Outcome outcome = FolderListing::Outcome::Unreachable;
        std::vector<NFSListingEntry> entries;
    };
    ListingReply Listing(const std::string& path);

    void Log(const std::string& line) const;

private:
    // What the caller logs when the connection or the identification fails,
    // besides the lines every request logs.
    struct OpenLines {
        const char* openFailed;
        const char* identifyFailed;
    };

    // A connection that has identified the instance and sent the code, or
    // nothing (the failure is logged).
    std::unique_ptr<TimeOutSocket> Begin(std::int32_t code, OpenLines lines = {nullptr, nullptr});
    std::unique_ptr<TimeOutSocket> Open(OpenLines lines);
    bool Identify(TimeOutSocket& connection);
    bool SendPath(TimeOutSocket& connection, const std::string& path);
    // Fills count bytes within the per-call limit and the overall deadline.
    bool ReceiveBounded(TimeOutSocket& connection, std::uint8_t* buffer, std::size_t count,
                        std::chrono::steady_clock::time_point deadline);
    void Finish(std::unique_ptr<TimeOutSocket>& connection, const char* errorLine);
    void Succeed(std::unique_ptr<TimeOutSocket>& connection);

    const std::string m_host;
    const int m_port;
    LogEvent* m_log;
    const Limits m_limits;
    std::atomic<std::int32_t> m_instance{kNfsNoSession};
    std::atomic<std::int32_t> m_version{0};
};

// A path travels whole or not at all: a text the path field would cut would
// name a different file on the other side.
bool FitsPathField(const std::string& path);
