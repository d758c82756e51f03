#include "platform/SocketWait.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <sys/socket.h>

namespace platform {

int WaitForSocket(int fd, short events, const SocketCall& call) {
    while (true) {
        if (call.Cancelled())
            return ECANCELED;
        auto left =
            std::chrono::ceil<std::chrono::milliseconds>(call.deadline - SocketClock::now());
        if (left.count() <= 0)
            return ETIMEDOUT;
        // Only a watched flag needs the wait cut into slices.
        if (call.running)
            left = std::min(left, kCancelSlice);
        pollfd waiting{fd, events, 0};
        int ready = poll(&waiting, 1, static_cast<int>(std::min<long long>(left.count(), 1 << 30)));
        if (ready > 0)
            return 0;
        if (ready < 0 && errno != EINTR)
            return errno;
    }
}

long ReceiveSome(int fd, void* buffer, std::size_t count, const SocketCall& call, int& error) {
    while (true) {
        if (call.Cancelled()) {
            error = ECANCELED;
            return -1;
        }
        ssize_t got = recv(fd, buffer, count, 0);
        if (got >= 0)
            return static_cast<long>(got);
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            error = errno;
            return -1;
        }
        if (int waited = WaitForSocket(fd, POLLIN, call); waited != 0) {
            error = waited;
            return -1;
        }
    }
}

SocketTransfer SendAll(int fd, const void* data, std::size_t count, const SocketCall& call) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    SocketTransfer result;
    while (result.bytes < count) {
        if (call.Cancelled()) {
            result.error = ECANCELED;
            break;
        }
        ssize_t sent = send(fd, bytes + result.bytes, count - result.bytes, MSG_NOSIGNAL);
        if (sent > 0) {
            result.bytes += static_cast<std::size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            result.error = WaitForSocket(fd, POLLOUT, call);
            if (result.error != 0)
                break;
            continue;
        }
        // A send that moves nothing without an error will not move more later.
        result.error = sent < 0 ? errno : EPIPE;
        break;
    }
    return result;
}

SocketTransfer ReceiveAll(int fd, void* buffer, std::size_t count, const SocketCall& call) {
    return ReceiveEachWithin(
        fd, buffer, count, [&call] { return call; }, 0);
}

SocketTransfer ReceiveEachWithin(int fd, void* buffer, std::size_t count,
                                 const std::function<SocketCall()>& nextCall, int timeOutRetries) {
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    SocketTransfer result;
    while (result.bytes < count) {
        const SocketCall call = nextCall();
        int error = 0;
        long got = ReceiveSome(fd, bytes + result.bytes, count - result.bytes, call, error);
        if (got > 0) {
            result.bytes += static_cast<std::size_t>(got);
            continue;
        }
        if (got == 0) {
            result.ended = true;
            break;
        }
        if (error == ETIMEDOUT && timeOutRetries > 0) {
            --timeOutRetries;
            continue;
        }
        result.error = error;
        break;
    }
    return result;
}

} // namespace platform
