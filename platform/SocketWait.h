#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>

// The bounded waits and byte loops under both timed stream sockets. Every call
// works on a non-blocking descriptor and is bounded by a SocketCall: it fails
// with ETIMEDOUT once the deadline has passed and, when a run flag is given,
// with ECANCELED within kCancelSlice of that flag turning false. Failures are
// reported as errno values, never thrown, so each socket class keeps its own
// way of telling its callers.
namespace platform {

using SocketClock = std::chrono::steady_clock;

// How often a cancellable wait looks at its run flag.
inline constexpr std::chrono::milliseconds kCancelSlice{100};

// The bounds of one blocking call.
struct SocketCall {
    SocketClock::time_point deadline;
    // Read, never written; null when nothing may cancel the call.
    const std::atomic<bool>* running = nullptr;

    bool Cancelled() const { return running != nullptr && !running->load(); }
};

// What a loop moved. error is 0 when every byte moved, or, for the receives,
// when the peer ended the stream first (ended is then true).
struct SocketTransfer {
    std::size_t bytes = 0;
    int error = 0;
    bool ended = false;
};

// Waits until fd is ready for events. 0 when ready; ETIMEDOUT, ECANCELED or
// the errno of a failed poll otherwise. A call whose deadline has passed or
// whose run flag is cleared fails without looking at the descriptor.
int WaitForSocket(int fd, short events, const SocketCall& call);

// One receive of up to count bytes: the number of bytes, 0 when the peer ended
// the stream, -1 with error set on time-out, cancel or failure.
long ReceiveSome(int fd, void* buffer, std::size_t count, const SocketCall& call, int& error);

// Sends all count bytes within one call's bounds.
SocketTransfer SendAll(int fd, const void* data, std::size_t count, const SocketCall& call);

// Receives count bytes within one call's bounds.
SocketTransfer ReceiveAll(int fd, void* buffer, std::size_t count, const SocketCall& call);

// Receives count bytes, each receive under the bounds nextCall hands out just
// before it (so a socket can re-arm its own limit per receive). A time-out is
// forgiven timeOutRetries times over the whole block; the next one, a cancel,
// a failure or the end of the stream ends the block short.
SocketTransfer ReceiveEachWithin(int fd, void* buffer, std::size_t count,
                                 const std::function<SocketCall()>& nextCall, int timeOutRetries);

} // namespace platform
