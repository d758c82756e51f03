#pragma once

#include "app/peer/search/SearchReplyBudget.h"
#include "app/peer/search/SearchRequest.h"
#include "app/peer/wire/PeerServer.h"
#include "app/peer/wire/PeerWire.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
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
// own. ServeConnection may run on several threads at once: the recent-request
// list has its own lock, the reply budget another, the walk shares nothing.
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
    // Results in one reply: a person reads a few dozen, and at 522 bytes a
    // result a reply stays near 260 KB (the receivers take up to
    // kSearchReplyResultLimit).
    static constexpr std::size_t kReplyResultLimit = 500;
    // What one originator address may be sent a minute. A request naming
    // somebody else's address makes this server send that address at most
    // six full replies' worth of results (about 1.6 MB) a minute, whatever the
    // requests cost their sender, while a person's searches, a few dozen
    // results each, go through even when they come every two seconds.
    static constexpr std::size_t kRepliesPerAddress = 30;
    static constexpr std::size_t kResultsPerAddress = 6 * kReplyResultLimit;
    static constexpr std::chrono::seconds kReplyWindow{60};
    // Originator addresses remembered for that; a new one past them is not
    // answered until the oldest have been quiet for a minute.
    static constexpr std::size_t kReplyAddresses = 4096;

    // Holds a reference on table while it lives (table may be null: then the
    // server refuses to start). log and presence may be null: events are then
    // dropped, and without presence nothing is forwarded.
    SearchServer(std::shared_ptr<ShareTable> table, LogEvent* log, PresenceDirectory* presence);
    SearchServer(std::shared_ptr<ShareTable> table, LogEvent* log, PresenceDirectory* presence,
                 Ports ports);
    SearchServer(std::shared_ptr<ShareTable> table, LogEvent* log, PresenceDirectory* presence,
                 Ports ports, Timing timing);
    ~SearchServer() override;

    // Refused (false) without a share table and while the worker thread is recorded.
    bool Start();

    // The search over the shared folders: for every shared folder in the
    // table's order, a depth-first walk (a folder's content before the folder
    // itself) that appends each matching path and the text that matched.
    // Stops at kReplyResultLimit results. running, when given, ends the
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
    void LogOverBudget(const std::string& originator) const;
    bool IsOwnRequest(const SearchRequest& request);
    // The recent-request check; true when the request is new and was recorded.
    bool RememberRequest(const SearchRequest& request);
    void Forward(const SearchRequest& request);
    void ForwardTo(const std::string& address, const SearchRequest& request);
    void Reply(const SearchRequest& request, const std::vector<std::string>& paths,
               const std::vector<std::string>& titles);

    const std::shared_ptr<ShareTable> m_table;
    LogEvent* m_log;
    PresenceDirectory* m_presence;
    const Ports m_ports;
    std::mutex m_recentMutex;
    // Most recently used first; under m_recentMutex.
    std::vector<RecentRequest> m_recent;
    SearchReplyBudget m_replies;
};
