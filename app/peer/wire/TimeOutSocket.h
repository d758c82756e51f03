#pragma once

#include "app/peer/wire/PeerWire.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The blocking TCP stream socket every peer connection uses. Each connect,
// accept, send and receive is bounded in time: SetTimeOut arms a limit that runs
// from that moment, every blocking call made before it passes waits at most for
// what is left of it, and a call that runs out fails (LastError() == ETIMEDOUT).
// Without an armed limit (a fresh socket, after KillTimeOut) each call gets
// kPeerCallLimit of its own, so no peer can hold a thread for longer than that
// per call.
//
// A socket may also watch a run flag (WatchRunFlag): once the flag turns false,
// calls in progress and later calls fail with ECANCELED within a tenth of a
// second, which lets a server stop without waiting out a silent peer.
//
// A socket is used by one thread at a time.
class TimeOutSocket {
public:
    TimeOutSocket() = default;
    ~TimeOutSocket();
    TimeOutSocket(const TimeOutSocket&) = delete;
    TimeOutSocket& operator=(const TimeOutSocket&) = delete;

    // Arms a limit of the given length from now for the following calls.
    bool SetTimeOut(std::chrono::milliseconds limit);
    bool SetTimeOut(unsigned milliseconds) {
        return SetTimeOut(std::chrono::milliseconds(milliseconds));
    }
    // Removes the armed limit; each call then gets kPeerCallLimit of its own.
    void KillTimeOut();

    // Connects to a dotted address or a host name within 5 seconds (the limit
    // is re-armed); a name look-up counts against the same limit.
    bool Connect(const std::string& host, int port);
    // The same from the given local address ("" = whichever the system picks),
    // so that a peer that takes the sender's address from the connection (the
    // instant messenger) sees this user's address when several users share
    // one machine, each on its own loopback address.
    bool Connect(const std::string& host, int port, const std::string& localAddress);
    // Binds to address ("" or "0.0.0.0" = every local address) and port and listens.
    bool Listen(const std::string& address, int port, int backlog = 24);
    // Waits within the armed limit for one connection and hands it to
    // connection (closing whatever connection held before).
    bool Accept(TimeOutSocket& connection);

    // Sends all count bytes within the limit; returns the number sent, short of
    // count on time-out or failure.
    std::size_t Send(const void* data, std::size_t count);
    // One receive of up to count bytes within the limit: the number of bytes, 0
    // when the peer closed, -1 on time-out or failure.
    long Receive(void* buffer, std::size_t count);
    // Fills the buffer, re-arming kPeerCallLimit before every receive; a receive
    // that yields nothing or fails ends it. Returns the number of bytes received:
    // anything short of count is a failed exchange.
    std::size_t ReceiveAll(void* buffer, std::size_t count);

    // Field helpers of the peer protocols. Each arms the given limit first and
    // succeeds only when the whole field moved; a field split over several TCP
    // segments is put together within that limit.
    bool SendInt32(std::int32_t value, std::chrono::milliseconds limit = kPeerCallLimit);
    bool ReceiveInt32(std::int32_t& value, std::chrono::milliseconds limit = kPeerCallLimit);
    bool SendText(std::string_view text, std::size_t width,
                  std::chrono::milliseconds limit = kPeerCallLimit);
    bool ReceiveText(std::string& text, std::size_t width,
                     std::chrono::milliseconds limit = kPeerCallLimit);
    bool SendBlock(const std::vector<std::uint8_t>& bytes,
                   std::chrono::milliseconds limit = kPeerCallLimit);
    // Receives exactly count bytes; count must be checked by the caller against
    // what the protocol allows before it is used to size a buffer.
    bool ReceiveBlock(std::vector<std::uint8_t>& bytes, std::size_t count,
                      std::chrono::milliseconds limit = kPeerCallLimit);

    // The flag is read, never written; it must outlive the socket's use of it.
    void WatchRunFlag(const std::atomic<bool>* running) { m_running = running; }
    // No receive waits past this moment, whatever limit is armed: a server
    // gives the peer until then to have sent its whole request, so a peer that
    // trickles field after field cannot stretch it. Sends are not bounded by it.
    void LimitReceivesUntil(std::chrono::steady_clock::time_point deadline) {
        m_receiveCutoff = deadline;
    }

    bool IsOpen() const { return m_fd >= 0; }
    void Close();
    // errno of the last failed call (ETIMEDOUT, ECANCELED, ECONNREFUSED, ...).
    int LastError() const { return m_lastError; }
    // Dotted address of the other end, "0.0.0.0" when not connected.
    std::string PeerAddress() const;
    // The local port (useful after Listen on port 0), 0 when not bound.
    int LocalPort() const;

private:
    // The moment the current call must be done by.
    std::chrono::steady_clock::time_point CallDeadline() const;
    // The same, no later than the receive cut-off.
    std::chrono::steady_clock::time_point ReceiveDeadline() const;
    std::size_t ReceiveExact(void* buffer, std::size_t count);
    void Adopt(int fd);

    int m_fd = -1;
    bool m_armed = false;
    std::chrono::steady_clock::time_point m_deadline{};
    std::chrono::steady_clock::time_point m_receiveCutoff =
        std::chrono::steady_clock::time_point::max();
    int m_lastError = 0;
    const std::atomic<bool>* m_running = nullptr;
};
