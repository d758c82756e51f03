#include "platform/SocketConnect.h"

#include "platform/Environment.h"
#include "platform/IPv4Text.h"

#include <arpa/inet.h>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace platform {

namespace {

int OpenStreamSocket() {
    return socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

// Closes fd and hands back error, so failure paths read as one return.
int CloseWith(int& fd, int error) {
    close(fd);
    fd = -1;
    return error;
}

void SendSmallWritesAtOnce(int fd) {
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

} // namespace

bool ResolveIPv4(const std::string& host, SocketClock::time_point deadline, in_addr& address) {
    if (host.empty())
        return false;
    if (inet_pton(AF_INET, host.c_str(), &address) == 1)
        return true;
    // Shared with the look-up thread, which may outlive this call.
    struct Lookup {
        std::mutex lock;
        std::condition_variable done;
        bool finished = false;
        bool found = false;
        in_addr address{};
    };
    auto lookup = std::make_shared<Lookup>();
    try {
        std::thread([lookup, host] {
            addrinfo hints{};
            hints.ai_family = AF_INET;
            hints.ai_socktype = SOCK_STREAM;
            addrinfo* list = nullptr;
            bool found = getaddrinfo(host.c_str(), nullptr, &hints, &list) == 0 && list &&
                         list->ai_addrlen >= sizeof(sockaddr_in);
            in_addr result{};
            if (found)
                result = reinterpret_cast<const sockaddr_in*>(list->ai_addr)->sin_addr;
            if (list)
                freeaddrinfo(list);
            std::lock_guard hold(lookup->lock);
            lookup->finished = true;
            lookup->found = found;
            lookup->address = result;
            lookup->done.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        return false;
    }
    std::unique_lock hold(lookup->lock);
    if (!lookup->done.wait_until(hold, deadline, [&] { return lookup->finished; }) ||
        !lookup->found)
        return false;
    address = lookup->address;
    return true;
}

namespace {

bool IsLoopback(in_addr address) {
    return (ntohl(address.s_addr) >> 24) == 127;
}

// Peers believe an announced address only when the call comes from it, and
// several users of one machine each have an address of their own: a call
// leaves from HALVARA_ADDRESS when it is set. Only on the same side of the
// loopback boundary as the callee, and only where the address can be bound;
// otherwise the system chooses, as it does without the variable.
void BindToConfiguredAddress(int fd, in_addr callee) {
    const std::string text = ConfiguredAddress();
    if (text.empty())
        return;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    if (inet_pton(AF_INET, text.c_str(), &local.sin_addr) != 1 || local.sin_addr.s_addr == 0 ||
        IsLoopback(local.sin_addr) != IsLoopback(callee))
        return;
    bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local);
}

} // namespace

int ConnectWithin(const std::string& host, int port, const std::string& localAddress,
                  const SocketCall& call, int& fd) {
    fd = -1;
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<std::uint16_t>(port));
    if (port <= 0 || port > 65535 || !ResolveIPv4(host, call.deadline, peer.sin_addr))
        return EHOSTUNREACH;
    fd = OpenStreamSocket();
    if (fd < 0)
        return errno;
    if (!localAddress.empty()) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        if (inet_pton(AF_INET, localAddress.c_str(), &local.sin_addr) != 1)
            return CloseWith(fd, EINVAL);
        if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
            return CloseWith(fd, errno);
    } else {
        BindToConfiguredAddress(fd, peer.sin_addr);
    }
    if (connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
        if (errno != EINPROGRESS)
            return CloseWith(fd, errno);
        if (int waited = WaitForSocket(fd, POLLOUT, call); waited != 0)
            return CloseWith(fd, waited);
        int error = 0;
        socklen_t length = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
            error = errno;
        if (error != 0)
            return CloseWith(fd, error);
    }
    SendSmallWritesAtOnce(fd);
    return 0;
}

int ListenOn(const std::string& address, int port, int backlog, int& fd) {
    fd = -1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<std::uint16_t>(port));
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (port < 0 || port > 65535 ||
        (!address.empty() && inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1))
        return EINVAL;
    fd = OpenStreamSocket();
    if (fd < 0)
        return errno;
    // A port another listener holds is still refused.
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        listen(fd, backlog) != 0)
        return CloseWith(fd, errno);
    return 0;
}

int AcceptWithin(int listener, const SocketCall& call, int& fd) {
    fd = -1;
    while (true) {
        int accepted = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (accepted >= 0) {
            SendSmallWritesAtOnce(accepted);
            fd = accepted;
            return 0;
        }
        // A connection that was reset before it was taken is not a failure of
        // the listener; wait for the next one.
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED)
            return errno;
        if (int waited = WaitForSocket(listener, POLLIN, call); waited != 0)
            return waited;
    }
}

std::string PeerAddressOf(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (fd < 0 || getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        address.sin_family != AF_INET)
        return "0.0.0.0";
    return DottedQuadOfNetworkOrder(address.sin_addr.s_addr);
}

int LocalPortOf(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (fd < 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
}

} // namespace platform
