// The delivery thread against a real SMTP server on loopback, with an outbox
// kept in memory that claims and leases as the stores do.

#include "SmtpSink.h"
#include "directory/InvitationDelivery.h"

#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <set>

namespace {

using halvdir::InvitationDelivery;
using halvdir::QueuedInvitation;
using halvdirtest::SmtpSink;

class MemoryOutbox : public halvdir::InvitationOutbox {
public:
    struct Entry {
        halvdir::Invitation invitation;
        std::int64_t nextAttempt = 0;
        std::int64_t leaseUntil = 0;
        std::int64_t sent = 0;
        int attempts = 0;
        std::string lastError;
    };

    void Add(std::int64_t id, const std::string& recipient,
             std::chrono::system_clock::time_point requested = std::chrono::system_clock::now()) {
        std::lock_guard lock(m_lock);
        Entry entry;
        entry.invitation.requested =
            std::chrono::duration_cast<std::chrono::seconds>(requested.time_since_epoch()).count();
        entry.invitation.senderEmail = "ann@example.org";
        entry.invitation.senderName = "Ann";
        entry.invitation.appName = "Drovick";
        entry.invitation.recipient = recipient;
        m_entries[id] = entry;
    }
    Entry Get(std::int64_t id) {
        std::lock_guard lock(m_lock);
        return m_entries[id];
    }

    std::vector<QueuedInvitation> Claim(std::int64_t now, int max, std::int64_t leaseUntil,
                                        const std::string&) override {
        std::lock_guard lock(m_lock);
        std::vector<QueuedInvitation> claimed;
        for (auto& [id, entry] : m_entries) {
            if (entry.sent || entry.nextAttempt > now || entry.leaseUntil > now ||
                static_cast<int>(claimed.size()) >= max)
                continue;
            entry.leaseUntil = leaseUntil;
            QueuedInvitation queued;
            static_cast<halvdir::Invitation&>(queued) = entry.invitation;
            queued.id = id;
            queued.attempts = entry.attempts;
            claimed.push_back(queued);
        }
        return claimed;
    }
    void MarkSent(std::int64_t id, std::int64_t when) override {
        std::lock_guard lock(m_lock);
        m_entries[id].sent = when;
    }
    void Defer(std::int64_t id, std::int64_t nextAttempt, const std::string& error) override {
        std::lock_guard lock(m_lock);
        auto& entry = m_entries[id];
        entry.nextAttempt = nextAttempt;
        entry.leaseUntil = 0;
        entry.attempts += 1;
        entry.lastError = error;
    }

private:
    std::mutex m_lock;
    std::map<std::int64_t, Entry> m_entries;
};

InvitationDelivery::Timing FastTiming() {
    InvitationDelivery::Timing timing;
    timing.firstRetry = std::chrono::seconds(1);
    timing.maxRetry = std::chrono::seconds(2);
    timing.poll = std::chrono::seconds(1);
    return timing;
}

halvdir::SmtpSettings SettingsFor(int port) {
    return {"smtp://127.0.0.1:" + std::to_string(port), "directory@example.org", "", ""};
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::seconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

TEST(InvitationDelivery, AMailServerThatComesUpLateGetsEachMailOnce) {
    MemoryOutbox outbox;
    outbox.Add(1, "bob@example.net");
    outbox.Add(2, "carol@example.net");
    const int port = SmtpSink::FreePort();
    InvitationDelivery delivery(outbox, SettingsFor(port), FastTiming());
    delivery.Start();
    // Away at first: both entries are put off with the server's error.
    ASSERT_TRUE(WaitUntil([&] { return outbox.Get(1).attempts >= 2; }, std::chrono::seconds(20)));
    EXPECT_FALSE(outbox.Get(1).lastError.empty());
    EXPECT_EQ(outbox.Get(1).sent, 0);

    SmtpSink sink;
    ASSERT_TRUE(sink.Start(port));
    ASSERT_TRUE(sink.WaitForMails(2, std::chrono::seconds(20)));
    ASSERT_TRUE(WaitUntil([&] { return outbox.Get(1).sent && outbox.Get(2).sent; },
                          std::chrono::seconds(10)));
    // Several more polls send nothing again.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    auto mails = sink.Mails();
    ASSERT_EQ(mails.size(), 2u);
    std::multiset<std::string> recipients;
    for (const auto& mail : mails) {
        ASSERT_EQ(mail.recipients.size(), 1u);
        recipients.insert(mail.recipients[0]);
        EXPECT_EQ(mail.from, "<directory@example.org>");
        EXPECT_NE(mail.data.find("Subject: Ann invites you to Drovick\r\n"), std::string::npos);
    }
    EXPECT_EQ(recipients, (std::multiset<std::string>{"<bob@example.net>", "<carol@example.net>"}));
}

TEST(InvitationDelivery, RefusedUnmailableAndStaleInvitationsAreGivenUpWhileOthersGo) {
    SmtpSink sink;
    ASSERT_TRUE(sink.Start());
    MemoryOutbox outbox;
    outbox.Add(1, "refused@example.net");
    outbox.Add(2, "bob@example.net>\r\nRCPT TO:<eve@example.net");
    outbox.Add(3, "bob@example.net");
    outbox.Add(4, "carol@example.net",
               std::chrono::system_clock::now() - std::chrono::hours(24 * 8));
    InvitationDelivery delivery(outbox, SettingsFor(sink.Port()), FastTiming());
    delivery.Start();
    ASSERT_TRUE(WaitUntil([&] { return outbox.Get(3).sent != 0; }, std::chrono::seconds(20)));
    ASSERT_TRUE(WaitUntil(
        [&] { return outbox.Get(1).attempts && outbox.Get(2).attempts && outbox.Get(4).attempts; },
        std::chrono::seconds(20)));
    std::this_thread::sleep_for(std::chrono::seconds(3));
    for (std::int64_t id : {1, 2, 4}) {
        auto entry = outbox.Get(id);
        EXPECT_EQ(entry.attempts, 1) << id;
        EXPECT_EQ(entry.nextAttempt, InvitationDelivery::kNever) << id;
        EXPECT_EQ(entry.sent, 0) << id;
    }
    EXPECT_NE(outbox.Get(1).lastError.find("550"), std::string::npos) << outbox.Get(1).lastError;
    ASSERT_EQ(sink.Mails().size(), 1u);
    EXPECT_EQ(sink.Mails()[0].recipients, std::vector<std::string>{"<bob@example.net>"});
}

TEST(InvitationDelivery, StopEndsAMessageUnderWayPromptly) {
    // A mail server that takes the connection and never greets.
    int silent = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(silent, 4), 0);
    getsockname(silent, reinterpret_cast<sockaddr*>(&address), &length);
    MemoryOutbox outbox;
    outbox.Add(1, "bob@example.net");
    InvitationDelivery delivery(outbox, SettingsFor(ntohs(address.sin_port)), FastTiming());
    delivery.Start();
    pollfd p{silent, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 20000), 1) << "the delivery never connected";
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    auto before = std::chrono::steady_clock::now();
    delivery.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
    // Neither sent nor counted as a failure: its lease runs out and it comes due again.
    EXPECT_EQ(outbox.Get(1).sent, 0);
    EXPECT_EQ(outbox.Get(1).attempts, 0);
    close(silent);
}

} // namespace
