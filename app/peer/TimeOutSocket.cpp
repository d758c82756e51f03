#include "app/peer/TimeOutSocket.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// How often a waiting call looks at the run flag.
constexpr std::chrono::milliseconds kFlagSlice{100};

// A dotted address at once; a name on a thread of its own, so that a hanging
// resolver cannot stretch the connect past its limit. The thread may outlive
// the call and only touches the state they share.
bool ResolveIPv4(const std::string& host, Clock::time_point deadline, in_addr& address) {
    if (inet_pton(AF_INET, host.c_str(), &address) == 1)
        return true;
    if (host.empty())
        return false;
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
            bool found = getaddrinfo(host.c_str(), nullptr, &hints, &list) == 0 && list;
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

} // namespace

TimeOutSocket::~TimeOutSocket() {
    Close();
}

void TimeOutSocket::Close() {
    if (m_fd >= 0)
        close(m_fd);
    m_fd = -1;
}

void TimeOutSocket::Adopt(int fd) {
    Close();
    m_fd = fd;
}

bool TimeOutSocket::SetTimeOut(std::chrono::milliseconds limit) {
    m_armed = true;
    m_deadline = Clock::now() + std::max(limit, std::chrono::milliseconds(0));
    return true;
}

void TimeOutSocket::KillTimeOut() {
    m_armed = false;
}

Clock::time_point TimeOutSocket::CallDeadline() const {
    return m_armed ? m_deadline : Clock::now() + kPeerCallLimit;
}

bool TimeOutSocket::WaitFor(short events, Clock::time_point deadline) {
    while (true) {
        if (m_running && !m_running->load()) {
            m_lastError = ECANCELED;
            return false;
        }
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            m_lastError = ETIMEDOUT;
            return false;
        }
        if (m_running)
            left = std::min(left, kFlagSlice);
        pollfd waiting{m_fd, events, 0};
        int ready = poll(&waiting, 1, static_cast<int>(left.count()));
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR) {
            m_lastError = errno;
            return false;
        }
    }
}

bool TimeOutSocket::Connect(const std::string& host, int port) {
    return Connect(host, port, {});
}

bool TimeOutSocket::Connect(const std::string& host, int port, const std::string& localAddress) {
    KillTimeOut();
    SetTimeOut(kPeerCallLimit);
    Close();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (port <= 0 || port > 65535 || !ResolveIPv4(host, CallDeadline(), address.sin_addr)) {
        m_lastError = EHOSTUNREACH;
        return false;
    }
    m_fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_fd < 0) {
        m_lastError = errno;
        return false;
    }
    if (!localAddress.empty()) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        if (inet_pton(AF_INET, localAddress.c_str(), &local.sin_addr) != 1) {
            m_lastError = EINVAL;
            Close();
            return false;
        }
        if (bind(m_fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            m_lastError = errno;
            Close();
            return false;
        }
    }
    if (connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        return true;
    if (errno != EINPROGRESS) {
        m_lastError = errno;
        Close();
        return false;
    }
    if (!WaitFor(POLLOUT, CallDeadline())) {
        Close();
        return false;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        error = errno;
    if (error != 0) {
        m_lastError = error;
        Close();
        return false;
    }
    // Requests are a few small fields written one after another; waiting to
    // merge them only delays the answer.
    int on = 1;
    setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return true;
}

bool TimeOutSocket::Listen(const std::string& address, int port, int backlog) {
    Close();
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<std::uint16_t>(port));
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (port < 0 || port > 65535 ||
        (!address.empty() && inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1)) {
        m_lastError = EINVAL;
        return false;
    }
    m_fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_fd < 0) {
        m_lastError = errno;
        return false;
    }
    // A restarted server must not wait out the TIME_WAIT of its last
    // connections; a port another listener holds is still refused.
    int on = 1;
    setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(m_fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        listen(m_fd, backlog) != 0) {
        m_lastError = errno;
        Close();
        return false;
    }
    return true;
}

bool TimeOutSocket::Accept(TimeOutSocket& connection) {
    if (m_fd < 0) {
        m_lastError = EBADF;
        return false;
    }
    auto deadline = CallDeadline();
    while (true) {
        int fd = accept4(m_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            int on = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            connection.Adopt(fd);
            return true;
        }
        // A connection that was reset before it was taken is not a failure of
        // the listener; wait for the next one.
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
            m_lastError = errno;
            return false;
        }
        if (!WaitFor(POLLIN, deadline))
            return false;
    }
}

std::size_t TimeOutSocket::Send(const void* data, std::size_t count) {
    if (m_fd < 0) {
        m_lastError = EBADF;
        return 0;
    }
    auto deadline = CallDeadline();
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::size_t done = 0;
    while (done < count) {
        if (m_running && !m_running->load()) {
            m_lastError = ECANCELED;
            break;
        }
        ssize_t sent = send(m_fd, bytes + done, count - done, MSG_NOSIGNAL);
        if (sent > 0) {
            done += static_cast<std::size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!WaitFor(POLLOUT, deadline))
                break;
            continue;
        }
        m_lastError = sent < 0 ? errno : EPIPE;
        break;
    }
    return done;
}

long TimeOutSocket::Receive(void* buffer, std::size_t count) {
    if (m_fd < 0) {
        m_lastError = EBADF;
        return -1;
    }
    auto deadline = CallDeadline();
    while (true) {
        if (m_running && !m_running->load()) {
            m_lastError = ECANCELED;
            return -1;
        }
        ssize_t got = recv(m_fd, buffer, count, 0);
        if (got >= 0)
            return static_cast<long>(got);
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            m_lastError = errno;
            return -1;
        }
        if (!WaitFor(POLLIN, deadline))
            return -1;
    }
}

std::size_t TimeOutSocket::ReceiveAll(void* buffer, std::size_t count) {
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    std::size_t done = 0;
    while (done < count) {
        SetTimeOut(kPeerCallLimit);
        long got = Receive(bytes + done, count - done);
        if (got <= 0)
            break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

// Receives under the limit already armed, until count bytes arrived or a receive
// fails or meets the end of the stream.
std::size_t TimeOutSocket::ReceiveExact(void* buffer, std::size_t count) {
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    std::size_t done = 0;
    while (done < count) {
        long got = Receive(bytes + done, count - done);
        if (got <= 0) {
            if (got == 0)
                m_lastError = ECONNRESET;
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    return done;
}

bool TimeOutSocket::SendInt32(std::int32_t value, std::chrono::milliseconds limit) {
    SetTimeOut(limit);
    auto bytes = EncodeInt32(value);
    return Send(bytes.data(), bytes.size()) == bytes.size();
}

bool TimeOutSocket::ReceiveInt32(std::int32_t& value, std::chrono::milliseconds limit) {
    SetTimeOut(limit);
    std::uint8_t bytes[kInt32Size];
    if (ReceiveExact(bytes, sizeof bytes) != sizeof bytes)
        return false;
    return DecodeInt32(bytes, value);
}

bool TimeOutSocket::SendText(std::string_view text, std::size_t width,
                             std::chrono::milliseconds limit) {
    return SendBlock(EncodeTextField(text, width), limit);
}

bool TimeOutSocket::ReceiveText(std::string& text, std::size_t width,
                                std::chrono::milliseconds limit) {
    std::vector<std::uint8_t> field;
    return ReceiveBlock(field, width, limit) && DecodeTextField(field, width, text);
}

bool TimeOutSocket::SendBlock(const std::vector<std::uint8_t>& bytes,
                              std::chrono::milliseconds limit) {
    SetTimeOut(limit);
    return Send(bytes.data(), bytes.size()) == bytes.size();
}

bool TimeOutSocket::ReceiveBlock(std::vector<std::uint8_t>& bytes, std::size_t count,
                                 std::chrono::milliseconds limit) {
    SetTimeOut(limit);
    bytes.assign(count, 0);
    return ReceiveExact(bytes.data(), count) == count;
}

std::string TimeOutSocket::PeerAddress() const {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (m_fd < 0 || getpeername(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        address.sin_family != AF_INET)
        return "0.0.0.0";
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return text;
}

int TimeOutSocket::LocalPort() const {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (m_fd < 0 || getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
}
