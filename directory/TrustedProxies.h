#pragma once

#include <atomic>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace halvdir {

// The balancers in front of the directory. A request that comes through one
// of them is counted, throttled and logged as the client the balancer names
// in the last "X-Forwarded-For" entry (the one it appended itself; earlier
// entries are whatever the client claimed). A request from any other peer is
// its peer, whatever its headers say. Fixed at start, so read without a lock.
class TrustedProxies {
public:
    TrustedProxies() = default;
    explicit TrustedProxies(const std::vector<std::string>& addresses);

    // A dotted IPv4 address, four decimal parts without leading zeros.
    static bool IsDottedIpv4(std::string_view text);

    // The address a request from peer counts as. A trusted peer that names
    // no valid client is taken as itself, and said so on standard error once
    // (a misconfigured balancer would otherwise fill the log).
    std::string ClientAddress(const std::string& peer, const std::string& forwardedFor) const;

private:
    std::unordered_set<std::string> m_addresses;
    mutable std::atomic<bool> m_warned{false};
};

} // namespace halvdir
