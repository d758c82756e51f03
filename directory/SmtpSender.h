#pragma once

#include <atomic>
#include <chrono>
#include <string>

namespace halvdir {

// Where and as whom the directory mails: the server's URL (smtp://host:port
// takes STARTTLS when the server offers it, smtps:// is TLS from the start),
// the envelope sender, and an optional login.
struct SmtpSettings {
    std::string url;
    std::string from;
    std::string user;
    std::string password;
};

// Hands one message at a time to the mail server over libcurl. Not shared
// between threads.
class SmtpSender {
public:
    // A server that does not answer within these is treated as away.
    static constexpr std::chrono::seconds kConnectTimeout{15};
    static constexpr std::chrono::seconds kSendTimeout{60};

    // stop aborts a message under way, so that shutdown does not wait for a
    // slow server.
    SmtpSender(SmtpSettings settings, const std::atomic<bool>& stop);
    ~SmtpSender();
    SmtpSender(const SmtpSender&) = delete;
    SmtpSender& operator=(const SmtpSender&) = delete;

    enum class Outcome {
        kSent,
        kRetry,    // the server is away or answered "try later" (4xx)
        kRejected, // the server refused this message for good (5xx)
        kStopped,
    };
    struct Result {
        Outcome outcome;
        std::string error; // one line for the log and the outbox
    };
    Result Send(const std::string& recipient, const std::string& message);

private:
    SmtpSettings m_settings;
    const std::atomic<bool>& m_stop;
    void* m_curl;
};

} // namespace halvdir
