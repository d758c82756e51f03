#pragma once

// One peer message sent from a chosen local address, as a caller there would
// send it, for tests of what a listener believes of where a call comes from.

#include "service/PresenceMessage.h"

#include <arpa/inet.h>
#include <cstdint>
#include <netinet/in.h>
#include <poll.h>
#include <span>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

// Header, acknowledgement, payload to the peer port of to. True once the
// listener took it all and closed the connection (whatever it answered);
// false when any step failed or took over 10 s.
inline bool SendPeerMessageFrom(const std::string& from, const std::string& to,
                                const presence::Header& header,
                                std::span<const std::uint8_t> payload = {}) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, from.c_str(), &local.sin_addr);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<std::uint16_t>(presence::kPeerPort));
    ::inet_pton(AF_INET, to.c_str(), &peer.sin_addr);
    const auto bytes = header.Encode();
    std::uint8_t reply[presence::kHeaderSize];
    pollfd ready{fd, POLLIN, 0};
    constexpr int kLimitMs = 10000;
    // An answer word may come before the close.
    auto closedByListener = [&] {
        for (int words = 0; words < 2; ++words) {
            if (::poll(&ready, 1, kLimitMs) != 1)
                return false;
            const ssize_t got = ::recv(fd, reply, sizeof reply, 0);
            if (got <= 0)
                return got == 0;
        }
        return false;
    };
    const bool sent =
        fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
        ::connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) == 0 &&
        ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size()) &&
        ::poll(&ready, 1, kLimitMs) == 1 &&
        ::recv(fd, reply, presence::kHeaderSize, MSG_WAITALL) == ssize_t(presence::kHeaderSize) &&
        ::send(fd, payload.data(), payload.size(), MSG_NOSIGNAL) == ssize_t(payload.size()) &&
        closedByListener();
    if (fd >= 0)
        ::close(fd);
    return sent;
}

} // namespace testsupport
