#pragma once

#include "directory/DirectoryService.h"
#include "directory/HttpMessage.h"
#include "directory/TrustedProxies.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <semaphore>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace halvdir {

// The HTTP front of the directory. One thread polls every connection: it
// accepts, reads request heads without blocking and hands each complete
// request to a pool of workers, which run the query, write the answer and
// give a kept-alive connection back to the poller. So a connection that is
// idle, or sends its request a byte at a time, holds no worker; and a request
// that has not arrived whole within kRequestDeadline is refused. Nagle's
// algorithm is off (with it every answer waits for a delayed acknowledgement),
// and one line per request goes to standard output.
class DirectoryServer {
public:
    // Requests through a trusted proxy count as the client it forwards (see
    // TrustedProxies); the connection limit stays per peer, the proxy's
    // kept-alive connections being few.
    DirectoryServer(DirectoryService& service, int threads,
                    const std::vector<std::string>& trustedProxies = {});
    ~DirectoryServer();
    DirectoryServer(const DirectoryServer&) = delete;
    DirectoryServer& operator=(const DirectoryServer&) = delete;

    // A connection must deliver each whole request within this time after it
    // was opened or answered last (also the idle time of a kept-alive one),
    // and take the rest of an answer the socket could not hold at once.
    static constexpr std::chrono::seconds kRequestDeadline{5};
    // Connections open at once from one address: wide enough for many users
    // behind one NAT and a load test's 200 clients, narrow enough that one
    // address cannot use up the descriptors.
    static constexpr int kMaxConnectionsPerAddress = 256;
    static constexpr int kMaxConnections = 8192;
    static constexpr int kMaxRequestsPerConnection = 10000;

    bool Bind(const std::string& host, int port);
    // Serves until Stop; returns false when listening failed.
    bool Run();
    // Safe from another thread.
    void Stop();
    bool IsRunning() const;

private:
    struct Connection {
        int fd = -1;
        std::string address;
        std::string received;
        std::uint64_t generation = 0;
        int served = 0;
        bool busy = false;
        // Filled by the poller for the worker, and by the worker for the poller.
        RequestHead request;
        std::size_t requestEnd = 0;
        bool closeAfter = false;
        std::string outgoing; // the part of the answer not yet written
    };
    struct Deadline {
        std::chrono::steady_clock::time_point at;
        int fd;
        std::uint64_t generation;
    };

    void PollLoop();
    void WorkLoop();
    void Serve(Connection& connection);

    // Poller thread only.
    void AcceptAll();
    void ReadFrom(Connection& connection);
    void Dispatch(Connection& connection);
    void TakeBack();
    void Flush(Connection& connection);
    void Answered(Connection& connection);
    void SetDeadline(Connection& connection);
    void ExpireDeadlines();
    void Arm(Connection& connection, bool fresh);
    void Refuse(Connection& connection, int status);
    void Close(Connection& connection);
    int NextTimeoutMs() const;

    DirectoryService& m_service;
    const TrustedProxies m_trustedProxies;
    const int m_threads;
    int m_listen = -1;
    int m_epoll = -1;
    int m_wake = -1;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_running{false};

    // Owned by the poller thread; a busy connection's fields belong to the
    // worker that has it until it is handed back.
    std::unordered_map<int, std::unique_ptr<Connection>> m_connections;
    std::unordered_map<std::string, int> m_perAddress;
    // Every deadline is "now + kRequestDeadline" when set, so they come due
    // in the order they were set. Each wait for a request gets a generation
    // of its own, unique across connections since descriptors are reused,
    // so a stale deadline matches nothing.
    std::deque<Deadline> m_deadlines;
    std::uint64_t m_generations = 0;
    std::chrono::steady_clock::time_point m_acceptPausedUntil{};
    bool m_acceptPaused = false;

    // Waking a worker costs two task switches, which on a busy machine cost
    // more than a lookup: a request wakes one only while fewer workers are
    // awake than there are requests queued and cores to run them. While the
    // oldest request has waited longer than kStaleWork (the awake ones are
    // held up, by a password hash or the disk, or were not given a core),
    // one more is woken each kStaleWork.
    static constexpr std::chrono::milliseconds kStaleWork{2};
    struct Work {
        Connection* connection;
        std::chrono::steady_clock::time_point queued;
    };
    void WakeForStaleWork();
    std::chrono::steady_clock::time_point m_lastStaleWake{}; // poller thread only
    mutable std::mutex m_workLock;
    std::deque<Work> m_work;
    // Asleep workers, the last to fall asleep on top: it is woken first, so
    // a few workers warm in the caches do the work while the rest sleep on.
    struct Sleeper {
        std::binary_semaphore wake{0};
    };
    std::vector<Sleeper*> m_sleeping;
    // Takes the top sleeper off the stack (with m_workLock held); wake it
    // after letting go of the lock.
    Sleeper* PopSleeper();
    const int m_cores;
    bool m_workersStop = false;

    std::mutex m_returnLock;
    std::vector<Connection*> m_returned;
};

} // namespace halvdir
