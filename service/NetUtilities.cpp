#include "NetUtilities.h"

#include "TimedSocket.h"
#include "bridge/CStdExcept.h"
#include "platform/Environment.h"
#include "platform/IPv4Text.h"
#include "platform/SocketConnect.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ifaddrs.h>
#include <memory>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kHttpPort = 80;
constexpr int kReachableLimitMs = 15000;
// The current-IP probe counts as hung after 5 seconds; stay well inside that.
constexpr int kRouteLookupLimitMs = 2000;
// Well-known, highly available web servers answering on port 80.
constexpr const char* kWellKnownSites[] = {"www.wikipedia.org", "www.debian.org", "www.kernel.org"};

std::string Trim(const std::string& text) {
    std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    std::size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}


// One "%i" of the address text: optional sign, decimal, octal or hex. Returns
// false when no number starts at text.
bool ReadNumber(const char*& text, long long& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtoll(text, &end, 0);
    if (end == text)
        return false;
    text = end;
    return true;
}

std::string InterfaceText(const in_addr& address) {
    return platform::DottedQuadOfNetworkOrder(address.s_addr);
}

// The address of the interface that routes towards the directory host: a UDP
// connect picks the route without sending anything.
std::string RoutingAddress(const std::string& directoryHost) {
    HostAndPort target = SplitHostPort(directoryHost, kHttpPort);
    in_addr address{};
    if (!ResolveIPv4Within(target.host, kRouteLookupLimitMs, address.s_addr))
        return {};
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return {};
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_addr = address;
    peer.sin_port = htons(static_cast<uint16_t>(target.port));
    std::string result;
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0 &&
        local.sin_addr.s_addr != htonl(INADDR_ANY))
        result = InterfaceText(local.sin_addr);
    close(fd);
    return result;
}

std::string FirstInterfaceAddress() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return {};
    std::string result;
    for (ifaddrs* entry = list; entry && result.empty(); entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET)
            continue;
        if (!(entry->ifa_flags & IFF_UP) || (entry->ifa_flags & IFF_LOOPBACK))
            continue;
        const in_addr& address = reinterpret_cast<sockaddr_in*>(entry->ifa_addr)->sin_addr;
        if (address.s_addr != htonl(INADDR_ANY))
            result = InterfaceText(address);
    }
    freeifaddrs(list);
    return result;
}

enum class LocalLookup { Found, NotDottedQuad, NoAddress, Unspecified };

LocalLookup LookUpLocalAddress(const std::string& directoryHost, std::string& address) {
    std::string configured = platform::ConfiguredAddress();
    if (!configured.empty()) {
        if (!IsDottedQuad(configured))
            return LocalLookup::NotDottedQuad;
        address = FormatAddress(ParseAddress(configured));
        return address == "0.0.0.0" ? LocalLookup::Unspecified : LocalLookup::Found;
    }
    address = RoutingAddress(directoryHost);
    if (address.empty())
        address = FirstInterfaceAddress();
    return address.empty() ? LocalLookup::NoAddress : LocalLookup::Found;
}

} // namespace

bool ResolveIPv4Within(const std::string& host, int ms, std::uint32_t& address) {
    in_addr found{};
    const auto deadline = platform::SocketClock::now() + std::chrono::milliseconds(ms > 0 ? ms : 0);
    if (!platform::ResolveIPv4(host, deadline, found))
        return false;
    address = found.s_addr;
    return true;
}

HostAndPort SplitHostPort(const std::string& text, int defaultPort) {
    HostAndPort result{Trim(text), defaultPort};
    std::size_t colon = result.host.rfind(':');
    if (colon == std::string::npos)
        return result;
    std::string portText = result.host.substr(colon + 1);
    result.host.erase(colon);
    char* end = nullptr;
    long port = std::strtol(portText.c_str(), &end, 10);
    if (!portText.empty() && end && *end == '\0' && port > 0 && port <= 65535)
        result.port = static_cast<int>(port);
    return result;
}

std::string DirectoryHost() {
    return platform::DirectoryHost();
}

bool IsHostReachableWithin(const std::string& host, int ms) {
    try {
        HostAndPort target = SplitHostPort(host, kHttpPort);
        TimedSocket socket;
        bool connected = socket.ConnectWithin(target.host, target.port, ms);
        socket.Close();
        return connected;
    } catch (...) {
        return false;
    }
}

bool IsHostReachable(const std::string& host) {
    return IsHostReachableWithin(host, kReachableLimitMs);
}

std::vector<std::string> ProbeHosts() {
    std::vector<std::string> hosts;
    std::string configured = platform::EnvironmentText("HALVARA_PROBE_HOSTS");
    if (!configured.empty()) {
        std::size_t start = 0;
        while (start <= configured.size()) {
            std::size_t comma = configured.find(',', start);
            if (comma == std::string::npos)
                comma = configured.size();
            std::string host = Trim(configured.substr(start, comma - start));
            if (!host.empty())
                hosts.push_back(host);
            start = comma + 1;
        }
        if (!hosts.empty())
            return hosts;
    }
    hosts.push_back(DirectoryHost());
    for (const char* site : kWellKnownSites)
        hosts.emplace_back(site);
    return hosts;
}

ConnectivityCache::ConnectivityCache(std::vector<std::string> hosts, HostTest test, Clock clock)
    : m_hosts(std::move(hosts))
    , m_test(std::move(test))
    , m_clock(std::move(clock)) {}

bool ConnectivityCache::IsInternetReachable() {
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_probed && m_clock() - m_probeTime < kKeep)
            return m_result;
        ++m_probeCount;
    }
    bool reachable = false;
    for (const std::string& host : m_hosts) {
        bool answered = false;
        try {
            answered = m_test(host);
        } catch (...) {
            answered = false;
        }
        if (answered) {
            reachable = true;
            break;
        }
    }
    std::lock_guard<std::mutex> hold(m_lock);
    m_probed = true;
    m_result = reachable;
    m_probeTime = m_clock();
    return reachable;
}

void ConnectivityCache::NoteAnswered(const std::string& host) {
    if (std::find(m_hosts.begin(), m_hosts.end(), host) == m_hosts.end())
        return;
    std::lock_guard<std::mutex> hold(m_lock);
    m_probed = true;
    m_result = true;
    m_probeTime = m_clock();
}

int ConnectivityCache::ProbeCount() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_probeCount;
}

namespace {

// The process-wide record over the hosts configured now: a record made for
// other hosts (the directory moved) tells nothing about these.
std::shared_ptr<ConnectivityCache> ProcessCache() {
    static std::mutex lock;
    static std::shared_ptr<ConnectivityCache> cache;
    std::vector<std::string> hosts = ProbeHosts();
    std::lock_guard<std::mutex> hold(lock);
    if (!cache || cache->Hosts() != hosts)
        cache = std::make_shared<ConnectivityCache>(std::move(hosts));
    return cache;
}

} // namespace

bool IsInternetReachable() {
    try {
        return ProcessCache()->IsInternetReachable();
    } catch (...) {
        return false;
    }
}

void NoteHostAnswered(const std::string& host) {
    try {
        ProcessCache()->NoteAnswered(host);
    } catch (...) {
    }
}

std::string FindLocalAddress(const std::string& directoryHost) {
    try {
        std::string address;
        if (LookUpLocalAddress(directoryHost, address) == LocalLookup::Found)
            return address;
    } catch (...) {
    }
    return "0.0.0.0";
}

std::string LocalAddressText(const AddressSource& currentAddress,
                             const std::string& directoryHost) {
    if (!currentAddress || currentAddress() == "0.0.0.0")
        throw CStdExcept("DiversInet", 25);
    std::string address;
    switch (LookUpLocalAddress(directoryHost, address)) {
    case LocalLookup::Found:
        return address;
    case LocalLookup::NotDottedQuad:
        throw CStdExcept("DiversInet", 33);
    case LocalLookup::NoAddress:
        throw CStdExcept("DiversInet", 36);
    case LocalLookup::Unspecified:
        break;
    }
    throw CStdExcept("DiversInet", 43);
}

std::array<std::uint8_t, 4> ParseAddress(const char* text) {
    if (!text)
        throw CStdExcept("DiversMem", 20);
    std::array<std::uint8_t, 4> bytes{};
    const char* cursor = text;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0) {
            if (*cursor != '.')
                throw CStdExcept("DiversMem", 26);
            ++cursor;
        }
        long long value = 0;
        if (!ReadNumber(cursor, value))
            throw CStdExcept("DiversMem", 26);
        bytes[i] = static_cast<std::uint8_t>(static_cast<unsigned long long>(value) & 0xFFu);
    }
    return bytes;
}

std::array<std::uint8_t, 4> ParseAddress(const std::string& text) {
    return ParseAddress(text.c_str());
}

std::string FormatAddress(const std::array<std::uint8_t, 4>& bytes) {
    return platform::DottedQuad(bytes);
}

std::string EncodeSpaces(const std::string& text) {
    std::string encoded;
    encoded.reserve(text.size());
    for (char c : text) {
        if (c == ' ')
            encoded += "%20";
        else
            encoded += c;
    }
    return encoded;
}

std::string EncodeQueryText(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string encoded;
    encoded.reserve(text.size() * 3);
    for (char c : text) {
        unsigned char byte = static_cast<unsigned char>(c);
        bool unreserved = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                          (byte >= '0' && byte <= '9') || c == '-' || c == '.' || c == '_' ||
                          c == '~';
        if (unreserved) {
            encoded += c;
        } else {
            encoded += '%';
            encoded += kHex[byte >> 4];
            encoded += kHex[byte & 0x0F];
        }
    }
    return encoded;
}

std::string LowerCase(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}
