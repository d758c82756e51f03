#include "directory/TrustedProxies.h"

#include <arpa/inet.h>
#include <cstdio>

namespace halvdir {

TrustedProxies::TrustedProxies(const std::vector<std::string>& addresses)
    : m_addresses(addresses.begin(), addresses.end()) {}

bool TrustedProxies::IsDottedIpv4(std::string_view text) {
    // inet_pton takes only four dotted decimal parts and refuses leading zeros.
    if (text.empty() || text.size() > 15)
        return false;
    std::string copy(text);
    in_addr parsed{};
    return ::inet_pton(AF_INET, copy.c_str(), &parsed) == 1;
}

std::string TrustedProxies::ClientAddress(const std::string& peer,
                                          const std::string& forwardedFor) const {
    if (m_addresses.empty() || !m_addresses.contains(peer))
        return peer;
    if (IsDottedIpv4(forwardedFor))
        return forwardedFor;
    if (!m_warned.exchange(true))
        std::fprintf(stderr,
                     "halvdir: a request from the trusted proxy %s named no IPv4 client in "
                     "X-Forwarded-For; such requests count as the proxy's own\n",
                     peer.c_str());
    return peer;
}

} // namespace halvdir
