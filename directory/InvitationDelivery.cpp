#include "directory/InvitationDelivery.h"

#include "directory/InvitationMail.h"

#include <algorithm>
#include <random>
#include <unistd.h>

namespace halvdir {

namespace {

std::int64_t Now() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// One line on standard output, written at once like the request lines.
void LogLine(const std::string& text) {
    std::string line = "halvdir: " + text.substr(0, 400);
    for (char& c : line)
        if (static_cast<unsigned char>(c) < 0x20)
            c = '?';
    line += '\n';
    [[maybe_unused]] auto written = ::write(STDOUT_FILENO, line.data(), line.size());
}

// Names this process among those sharing the outbox, for the lease.
std::string ClaimerName() {
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    std::random_device random;
    return std::string(host).substr(0, 64) + ":" + std::to_string(::getpid()) + ":" +
           std::to_string(random());
}

} // namespace

InvitationDelivery::InvitationDelivery(InvitationOutbox& outbox, SmtpSettings settings,
                                       Timing timing)
    : m_outbox(outbox)
    , m_settings(std::move(settings))
    , m_timing(timing)
    , m_claimer(ClaimerName()) {}

InvitationDelivery::~InvitationDelivery() {
    Stop();
}

void InvitationDelivery::Start() {
    if (!m_thread.joinable())
        m_thread = std::thread([this] { Loop(); });
}

void InvitationDelivery::Stop() {
    {
        std::lock_guard lock(m_lock);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

std::chrono::seconds InvitationDelivery::RetryDelay(const Timing& timing, int attempts) {
    auto delay = timing.firstRetry;
    for (int i = 1; i < attempts && delay < timing.maxRetry; ++i)
        delay *= 2;
    return std::min(delay, timing.maxRetry);
}

bool InvitationDelivery::WaitFor(std::chrono::seconds wait) {
    std::unique_lock lock(m_lock);
    return !m_wake.wait_for(lock, wait, [this] { return m_stop.load(); });
}

void InvitationDelivery::Loop() {
    SmtpSender sender(m_settings, m_stop);
    // The lease covers a whole batch sent at the slowest, with a margin.
    const auto lease = (SmtpSender::kConnectTimeout + SmtpSender::kSendTimeout) * kBatch +
                       std::chrono::seconds(60);
    while (!m_stop) {
        std::vector<QueuedInvitation> claimed;
        try {
            std::int64_t now = Now();
            claimed = m_outbox.Claim(now, kBatch, now + lease.count(), m_claimer);
        } catch (const StorageError& error) {
            LogLine(std::string("outbox unavailable: ") + error.what());
        }
        for (const auto& entry : claimed)
            if (!Deliver(sender, entry))
                return;
        // A full batch means more may be due at once.
        if (static_cast<int>(claimed.size()) < kBatch && !WaitFor(m_timing.poll))
            return;
    }
}

bool InvitationDelivery::Deliver(SmtpSender& sender, const QueuedInvitation& entry) {
    if (m_stop)
        return false;
    const std::string label = "invitation " + std::to_string(entry.id);
    std::string error;
    bool giveUp = false;
    const std::int64_t now = Now();
    auto message = ComposeInvitationMail(entry, m_settings.from, entry.id, now);
    if (now - entry.requested > std::chrono::seconds(kMaxAge).count()) {
        error = "recorded more than 7 days ago";
        giveUp = true;
    } else if (!message) {
        error = "the recipient address cannot be mailed";
        giveUp = true;
    } else {
        auto result = sender.Send(entry.recipient, *message);
        switch (result.outcome) {
        case SmtpSender::Outcome::kSent:
            // Marking may fail while the database is away; try while the
            // lease still keeps other processes off the entry.
            for (int tries = 0; tries < 5; ++tries) {
                try {
                    m_outbox.MarkSent(entry.id, Now());
                    LogLine(label + " mailed to " + entry.recipient);
                    return true;
                } catch (const StorageError& storeError) {
                    LogLine(label + " sent but not marked: " + storeError.what());
                }
                if (!WaitFor(std::chrono::seconds(2)))
                    return false;
            }
            return true;
        case SmtpSender::Outcome::kStopped:
            // The lease runs out and the entry comes due again.
            return false;
        case SmtpSender::Outcome::kRejected:
            giveUp = true;
            error = result.error;
            break;
        case SmtpSender::Outcome::kRetry:
            error = result.error;
            break;
        }
    }
    const int attempts = entry.attempts + 1;
    giveUp = giveUp || attempts >= kMaxAttempts;
    const auto delay = RetryDelay(m_timing, attempts);
    try {
        m_outbox.Defer(entry.id, giveUp ? kNever : Now() + delay.count(), error);
    } catch (const StorageError& storeError) {
        LogLine(label + " not deferred: " + storeError.what());
    }
    if (giveUp)
        LogLine(label + " given up: " + error);
    else
        LogLine(label + " not sent, next try in " + std::to_string(delay.count()) + " s: " + error);
    return !m_stop;
}

} // namespace halvdir
