#pragma once

#include <string>

// The first thing a registration does: can this computer open a TCP connection
// to the directory host at all? Without one the directory can neither hand out
// nor confirm an ID, and asking the service would only wait for its time-outs.
//
// The host is HALVARA_DIRECTORY ("host" or "host:port", port 80 when it is left
// out), else the bundled directory on this computer.
class DirectoryProbe {
public:
    static constexpr int kLimitMs = 2000;

    // The configured directory host text.
    static std::string Host();
    // True when host[:port] accepts a connection within limitMs. A name that
    // does not resolve, or a port outside 1..65535, is unreachable.
    static bool Reachable(const std::string& hostAndPort, int limitMs = kLimitMs);
};
