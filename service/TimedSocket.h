#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>

// A TCP stream socket of the presence service whose every connect, accept, send
// and receive is bounded in time. A limit is armed with SetLimit and runs from
// that moment: every blocking call made before it passes waits at most for what
// is left of it, and a call that runs out fails. The socket belongs to the
// thread that made it; a call made while another one is in progress on the same
// socket fails at once instead of interleaving with it.
class TimedSocket {
public:
    static constexpr int kConnectLimitMs = 5000;
    static constexpr int kReceiveLimitMs = 5000;

    TimedSocket() = default;
    ~TimedSocket();
    TimedSocket(const TimedSocket&) = delete;
    TimedSocket& operator=(const TimedSocket&) = delete;
    TimedSocket(TimedSocket&& other) noexcept;
    TimedSocket& operator=(TimedSocket&& other) noexcept;

    // Arms a limit of ms milliseconds from now for the following calls.
    // Returns false for a limit that is not positive.
    bool SetLimit(int ms);
    // True once the armed limit (or the cut-off) has passed.
    bool LimitPassed() const;

    // Bounds every later call beyond its own limit: it fails within
    // platform::kCancelSlice of *running turning false (null: nothing cancels
    // it), and never waits past cutoff, whatever limit is armed. The flag must
    // outlive the socket's calls.
    void SetBounds(const std::atomic<bool>* running,
                   std::chrono::steady_clock::time_point cutoff =
                       std::chrono::steady_clock::time_point::max());

    // Resolves host (name or dotted quad, IPv4) and connects within 5000 ms.
    bool Connect(const std::string& host, int port);
    bool ConnectWithin(const std::string& host, int port, int ms);

    // Binds to address ("" = every local address) and port and listens.
    bool Listen(const std::string& address, int port, int backlog);
    // Waits for one connection until the armed limit passes; the connection is
    // handed over in incoming. False on time-out or failure.
    bool Accept(TimedSocket& incoming);

    // Sends all n bytes before the armed limit passes; returns the number sent
    // (short of n on time-out or failure).
    std::size_t Send(const void* data, std::size_t n);
    // One receive of up to n bytes before the armed limit passes. Returns the
    // number of bytes, 0 when the peer closed, -1 on time-out or failure.
    long Receive(void* buffer, std::size_t n);
    // Receives n bytes: every receive call has 5000 ms and is repeated once when
    // that limit ran out; the peer closing, a failure or a second time-out ends
    // the block short. Returns the number of bytes received.
    std::size_t ReceiveAll(void* buffer, std::size_t n);

    bool IsOpen() const { return m_fd >= 0; }
    // Dotted quad of the peer, "0.0.0.0" when not connected.
    std::string PeerAddress() const;
    // The port the socket is bound to locally (useful after Listen on port 0).
    int LocalPort() const;
    void Close();

private:
    // Milliseconds left of the armed limit (0 when it has passed).
    int RemainingMs() const;
    // The moment the armed limit passes, or the cut-off if sooner.
    std::chrono::steady_clock::time_point Deadline() const;

    int m_fd = -1;
    // The armed limit: when it started and how long it runs.
    std::chrono::steady_clock::time_point m_start{};
    int m_limitMs = kConnectLimitMs;
    const std::atomic<bool>* m_running = nullptr;
    std::chrono::steady_clock::time_point m_cutoff = std::chrono::steady_clock::time_point::max();
    std::atomic<bool> m_busy{false};
};
