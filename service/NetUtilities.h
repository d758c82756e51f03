#pragma once

#include "platform/IPv4Text.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

// Small network helpers of the presence service: reachability tests, the local
// address, dotted-quad conversions and the escaping of directory query texts.

// A host with an optional port ("example.org", "127.0.0.1:8080").
struct HostAndPort {
    std::string host;
    int port = 0;
};
// Splits "host[:port]"; a missing or unreadable port gives defaultPort.
HostAndPort SplitHostPort(const std::string& text, int defaultPort);

// Resolves host (a dotted quad or a name) to an IPv4 address in network byte
// order within ms milliseconds. A name look-up runs on a thread of its own, so a
// resolver that hangs costs the caller no more than the limit.
bool ResolveIPv4Within(const std::string& host, int ms, std::uint32_t& address);

// The directory host as "host" or "host:port": HALVARA_DIRECTORY, else the
// bundled directory on this computer.
std::string DirectoryHost();

// True when host ("host" or "host:port", port 80 by default) accepts a TCP
// connection within 15 seconds. Never throws.
bool IsHostReachable(const std::string& host);
bool IsHostReachableWithin(const std::string& host, int ms);

// The hosts the Internet probe tries, in order: HALVARA_PROBE_HOSTS
// (comma-separated), else the directory host followed by three well-known sites.
std::vector<std::string> ProbeHosts();

// Remembers the result of the last Internet probe for 20 seconds, so that the
// engine's frequent online checks cost nothing in between. The record has its
// own lock, which is never held while probing: two threads that find the record
// stale at the same moment may both probe.
class ConnectivityCache {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    using HostTest = std::function<bool(const std::string&)>;
    static constexpr std::chrono::seconds kKeep{20};

    ConnectivityCache(std::vector<std::string> hosts, HostTest test = IsHostReachable,
                      Clock clock = std::chrono::steady_clock::now);
    bool IsInternetReachable();
    // A connection to host has just been made elsewhere: when host is one of
    // the probe's hosts that is a probe that succeeded, and it is kept as one.
    void NoteAnswered(const std::string& host);
    const std::vector<std::string>& Hosts() const { return m_hosts; }
    // How many probes have run (each probe tries the hosts until one answers).
    int ProbeCount() const;

private:
    std::vector<std::string> m_hosts;
    HostTest m_test;
    Clock m_clock;
    mutable std::mutex m_lock;
    bool m_probed = false;
    bool m_result = false;
    std::chrono::steady_clock::time_point m_probeTime{};
    int m_probeCount = 0;
};

// The process-wide probe over ProbeHosts(). Never throws. A change of the
// configured hosts starts a new record.
bool IsInternetReachable();
// Tells the process-wide probe that host just accepted a connection.
void NoteHostAnswered(const std::string& host);

// This computer's address as others reach it, or "0.0.0.0": HALVARA_ADDRESS when
// set; else the address of the interface that routes towards directoryHost
// (nothing is sent); else the first non-loopback interface address.
std::string FindLocalAddress(const std::string& directoryHost);

// The current-IP probe's answer: the local address text, "0.0.0.0" when none.
using AddressSource = std::function<std::string()>;

// The local address as dotted quad. Throws CStdExcept (DiversInet) when the
// current-IP probe reports no address (25), when HALVARA_ADDRESS is not a
// dotted quad (33), when no address is found (36) or when the address found is
// 0.0.0.0 (43).
std::string LocalAddressText(const AddressSource& currentAddress, const std::string& directoryHost);

// "%i.%i.%i.%i" to four bytes, each number kept as its low byte, first number
// first. Throws CStdExcept (DiversMem) for a missing text (20) or fewer than
// four numbers (26).
std::array<std::uint8_t, 4> ParseAddress(const char* text);
std::array<std::uint8_t, 4> ParseAddress(const std::string& text);
// Four bytes to "%i.%i.%i.%i", first byte first.
std::string FormatAddress(const std::array<std::uint8_t, 4>& bytes);
// True when text is four decimal numbers of 0 to 255 separated by dots, and
// nothing else.
using platform::IsDottedQuad;

// Every space written as "%20"; nothing else changes.
std::string EncodeSpaces(const std::string& text);
// Every byte outside A-Z a-z 0-9 - . _ ~ written as "%XX", so that a text
// holding "+", "&", "#" or "%" reaches the directory whole.
std::string EncodeQueryText(const std::string& text);
// Lower-cases ASCII letters (e-mail addresses are kept lower-cased).
std::string LowerCase(std::string text);
