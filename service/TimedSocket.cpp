#include "TimedSocket.h"

#include "NetUtilities.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Marks the socket busy for the duration of one blocking call.
class BusyGuard {
public:
    explicit BusyGuard(std::atomic<bool>& busy)
        : m_busy(busy) {
        bool expected = false;
        m_taken = m_busy.compare_exchange_strong(expected, true);
    }
    ~BusyGuard() {
        if (m_taken)
            m_busy.store(false);
    }
    BusyGuard(const BusyGuard&) = delete;
    BusyGuard& operator=(const BusyGuard&) = delete;
    bool Taken() const { return m_taken; }

private:
    std::atomic<bool>& m_busy;
    bool m_taken = false;
};

int MakeStreamSocket() {
    return socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

} // namespace

TimedSocket::~TimedSocket() {
    Close();
}

TimedSocket::TimedSocket(TimedSocket&& other) noexcept
    : m_fd(other.m_fd)
    , m_start(other.m_start)
    , m_limitMs(other.m_limitMs) {
    other.m_fd = -1;
}

TimedSocket& TimedSocket::operator=(TimedSocket&& other) noexcept {
    if (this != &other) {
        Close();
        m_fd = other.m_fd;
        m_start = other.m_start;
        m_limitMs = other.m_limitMs;
        other.m_fd = -1;
    }
    return *this;
}

bool TimedSocket::SetLimit(int ms) {
    if (ms <= 0)
        return false;
    m_start = std::chrono::steady_clock::now();
    m_limitMs = ms;
    return true;
}

int TimedSocket::RemainingMs() const {
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::steady_clock::now() - m_start)
                       .count();
    if (elapsed >= m_limitMs)
        return 0;
    return static_cast<int>(m_limitMs - elapsed);
}

bool TimedSocket::LimitPassed() const {
    return RemainingMs() == 0;
}

bool TimedSocket::WaitFor(short events) {
    for (;;) {
        int left = RemainingMs();
        if (left == 0)
            return false;
        pollfd p{m_fd, events, 0};
        int ready = poll(&p, 1, left);
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return false;
    }
}

bool TimedSocket::Connect(const std::string& host, int port) {
    return ConnectWithin(host, port, kConnectLimitMs);
}

bool TimedSocket::ConnectWithin(const std::string& host, int port, int ms) {
    BusyGuard busy(m_busy);
    if (!busy.Taken() || port <= 0 || port > 65535 || !SetLimit(ms))
        return false;
    if (m_fd >= 0) {
        close(m_fd);
        m_fd = -1;
    }
    // The name look-up counts against the same limit as the connect.
    in_addr address{};
    if (!ResolveIPv4Within(host, RemainingMs(), address.s_addr))
        return false;
    m_fd = MakeStreamSocket();
    if (m_fd < 0)
        return false;
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_addr = address;
    peer.sin_port = htons(static_cast<uint16_t>(port));
    int result = connect(m_fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer);
    if (result != 0) {
        bool connected = false;
        if (errno == EINPROGRESS && WaitFor(POLLOUT)) {
            int error = 0;
            socklen_t length = sizeof error;
            connected = getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
        }
        if (!connected) {
            close(m_fd);
            m_fd = -1;
            return false;
        }
    }
    // Peer messages are small headers and replies: send them at once.
    int one = 1;
    setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return true;
}

bool TimedSocket::Listen(const std::string& address, int port, int backlog) {
    BusyGuard busy(m_busy);
    if (!busy.Taken() || port < 0 || port > 65535)
        return false;
    Close();
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<uint16_t>(port));
    if (address.empty())
        local.sin_addr.s_addr = htonl(INADDR_ANY);
    else if (inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1)
        return false;
    m_fd = MakeStreamSocket();
    if (m_fd < 0)
        return false;
    int one = 1;
    setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(m_fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        listen(m_fd, backlog) != 0) {
        close(m_fd);
        m_fd = -1;
        return false;
    }
    return true;
}

bool TimedSocket::Accept(TimedSocket& incoming) {
    BusyGuard busy(m_busy);
    if (!busy.Taken() || m_fd < 0)
        return false;
    while (WaitFor(POLLIN)) {
        int fd = accept4(m_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            incoming.Close();
            incoming.m_fd = fd;
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            return true;
        }
        // The connection may have gone again between poll and accept.
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ECONNABORTED && errno != EINTR)
            return false;
    }
    return false;
}

std::size_t TimedSocket::Send(const void* data, std::size_t n) {
    BusyGuard busy(m_busy);
    if (!busy.Taken() || m_fd < 0)
        return 0;
    const char* bytes = static_cast<const char*>(data);
    std::size_t sent = 0;
    while (sent < n) {
        ssize_t result = send(m_fd, bytes + sent, n - sent, MSG_NOSIGNAL);
        if (result > 0) {
            sent += static_cast<std::size_t>(result);
            continue;
        }
        if (result < 0 && errno == EINTR)
            continue;
        if (result < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && WaitFor(POLLOUT))
            continue;
        break;
    }
    return sent;
}

long TimedSocket::Receive(void* buffer, std::size_t n) {
    BusyGuard busy(m_busy);
    if (!busy.Taken() || m_fd < 0)
        return -1;
    if (n == 0)
        return 0;
    for (;;) {
        ssize_t result = recv(m_fd, buffer, n, 0);
        if (result >= 0)
            return static_cast<long>(result);
        if (errno == EINTR)
            continue;
        if ((errno == EAGAIN || errno == EWOULDBLOCK) && WaitFor(POLLIN))
            continue;
        return -1;
    }
}

std::size_t TimedSocket::ReceiveAll(void* buffer, std::size_t n) {
    char* bytes = static_cast<char*>(buffer);
    std::size_t received = 0;
    bool retried = false;
    while (received < n) {
        SetLimit(kReceiveLimitMs);
        long result = Receive(bytes + received, n - received);
        if (result > 0) {
            received += static_cast<std::size_t>(result);
            continue;
        }
        // One more chance after a time-out; a close or a failure ends the block.
        if (result < 0 && LimitPassed() && !retried) {
            retried = true;
            continue;
        }
        break;
    }
    return received;
}

std::string TimedSocket::PeerAddress() const {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    if (m_fd < 0 || getpeername(m_fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0)
        return "0.0.0.0";
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    return text;
}

int TimedSocket::LocalPort() const {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (m_fd < 0 || getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &length) != 0)
        return 0;
    return ntohs(local.sin_port);
}

void TimedSocket::Close() {
    if (m_fd >= 0) {
        close(m_fd);
        m_fd = -1;
    }
}
