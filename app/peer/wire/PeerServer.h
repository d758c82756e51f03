#pragma once

#include "app/peer/wire/TimeOutSocket.h"
#include "platform/ThreadExitCode.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

// The thread model the peer servers (remote file system, search, transfer,
// messages) share. Start runs one thread that listens on the server's port and
// accepts with a 5-second limit so that it looks at its run flag at least that
// often; each accepted connection is served on a worker of a bounded pool
// (platform::ConnectionPool), so a peer that holds its connection open holds
// one worker, not the server. A connection over the pool's bound or over the
// bound for its peer address is closed at once. When the port cannot be taken
// the thread tries again every 5 seconds and gives up after the sixth attempt.
//
// Every connection must have sent its whole request within requestLimit of
// being accepted (its receives fail past that); what the server sends back is
// bounded by each server's own limits.
//
// The listen queue is as deep as the system allows (SOMAXCONN). A full
// queue does not refuse a connection here: the kernel drops the handshake and
// the client's connect waits a whole second for its retransmission. With a
// queue of 24, clients that open connections faster than the low-priority
// worker is scheduled (a burst of short requests on a busy machine) paid that
// second every few dozen connections.
//
// A derived server implements ServeConnection, which runs on several workers at
// once (whatever it shares between connections needs a lock), and calls
// Stop(true) in its own destructor, so no worker calls into a half-destroyed
// object.
class PeerServer {
public:
    // Connections served at once. Far more than the friends who browse or
    // download at the same moment; each costs a thread.
    static constexpr std::size_t kWorkers = 32;
    // Connections of one peer address served at once: room for several users
    // behind one shared address, each with a few requests in flight, while one
    // address can hold at most a quarter of the workers.
    static constexpr std::size_t kConnectionsPerAddress = 8;
    // Twice the per-field limit: ample for a request of a few fields.
    static constexpr std::chrono::milliseconds kRequestLimit{10000};

    struct Timing {
        int listenAttempts = 6;
        std::chrono::milliseconds listenRetryDelay{5000};
        std::chrono::milliseconds acceptLimit{5000};
        std::size_t workers = kWorkers;
        std::size_t connectionsPerAddress = kConnectionsPerAddress;
        std::chrono::milliseconds requestLimit = kRequestLimit;
    };

    // What the listening socket did; told to the state listener.
    enum class ListenEvent {
        Listening, // took its port and accepts
        GaveUp,    // could not take its port in all its attempts
        Stopped,   // ended after a stop, listening or not
    };
    // Called on the server's own thread, once per event, so it must not block
    // and must not stop or destroy the server.
    using StateListener = std::function<void(ListenEvent)>;

    explicit PeerServer(int port);
    PeerServer(int port, Timing timing);
    virtual ~PeerServer();
    PeerServer(const PeerServer&) = delete;
    PeerServer& operator=(const PeerServer&) = delete;

    // Set before Start; the thread Start runs reads it without a lock.
    void SetStateListener(StateListener listener) { m_stateListener = std::move(listener); }

    // Refused (false) while a worker thread is recorded.
    bool Start();
    // Clears the run flag. When asked to wait, polls every 50 ms until the worker
    // and every connection it served have ended (a connection waiting on its
    // peer gives up within a tenth of a second); from inside ServeConnection it
    // never waits. False when no worker thread was recorded.
    bool Stop(bool wait);

    // The run flag.
    bool IsRunning() const { return m_running.load(); }
    // True while the worker holds its listening socket.
    bool IsListening() const { return m_listening.load(); }
    // platform::kThreadStillActive while the worker runs; then 1 after a
    // stop, 0 when it gave up on its listening socket. -1 before the first start.
    int ExitCode() const { return m_exitCode.load(); }
    int Port() const { return m_port; }

protected:
    // Serves one accepted connection on a pool worker, alongside others. The
    // connection watches the run flag, so a stop cancels a call waiting on a
    // silent peer. Exceptions are caught per connection.
    virtual void ServeConnection(TimeOutSocket& connection) = 0;
    // Called on the worker thread when the listening socket could not be made
    // (attempt counts from 1) and when the worker gives up; default: nothing.
    virtual void OnListenFailed(int attempt, int error);
    // For the sockets a server opens itself while serving (a search forwarded to
    // other peers), so that a stop cancels their calls too.
    const std::atomic<bool>* RunFlag() const { return &m_running; }

private:
    void Run();
    void Serve(TimeOutSocket& connection);
    // Sleeps for the delay in short steps; false when the run flag was cleared.
    bool Pause(std::chrono::milliseconds delay);
    // Joins a worker that has ended; the caller holds m_threadMutex.
    void ReapEndedWorker();
    void Tell(ListenEvent event) const;

    const int m_port;
    const Timing m_timing;
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_listening{false};
    std::atomic<int> m_exitCode{-1};
    StateListener m_stateListener;
    // Guards m_thread: Start and Stop may be called from different threads.
    std::mutex m_threadMutex;
    std::thread m_thread;
};
