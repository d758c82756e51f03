#pragma once

#include "app/peer/search/NetworkSearchResults.h"
#include "app/peer/search/SearchRequest.h"
#include "app/peer/wire/PeerWire.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

class LogEvent;
class PresenceDirectory;

// The search window's result thread without the window: it listens on the
// result port, sends one search request to every online friend and anonymous
// acquaintance, and then takes every reply that search servers send back
// until it is stopped, adding the results to the rows. A search never ends by
// itself: late results keep arriving while it listens. Each step is one
// "RaskSearch: " line in the event log. One search at a time.
class NetworkSearch {
public:
    struct Options {
        int serverPort = kSearchServerPort; // where the friends' servers listen
        int resultPort = kSearchResultPort; // where this search listens
        std::string listenAddress;          // "" = every local address
        int listenAttempts = 6;
        std::chrono::milliseconds listenRetryDelay{5000};
        std::chrono::milliseconds acceptLimit{5000};
        // Attempts at reaching each friend's search server.
        int sendAttempts = 10;
    };

    static constexpr char kNotInitializedMessage[] =
        "Halvara is not initialized;\ncannot run RaskSearch.";

    // presence, log and observer may be null; all must outlive the search.
    // Listens on the address the peer servers use (ListenAddress()).
    NetworkSearch(PresenceDirectory* presence, LogEvent* log, NetworkSearchObserver* observer);
    NetworkSearch(PresenceDirectory* presence, LogEvent* log, NetworkSearchObserver* observer,
                  Options options);
    // Stops the thread and waits for it.
    ~NetworkSearch();
    NetworkSearch(const NetworkSearch&) = delete;
    NetworkSearch& operator=(const NetworkSearch&) = delete;

    // Starts the search thread with the mode (0 file name, 1 song title, 2
    // song author) and the text, cut to 149 characters. Refused (false) while
    // a search thread is recorded.
    bool Start(std::int32_t mode, const std::string& text);
    // Clears the run flag; with wait, polls every 50 ms until the thread has
    // ended. False when no thread was recorded.
    bool Stop(bool wait);
    // Stops and waits, then removes every row.
    void NewSearch();

    bool IsActive() const { return m_active.load(); }
    // True while the thread holds its listening socket.
    bool IsListening() const { return m_listening.load(); }
    // The port the thread listens on (useful with port 0), 0 before.
    int ListeningPort() const { return m_listeningPort.load(); }
    // Whether the request went out (to everybody it could reach).
    bool RequestSent() const { return m_requestSent.load(); }

    NetworkSearchResults& Results() { return m_results; }
    const NetworkSearchResults& Results() const { return m_results; }

private:
    void Run(std::int32_t mode, std::string text);
    bool SendRequest(std::int32_t mode, const std::string& text);
    void SendTo(const std::string& address, const SearchRequest& request);
    void ReceiveResult(TimeOutSocket& connection);
    void Log(const std::string& line) const;
    bool Pause(std::chrono::milliseconds delay);

    PresenceDirectory* m_presence;
    LogEvent* m_log;
    NetworkSearchObserver* m_observer;
    const Options m_options;
    NetworkSearchResults m_results;

    std::atomic<bool> m_running{false};
    std::atomic<bool> m_active{false};
    std::atomic<bool> m_listening{false};
    std::atomic<bool> m_requestSent{false};
    std::atomic<int> m_listeningPort{0};
    std::mutex m_threadMutex; // guards m_thread
    std::thread m_thread;
};
