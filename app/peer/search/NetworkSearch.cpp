#include "app/peer/search/NetworkSearch.h"

#include "app/files/LogEvent.h"
#include "app/peer/PresenceDirectory.h"
#include "app/peer/search/SearchReply.h"
#include "app/peer/wire/PeerConnection.h"

#include <ctime>

namespace {

constexpr char kOfflineAddress[] = "0.0.0.0";

NetworkSearch::Options DefaultOptions() {
    NetworkSearch::Options options;
    options.listenAddress = ListenAddress();
    return options;
}

} // namespace

NetworkSearch::NetworkSearch(PresenceDirectory* presence, LogEvent* log,
                             NetworkSearchObserver* observer)
    : NetworkSearch(presence, log, observer, DefaultOptions()) {}

NetworkSearch::NetworkSearch(PresenceDirectory* presence, LogEvent* log,
                             NetworkSearchObserver* observer, Options options)
    : m_presence(presence)
    , m_log(log)
    , m_observer(observer)
    , m_options(std::move(options))
    , m_results(observer) {}

NetworkSearch::~NetworkSearch() {
    Stop(true);
}

void NetworkSearch::Log(const std::string& line) const {
    if (m_log)
        (*m_log)(line);
}

bool NetworkSearch::Start(std::int32_t mode, const std::string& text) {
    std::lock_guard lock(m_threadMutex);
    if (m_active.load())
        return false;
    if (m_thread.joinable())
        m_thread.join();
    m_running.store(true);
    m_active.store(true);
    m_requestSent.store(false);
    m_thread = std::thread(&NetworkSearch::Run, this, mode,
                           text.substr(0, SearchRequest::kOriginQueryText));
    return true;
}

bool NetworkSearch::Stop(bool wait) {
    std::lock_guard lock(m_threadMutex);
    if (!m_thread.joinable())
        return false;
    m_running.store(false);
    if (wait) {
        while (m_active.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        m_thread.join();
    }
    return true;
}

void NetworkSearch::NewSearch() {
    Stop(true);
    m_results.Clear();
}

bool NetworkSearch::Pause(std::chrono::milliseconds delay) {
    const auto until = std::chrono::steady_clock::now() + delay;
    while (m_running.load()) {
        if (std::chrono::steady_clock::now() >= until)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

void NetworkSearch::Run(std::int32_t mode, std::string text) {
    TimeOutSocket listener;
    listener.WatchRunFlag(&m_running);
    int attempt = 0;
    bool listening = true;
    while (!listener.Listen(m_options.listenAddress, m_options.resultPort, 24)) {
        ++attempt;
        if (attempt >= m_options.listenAttempts || !Pause(m_options.listenRetryDelay)) {
            listening = false;
            break;
        }
    }
    if (listening) {
        m_listeningPort.store(listener.LocalPort());
        m_listening.store(true);
        if (SendRequest(mode, text)) {
            m_requestSent.store(true);
            TimeOutSocket connection;
            while (m_running.load()) {
                connection.Close();
                connection.KillTimeOut();
                listener.SetTimeOut(m_options.acceptLimit);
                if (!listener.Accept(connection)) {
                    if (listener.LastError() != ETIMEDOUT && listener.LastError() != ECANCELED)
                        Pause(std::chrono::milliseconds(100));
                    continue;
                }
                connection.WatchRunFlag(&m_running);
                Log("RaskSearch: Received response");
                ReceiveResult(connection);
            }
        }
        listener.Close();
        m_listening.store(false);
    }
    m_active.store(false);
}

bool NetworkSearch::SendRequest(std::int32_t mode, const std::string& text) {
    if (!m_presence || !m_presence->IsInitialized()) {
        if (m_observer)
            m_observer->SearchFailed(kNotInitializedMessage);
        return false;
    }
    const auto own = AddressBytes(m_presence->MyAddress());
    if (!own)
        return false;
    SearchRequest request;
    request.mode = mode;
    request.hopCount = 0;
    request.originator = *own;
    request.stamp = static_cast<std::int32_t>(std::time(nullptr));
    request.query = text;

    Log("RaskSearch: Sending request to friends");
    for (const std::string& address : m_presence->FriendAddresses()) {
        if (!m_running.load())
            return false;
        if (address.empty() || address == kOfflineAddress)
            continue;
        Log("RaskSearch: Sending to friend " + address);
        SendTo(address, request);
    }
    Log("RaskSearch: Sending request to anonymous users");
    if (const auto anonymous = m_presence->AnonymousAddresses(true)) {
        for (const std::string& address : *anonymous) {
            if (!m_running.load())
                return false;
            Log("RaskSearch: Sending to anonymous user " + address);
            if (!address.empty() && address != kOfflineAddress)
                SendTo(address, request);
        }
    }
    return true;
}

void NetworkSearch::SendTo(const std::string& address, const SearchRequest& request) {
    // The attempts share one connect limit, so a friend whose computer does
    // not answer holds the search for seconds, not ten limits in a row.
    DeliverSearchRequest(address, m_options.serverPort, request, SearchRequest::kOriginQueryText,
                         m_options.sendAttempts, &m_running);
}

void NetworkSearch::ReceiveResult(TimeOutSocket& connection) {
    const auto reply = ReceiveSearchReply(connection, kPeerCallLimit);
    if (!reply)
        return;
    const std::string address = connection.PeerAddress();
    connection.Close();
    m_results.AddReply(*reply, address);
}
