#pragma once

#include "app/peer/PeerServer.h"
#include "app/peer/PeerWire.h"
#include "app/peer/SearchRequest.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

class LogEvent;
class PresenceDirectory;
class ShareTable;

// Answers searches over this computer's shared folders and spreads them one
// hop further through the presence network. A request arrives on the search
// port, from an originator or forwarded by another server; it is checked
// (hop limit, not our own, not seen before), forwarded to every online friend
// and anonymous acquaintance, matched against the shared folders, and the
// results go back to the originator's result port on a connection of their
// own. Runs on the shared server thread (PeerServer), one request at a time.
// Each step is one "SearchServer: " line in the event log.
class SearchServer : public PeerServer {
public:
    struct Ports {
        int listen = kSearchServerPort;  // where requests arrive
        int forward = kSearchServerPort; // where friends' servers listen
        int reply = kSearchResultPort;   // where originators listen for results
    };

    // Entries of the recent-request list.
    static constexpr std::size_t kRecentRequests = 40;
    // Attempts at reaching the originator with the results.
    static constexpr int kReplyAttempts = 10;

    // Holds a reference on table while it lives (table may be null: then the
    // server refuses to start). log and presence may be null: events are then
    // dropped, and without presence nothing is forwarded.
    SearchServer(ShareTable* table, LogEvent* log, PresenceDirectory* presence);
    SearchServer(ShareTable* table, LogEvent* log, PresenceDirectory* presence, Ports ports);
    SearchServer(ShareTable* table, LogEvent* log, PresenceDirectory* presence, Ports ports,
                 Timing timing);
    ~SearchServer() override;

    // Refused (false) without a share table and while the worker thread is recorded.
    bool Start();

    // The search over the shared folders: for every shared folder in the
    // table's order, a depth-first walk (a folder's content before the folder
    // itself) that appends each matching path and the text that matched.
    // Stops at kSearchReplyResultLimit results. running, when given, ends the
    // walk early once cleared.
    static void SearchSharedFolders(ShareTable* table, std::int32_t mode, const std::string& query,
                                    std::vector<std::string>& paths,
                                    std::vector<std::string>& titles,
                                    const std::atomic<bool>* running = nullptr);

    // The regular expression a query stands for: a star at either end leaves
    // that end open, otherwise the query is anchored there; lower-cased.
    // Empty for an empty query, which matches nothing.
    static std::string QueryPattern(const std::string& query);

protected:
    void ServeConnection(TimeOutSocket& connection) override;

private:
    struct RecentRequest {
        std::array<std::uint8_t, 4> originator{};
        std::int32_t stamp = 0;
    };

    void Log(const std::string& line) const;
    bool IsOwnRequest(const SearchRequest& request);
    // The recent-request check; true when the request is new and was recorded.
    bool RememberRequest(const SearchRequest& request);
    void Forward(const SearchRequest& request);
    void ForwardTo(const std::string& address, const SearchRequest& request);
    void Reply(const SearchRequest& request, const std::vector<std::string>& paths,
               const std::vector<std::string>& titles);

    ShareTable* m_table;
    LogEvent* m_log;
    PresenceDirectory* m_presence;
    const Ports m_ports;
    // Most recently used first; touched only by the server thread.
    std::vector<RecentRequest> m_recent;
};
