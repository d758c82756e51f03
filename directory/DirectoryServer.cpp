#include "directory/DirectoryServer.h"

#include "directory/RequestLog.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace halvdir {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kListenTag = ~std::uint64_t{0};
constexpr std::uint64_t kWakeTag = ~std::uint64_t{0} - 1;

std::string AddressText(const sockaddr_storage& peer) {
    char text[INET6_ADDRSTRLEN] = {};
    if (peer.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(peer);
        inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
    } else if (peer.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(peer);
        inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
    }
    std::string address = text;
    // An IPv4 client of a dual-stack socket is logged and counted as itself.
    if (address.starts_with("::ffff:") && address.find('.') != std::string::npos)
        address.erase(0, 7);
    return address;
}

// Sends what the socket takes now; false when the connection broke.
bool SendSome(int fd, std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        return false;
    }
    data.erase(0, sent);
    return true;
}

} // namespace

DirectoryServer::DirectoryServer(DirectoryService& service, int threads,
                                 const std::vector<std::string>& trustedProxies)
    : m_service(service)
    , m_trustedProxies(trustedProxies)
    , m_threads(threads > 0 ? threads : 1)
    , m_cores(static_cast<int>(std::max(1u, std::thread::hardware_concurrency()))) {
    m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
    m_wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

DirectoryServer::~DirectoryServer() {
    for (auto& [fd, connection] : m_connections)
        ::close(fd);
    for (int fd : {m_listen, m_epoll, m_wake})
        if (fd >= 0)
            ::close(fd);
}

bool DirectoryServer::Bind(const std::string& host, int port) {
    if (m_epoll < 0 || m_wake < 0 || m_listen >= 0)
        return false;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0)
        return false;
    for (addrinfo* at = found; at && m_listen < 0; at = at->ai_next) {
        int fd = ::socket(at->ai_family, at->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                          at->ai_protocol);
        if (fd < 0)
            continue;
        int yes = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        // A burst of clients must not find the backlog full.
        if (::bind(fd, at->ai_addr, at->ai_addrlen) == 0 && ::listen(fd, 1024) == 0)
            m_listen = fd;
        else
            ::close(fd);
    }
    ::freeaddrinfo(found);
    return m_listen >= 0;
}

bool DirectoryServer::Run() {
    if (m_listen < 0)
        return false;
    epoll_event listenEvent{};
    listenEvent.events = EPOLLIN;
    listenEvent.data.u64 = kListenTag;
    epoll_event wakeEvent{};
    wakeEvent.events = EPOLLIN;
    wakeEvent.data.u64 = kWakeTag;
    if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_listen, &listenEvent) != 0 ||
        ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wake, &wakeEvent) != 0)
        return false;

    std::vector<std::thread> workers;
    for (int i = 0; i < m_threads; ++i)
        workers.emplace_back([this] { WorkLoop(); });
    m_running = true;
    PollLoop();
    // No new connections; the requests workers hold or have queued finish.
    ::close(m_listen);
    m_listen = -1;
    std::vector<Sleeper*> sleeping;
    {
        std::lock_guard lock(m_workLock);
        m_workersStop = true;
        sleeping.swap(m_sleeping);
    }
    for (Sleeper* sleeper : sleeping)
        sleeper->wake.release();
    for (auto& worker : workers)
        worker.join();
    m_running = false;
    return true;
}

void DirectoryServer::Stop() {
    m_stop = true;
    std::uint64_t one = 1;
    [[maybe_unused]] auto written = ::write(m_wake, &one, sizeof one);
}

bool DirectoryServer::IsRunning() const {
    return m_running;
}

void DirectoryServer::PollLoop() {
    epoll_event events[256];
    while (!m_stop) {
        int count = ::epoll_wait(m_epoll, events, 256, NextTimeoutMs());
        if (count < 0 && errno != EINTR)
            break;
        for (int i = 0; i < count; ++i) {
            std::uint64_t tag = events[i].data.u64;
            if (tag == kListenTag) {
                AcceptAll();
            } else if (tag == kWakeTag) {
                std::uint64_t value = 0;
                [[maybe_unused]] auto got = ::read(m_wake, &value, sizeof value);
                TakeBack();
            } else {
                auto found = m_connections.find(static_cast<int>(tag));
                if (found == m_connections.end() || found->second->busy)
                    continue;
                if (found->second->outgoing.empty())
                    ReadFrom(*found->second);
                else
                    Flush(*found->second);
            }
        }
        ExpireDeadlines();
        WakeForStaleWork();
        if (m_acceptPaused && Clock::now() >= m_acceptPausedUntil) {
            epoll_event listenEvent{};
            listenEvent.events = EPOLLIN;
            listenEvent.data.u64 = kListenTag;
            m_acceptPaused = ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_listen, &listenEvent) != 0;
        }
    }
}

int DirectoryServer::NextTimeoutMs() const {
    {
        // Queued work is looked at again soon in case its worker is held up.
        std::lock_guard lock(m_workLock);
        if (!m_work.empty())
            return static_cast<int>(kStaleWork.count());
    }
    if (m_acceptPaused)
        return 100;
    if (m_deadlines.empty())
        return 1000;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_deadlines.front().at -
                                                                      Clock::now());
    return static_cast<int>(std::clamp<std::int64_t>(left.count() + 1, 0, 1000));
}

void DirectoryServer::AcceptAll() {
    while (true) {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        int fd = ::accept4(m_listen, reinterpret_cast<sockaddr*>(&peer), &length,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors: stop accepting for a moment instead of
                // spinning on a listener that stays readable.
                ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, m_listen, nullptr);
                m_acceptPaused = true;
                m_acceptPausedUntil = Clock::now() + std::chrono::milliseconds(100);
            }
            return;
        }
        std::string address = AddressText(peer);
        int& fromAddress = m_perAddress[address];
        if (fromAddress >= kMaxConnectionsPerAddress ||
            m_connections.size() >= static_cast<size_t>(kMaxConnections)) {
            if (fromAddress == 0)
                m_perAddress.erase(address);
            ::close(fd);
            continue;
        }
        ++fromAddress;
        int yes = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        auto connection = std::make_unique<Connection>();
        connection->fd = fd;
        connection->address = std::move(address);
        Connection& added = *connection;
        m_connections.emplace(fd, std::move(connection));
        SetDeadline(added);
        Arm(added, true);
    }
}

void DirectoryServer::Arm(Connection& connection, bool fresh) {
    epoll_event event{};
    // While an answer waits to be written the connection is not read, so a
    // client that does not read cannot make it pile up more.
    event.events = (connection.outgoing.empty() ? EPOLLIN : EPOLLOUT) | EPOLLONESHOT;
    event.data.u64 = static_cast<std::uint64_t>(connection.fd);
    if (::epoll_ctl(m_epoll, fresh ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, connection.fd, &event) != 0) {
        Close(connection);
        return;
    }
}

void DirectoryServer::ReadFrom(Connection& connection) {
    // Reads at most one request's worth ahead; a pipelining client waits.
    constexpr size_t kMaxBuffered = kMaxRequestHead + kMaxRequestBody;
    char buffer[16384];
    while (connection.received.size() < kMaxBuffered) {
        ssize_t n = ::recv(connection.fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            connection.received.append(buffer, static_cast<size_t>(n));
            if (static_cast<size_t>(n) < sizeof buffer)
                break;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        Close(connection);
        return;
    }
    Dispatch(connection);
}

void DirectoryServer::Dispatch(Connection& connection) {
    auto headEnd = FindHeadEnd(connection.received);
    if (!headEnd) {
        if (connection.received.size() > kMaxRequestHead)
            Refuse(connection, 400);
        else
            Arm(connection, false);
        return;
    }
    int errorStatus = 400;
    auto request =
        ParseRequestHead(std::string_view(connection.received).substr(0, *headEnd), errorStatus);
    if (!request) {
        Refuse(connection, errorStatus);
        return;
    }
    size_t end = *headEnd + request->contentLength;
    if (connection.received.size() < end) {
        Arm(connection, false);
        return;
    }
    connection.request = std::move(*request);
    connection.requestEnd = end;
    connection.busy = true;
    connection.generation = ++m_generations;
    Sleeper* sleeper = nullptr;
    {
        std::lock_guard lock(m_workLock);
        m_work.push_back({&connection, Clock::now()});
        const int awake = m_threads - static_cast<int>(m_sleeping.size());
        if (awake < std::min(static_cast<int>(m_work.size()), m_cores))
            sleeper = PopSleeper();
    }
    if (sleeper)
        sleeper->wake.release();
}

DirectoryServer::Sleeper* DirectoryServer::PopSleeper() {
    if (m_sleeping.empty())
        return nullptr;
    Sleeper* top = m_sleeping.back();
    m_sleeping.pop_back();
    return top;
}

void DirectoryServer::WakeForStaleWork() {
    const auto now = Clock::now();
    if (now - m_lastStaleWake < kStaleWork)
        return;
    Sleeper* sleeper = nullptr;
    {
        std::lock_guard lock(m_workLock);
        if (!m_work.empty() && now - m_work.front().queued >= kStaleWork)
            sleeper = PopSleeper();
    }
    if (sleeper) {
        m_lastStaleWake = now;
        sleeper->wake.release();
    }
}

void DirectoryServer::Refuse(Connection& connection, int status) {
    std::string response = FormatResponse(status, "", false, true, false);
    // Best effort: the socket buffer of a fresh connection takes it whole.
    [[maybe_unused]] auto sent =
        ::send(connection.fd, response.data(), response.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    LogRequest(connection.address, "", "", "", status, 0);
    Close(connection);
}

void DirectoryServer::Close(Connection& connection) {
    int fd = connection.fd;
    auto count = m_perAddress.find(connection.address);
    if (count != m_perAddress.end() && --count->second <= 0)
        m_perAddress.erase(count);
    ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
    ::close(fd);
    m_connections.erase(fd);
}

void DirectoryServer::ExpireDeadlines() {
    auto now = Clock::now();
    while (!m_deadlines.empty() && m_deadlines.front().at <= now) {
        Deadline due = m_deadlines.front();
        m_deadlines.pop_front();
        auto found = m_connections.find(due.fd);
        if (found == m_connections.end() || found->second->busy ||
            found->second->generation != due.generation)
            continue;
        // An idle kept-alive connection, or one that does not take its
        // answer, just ends; one with half a request is told why.
        if (found->second->received.empty() || !found->second->outgoing.empty())
            Close(*found->second);
        else
            Refuse(*found->second, 408);
    }
}

void DirectoryServer::TakeBack() {
    std::vector<Connection*> returned;
    {
        std::lock_guard lock(m_returnLock);
        returned.swap(m_returned);
    }
    for (Connection* connection : returned) {
        connection->busy = false;
        if (m_stop) {
            Close(*connection);
            continue;
        }
        if (!connection->outgoing.empty()) {
            // The rest of the answer has until the deadline to be taken.
            SetDeadline(*connection);
            Arm(*connection, false);
            continue;
        }
        Answered(*connection);
    }
}

void DirectoryServer::Flush(Connection& connection) {
    if (!SendSome(connection.fd, connection.outgoing)) {
        Close(connection);
        return;
    }
    if (!connection.outgoing.empty()) {
        Arm(connection, false);
        return;
    }
    Answered(connection);
}

void DirectoryServer::Answered(Connection& connection) {
    if (connection.closeAfter) {
        Close(connection);
        return;
    }
    SetDeadline(connection);
    // The next request may be here already.
    Dispatch(connection);
}

void DirectoryServer::SetDeadline(Connection& connection) {
    connection.generation = ++m_generations;
    m_deadlines.push_back({Clock::now() + kRequestDeadline, connection.fd, connection.generation});
}

void DirectoryServer::WorkLoop() {
    Sleeper self;
    while (true) {
        Connection* connection = nullptr;
        {
            std::unique_lock lock(m_workLock);
            while (m_work.empty()) {
                if (m_workersStop)
                    return;
                // Whoever wakes this worker has taken it off the stack.
                m_sleeping.push_back(&self);
                lock.unlock();
                self.wake.acquire();
                lock.lock();
            }
            connection = m_work.front().connection;
            m_work.pop_front();
        }
        Serve(*connection);
        // The poller is woken once for all the connections handed back
        // before it takes them.
        bool first = false;
        {
            std::lock_guard lock(m_returnLock);
            first = m_returned.empty();
            m_returned.push_back(connection);
        }
        if (first) {
            std::uint64_t one = 1;
            [[maybe_unused]] auto written = ::write(m_wake, &one, sizeof one);
        }
    }
}

void DirectoryServer::Serve(Connection& connection) {
    const RequestHead& request = connection.request;
    const bool head = request.method == "HEAD";
    const std::string client =
        m_trustedProxies.ClientAddress(connection.address, request.forwardedFor);
    Reply reply;
    if (request.method != "GET" && !head)
        reply = Reply{405, "Error: only GET\n"};
    else
        reply = m_service.Handle(request.path, request.query, client);
    ++connection.served;
    const bool closeHeader =
        request.closeRequested || m_stop || connection.served >= kMaxRequestsPerConnection;
    // An HTTP/1.0 client closes unless it asked to keep the connection.
    connection.closeAfter = closeHeader || (request.http10 && !request.keepAliveRequested);
    // What the socket does not take now the poller writes later: a worker
    // never waits for a client.
    connection.outgoing = FormatResponse(reply.status, reply.body, head, closeHeader, true);
    if (!SendSome(connection.fd, connection.outgoing)) {
        connection.outgoing.clear();
        connection.closeAfter = true;
    }
    LogRequest(client, request.method, request.path, request.query, reply.status,
               reply.body.size());
    connection.received.erase(0, connection.requestEnd);
}

} // namespace halvdir
