#include "app/peer/wire/PeerServer.h"

#include "app/peer/wire/PeerConnection.h"
#include "platform/ConnectionPool.h"

#include <cerrno>
#include <exception>
#include <memory>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The server whose connection this thread serves, so that a Stop from inside
// ServeConnection does not wait for the pool that runs it.
thread_local const PeerServer* t_serving = nullptr;

} // namespace

PeerServer::PeerServer(int port)
    : PeerServer(port, Timing{}) {}

PeerServer::PeerServer(int port, Timing timing)
    : m_port(port)
    , m_timing(timing) {}

PeerServer::~PeerServer() {
    // A derived server has stopped already; this only catches one that forgot,
    // and joins the ended worker either way.
    Stop(true);
    std::lock_guard lock(m_threadMutex);
    if (m_thread.joinable())
        m_thread.join();
}

void PeerServer::OnListenFailed(int, int) {}

void PeerServer::Tell(ListenEvent event) const {
    if (m_stateListener)
        m_stateListener(event);
}

void PeerServer::ReapEndedWorker() {
    if (m_thread.joinable() && m_exitCode.load() != platform::kThreadStillActive)
        m_thread.join();
}

bool PeerServer::Start() {
    std::lock_guard lock(m_threadMutex);
    ReapEndedWorker();
    if (m_thread.joinable())
        return false;
    m_running.store(true);
    m_exitCode.store(platform::kThreadStillActive);
    m_thread = std::thread(&PeerServer::Run, this);
    return true;
}

bool PeerServer::Stop(bool wait) {
    m_running.store(false);
    std::lock_guard lock(m_threadMutex);
    ReapEndedWorker();
    if (!m_thread.joinable())
        return false;
    // Neither the worker nor one of its connections can wait for itself.
    if (wait && m_thread.get_id() != std::this_thread::get_id() && t_serving != this) {
        while (m_exitCode.load() == platform::kThreadStillActive)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        m_thread.join();
    }
    return true;
}

bool PeerServer::Pause(std::chrono::milliseconds delay) {
    auto until = std::chrono::steady_clock::now() + delay;
    while (m_running.load()) {
        auto left = until - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero())
            return true;
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(left, std::chrono::milliseconds(50)));
    }
    return false;
}

void PeerServer::Run() {
    // The servers yield to the user interface, as the lowest thread priority did.
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10);

    TimeOutSocket listener;
    listener.WatchRunFlag(&m_running);
    std::string address = ListenAddress();
    int attempt = 0;
    while (!listener.Listen(address, m_port, SOMAXCONN)) {
        ++attempt;
        OnListenFailed(attempt, listener.LastError());
        if (attempt >= m_timing.listenAttempts || !Pause(m_timing.listenRetryDelay)) {
            const bool gaveUp = attempt >= m_timing.listenAttempts;
            m_running.store(false);
            // Told before the exit code, which lets Stop join this thread.
            Tell(gaveUp ? ListenEvent::GaveUp : ListenEvent::Stopped);
            m_exitCode.store(gaveUp ? 0 : 1);
            return;
        }
    }
    m_listening.store(true);
    Tell(ListenEvent::Listening);

    platform::ConnectionPool pool({m_timing.workers, m_timing.connectionsPerAddress});
    while (m_running.load()) {
        auto connection = std::make_shared<TimeOutSocket>();
        listener.SetTimeOut(m_timing.acceptLimit);
        if (!listener.Accept(*connection)) {
            // A listener that fails at once (out of descriptors) must not spin.
            if (listener.LastError() != ETIMEDOUT && listener.LastError() != ECANCELED)
                Pause(std::chrono::milliseconds(100));
            continue;
        }
        connection->WatchRunFlag(&m_running);
        connection->LimitReceivesUntil(std::chrono::steady_clock::now() + m_timing.requestLimit);
        // Refused, the connection is closed here as the last reference goes.
        pool.TryRun(connection->PeerAddress(), [this, connection] { Serve(*connection); });
    }
    listener.Close();
    // Connections in progress see the cleared run flag and end.
    pool.Close();
    m_listening.store(false);
    Tell(ListenEvent::Stopped);
    m_exitCode.store(1);
}

void PeerServer::Serve(TimeOutSocket& connection) {
    t_serving = this;
    try {
        ServeConnection(connection);
    } catch (const std::exception&) {
        // One failed connection never ends the server.
    }
    connection.Close();
    t_serving = nullptr;
}
