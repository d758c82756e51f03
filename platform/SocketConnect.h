#pragma once

#include "platform/SocketWait.h"

#include <netinet/in.h>
#include <string>

// Making the connections both timed stream sockets carry: name look-up,
// connect, listen and accept, each bounded like the calls of SocketWait.h and
// each reporting an errno value. Descriptors are IPv4 stream sockets, opened
// non-blocking and close-on-exec; connected ones send small writes at once
// (TCP_NODELAY), as every peer exchange is a short request and a short reply.
namespace platform {

// Turns a dotted quad at once, or a host name on a thread of its own, into an
// IPv4 address; false for an empty host, a name that does not resolve, or a
// look-up still running at the deadline (a hanging resolver cannot stretch a
// connect past its limit).
bool ResolveIPv4(const std::string& host, SocketClock::time_point deadline, in_addr& address);

// Connects to host (dotted quad or name) and port from localAddress ("" = the
// system's choice) within the call's bounds; the look-up counts against the
// same deadline. 0 with the connected descriptor in fd, or the errno value
// with fd at -1: EHOSTUNREACH for a port out of range or a host that did not
// resolve, EINVAL for a local address that is no dotted quad.
int ConnectWithin(const std::string& host, int port, const std::string& localAddress,
                  const SocketCall& call, int& fd);

// Binds to address ("" = every local address) and port and listens with the
// given backlog; a restarted listener does not wait out the TIME_WAIT of its
// last connections. 0 with the descriptor in fd, or the errno value (EINVAL
// for a port out of range or an address that is no dotted quad).
int ListenOn(const std::string& address, int port, int backlog, int& fd);

// Takes one connection waiting on listener, waiting within the call's bounds
// when none is there yet. A connection reset before it was taken is skipped.
// 0 with the new descriptor in fd, or the errno value.
int AcceptWithin(int listener, const SocketCall& call, int& fd);

// Dotted quad of the other end of fd, "0.0.0.0" when it has none.
std::string PeerAddressOf(int fd);
// The local port fd is bound to, 0 when it is not.
int LocalPortOf(int fd);

} // namespace platform
