#pragma once

#include "NetUtilities.h"

#include <chrono>
#include <cstddef>
#include <string>

// What one HTTP GET brought back.
struct HttpReply {
    enum class Outcome {
        NoFile,           // no request could be made
        StatusUnreadable, // the exchange ended without a status line
        Failed,           // the connection or the transfer failed
        Done,             // status and body are valid
    };
    Outcome outcome = Outcome::NoFile;
    long status = 0;
    // The body, cut at the size limit and at its first NUL byte.
    std::string body;
};

// The presence service's HTTP client for the directory: the agent name, the time
// limits and the current-IP probe that tells whether this computer has an
// address. Every request uses its own libcurl handle, so one session serves
// several threads at once. The system's proxy settings (the usual proxy
// variables) are honoured, except for a directory on a loopback address, which
// no proxy elsewhere could reach.
class InternetSession {
public:
    static constexpr const char* kAgentName = "Halvara 1.17";
    static constexpr std::chrono::milliseconds kConnectLimit{15000};
    static constexpr std::chrono::milliseconds kTransferLimit{30000};
    // The most a sized body (a system message) may take, whatever it announces.
    static constexpr std::size_t kSizedBodyCap = 64 * 1024;

    // Without a source, the local address is looked up on every request.
    explicit InternetSession(AddressSource currentAddress = {}, std::string agent = kAgentName);

    const std::string& Agent() const { return m_agent; }
    // The current local address text, "0.0.0.0" when none.
    std::string CurrentAddress(const std::string& directoryHost) const;
    // Set before the session is handed to other threads.
    void SetTimeLimits(std::chrono::milliseconds connect, std::chrono::milliseconds transfer);

    // GET http://host + target without any cache. At most bodyLimit bytes of the
    // body are kept; when sizedByContentLength is set, the announced content
    // length plus 5 is kept instead (bounded by kSizedBodyCap).
    HttpReply Get(const std::string& host, const std::string& target, std::size_t bodyLimit,
                  bool sizedByContentLength = false) const;

private:
    AddressSource m_currentAddress;
    std::string m_agent;
    std::chrono::milliseconds m_connectLimit = kConnectLimit;
    std::chrono::milliseconds m_transferLimit = kTransferLimit;
};
