#include "DirectoryProbe.h"

#include "platform/Environment.h"

#include <arpa/inet.h>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr const char* kDefaultDirectory = "127.0.0.1:8080";
constexpr int kHttpPort = 80;

std::string Trimmed(const std::string& text) {
    const char* blanks = " \t\r\n";
    std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

bool Resolve(const std::string& host, in_addr& address) {
    if (inet_pton(AF_INET, host.c_str(), &address) == 1)
        return true;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found)
        return false;
    address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return true;
}

// Closes the descriptor whatever way the probe ends.
class Descriptor {
public:
    explicit Descriptor(int fd)
        : m_fd(fd) {}
    ~Descriptor() {
        if (m_fd >= 0)
            close(m_fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int Get() const { return m_fd; }

private:
    int m_fd;
};

} // namespace

std::string DirectoryProbe::Host() {
    return platform::DirectoryHost();
}

bool DirectoryProbe::Reachable(const std::string& hostAndPort, int limitMs) {
    std::string host = Trimmed(hostAndPort);
    int port = kHttpPort;
    std::size_t colon = host.rfind(':');
    if (colon != std::string::npos) {
        const std::string portText = host.substr(colon + 1);
        auto [end, failure] =
            std::from_chars(portText.data(), portText.data() + portText.size(), port);
        if (failure != std::errc() || end != portText.data() + portText.size() || port < 1 ||
            port > 65535)
            return false;
        host.erase(colon);
    }
    in_addr address{};
    if (host.empty() || !Resolve(host, address))
        return false;

    Descriptor socket(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (socket.Get() < 0)
        return false;
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(static_cast<std::uint16_t>(port));
    target.sin_addr = address;
    if (connect(socket.Get(), reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0)
        return true;
    if (errno != EINPROGRESS)
        return false;
    pollfd waiting{socket.Get(), POLLOUT, 0};
    int ready;
    do {
        ready = poll(&waiting, 1, limitMs);
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0)
        return false;
    int error = 0;
    socklen_t length = sizeof error;
    return getsockopt(socket.Get(), SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
}
