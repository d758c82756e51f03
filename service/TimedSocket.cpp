#include "TimedSocket.h"

#include "platform/SocketConnect.h"
#include "platform/SocketWait.h"

#include <algorithm>
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

} // namespace

TimedSocket::~TimedSocket() {
    Close();
}

TimedSocket::TimedSocket(TimedSocket&& other) noexcept
    : m_fd(other.m_fd)
    , m_start(other.m_start)
    , m_limitMs(other.m_limitMs)
    , m_running(other.m_running)
    , m_cutoff(other.m_cutoff) {
    other.m_fd = -1;
}

TimedSocket& TimedSocket::operator=(TimedSocket&& other) noexcept {
    if (this != &other) {
        Close();
        m_fd = other.m_fd;
        m_start = other.m_start;
        m_limitMs = other.m_limitMs;
        m_running = other.m_running;
        m_cutoff = other.m_cutoff;
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

void TimedSocket::SetBounds(const std::atomic<bool>* running,
                            std::chrono::steady_clock::time_point cutoff) {
    m_running = running;
    m_cutoff = cutoff;
}

int TimedSocket::RemainingMs() const {
    const auto now = std::chrono::steady_clock::now();
    const auto deadline = Deadline();
    if (now >= deadline)
        return 0;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
    return static_cast<int>(std::max<long long>(left, 1));
}

std::chrono::steady_clock::time_point TimedSocket::Deadline() const {
    return std::min(m_start + std::chrono::milliseconds(m_limitMs), m_cutoff);
}

bool TimedSocket::LimitPassed() const {
    return RemainingMs() == 0;
}

bool TimedSocket::Connect(const std::string& host, int port) {
    return ConnectWithin(host, port, kConnectLimitMs);
}

bool TimedSocket::ConnectWithin(const std::string& host, int port, int ms) {
    BusyGuard busy(m_busy);
    if (!busy.Taken() || port <= 0 || port > 65535 || !SetLimit(ms))
        return false;
    Close();
    // The name look-up counts against the same limit as the connect.
    return platform::ConnectWithin(host, port, {}, {Deadline(), m_running}, m_fd) == 0;
}

bool TimedSocket::Listen(const std::string& address, int port, int backlog) {
    BusyGuard busy(m_busy);
    if (!busy.Taken() || port < 0 || port > 65535)
        return false;
    Close();
    return platform::ListenOn(address, port, backlog, m_fd) == 0;
}

bool TimedSocket::Accept(TimedSocket& incoming) {
    BusyGuard busy(m_busy);
    // A limit that has passed takes no connection, not even one already waiting.
    if (!busy.Taken() || m_fd < 0 || LimitPassed())
        return false;
    int fd = -1;
    if (platform::AcceptWithin(m_fd, {Deadline(), m_running}, fd) != 0)
        return false;
    incoming.Close();
    incoming.m_fd = fd;
    return true;
}

std::size_t TimedSocket::Send(const void* data, std::size_t n) {
    BusyGuard busy(m_busy);
    if (!busy.Taken() || m_fd < 0)
        return 0;
    return platform::SendAll(m_fd, data, n, {Deadline(), m_running}).bytes;
}

long TimedSocket::Receive(void* buffer, std::size_t n) {
    BusyGuard busy(m_busy);
    if (!busy.Taken() || m_fd < 0)
        return -1;
    if (n == 0)
        return 0;
    int error = 0;
    return platform::ReceiveSome(m_fd, buffer, n, {Deadline(), m_running}, error);
}

std::size_t TimedSocket::ReceiveAll(void* buffer, std::size_t n) {
    if (n == 0)
        return 0;
    BusyGuard busy(m_busy);
    if (!busy.Taken() || m_fd < 0) {
        // The limit is re-armed before the receive fails, as for any block.
        SetLimit(kReceiveLimitMs);
        return 0;
    }
    // Every receive gets a fresh limit; one time-out is forgiven per block.
    auto nextReceive = [this]() -> platform::SocketCall {
        SetLimit(kReceiveLimitMs);
        return {Deadline(), m_running};
    };
    return platform::ReceiveEachWithin(m_fd, buffer, n, nextReceive, 1).bytes;
}

std::string TimedSocket::PeerAddress() const {
    return platform::PeerAddressOf(m_fd);
}

int TimedSocket::LocalPort() const {
    return platform::LocalPortOf(m_fd);
}

void TimedSocket::Close() {
    if (m_fd >= 0) {
        close(m_fd);
        m_fd = -1;
    }
}
