// The outbox calls a mail sender uses, on both stores: what is due, leases
// that keep two senders off one entry, sent entries that stay sent, failed
// ones that come back later; and an outbox file of the layout before delivery
// existed, which gains it in place.

#include "directory/DirectoryStore.h"
#include "directory/Sqlite.h"
#include "support/PostgresServer.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <set>
#include <thread>

namespace {

using halvdir::Invitation;
using halvdir::QueuedInvitation;
using halvdir::StorePool;

Invitation InvitationNumber(int n) {
    // Every one from and to someone else, to stay within the daily allowances.
    return Invitation{"sender" + std::to_string(n) + "@example.org",
                      "friend" + std::to_string(n) + "@example.org",
                      "Drovick",
                      "Sender \xe9" + std::to_string(n), // a Latin-1 byte stays as it is
                      "http://example.org/",
                      7,
                      0,
                      "127.0.0.9"};
}

std::vector<std::int64_t> Ids(const std::vector<QueuedInvitation>& entries) {
    std::vector<std::int64_t> ids;
    for (const auto& entry : entries)
        ids.push_back(entry.id);
    return ids;
}

class OutboxDelivery : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        if (std::string(GetParam()) == "sqlite") {
            m_location = (m_folder.Path() / "directory.db").string();
        } else {
            auto* server = testsupport::PostgresServer::Shared();
            if (!server)
                GTEST_SKIP() << "PostgreSQL run skipped: "
                             << testsupport::PostgresServer::Problem();
            m_location = server->Uri(server->NewDatabase());
        }
        m_pool.emplace(m_location);
    }

    testsupport::TempDir m_folder;
    std::string m_location;
    std::optional<StorePool> m_pool;
};

TEST_P(OutboxDelivery, ClaimsLeasesMarksAndDefers) {
    auto store = m_pool->Take();
    for (int n = 1; n <= 3; ++n)
        ASSERT_TRUE(store->QueueInvitation(InvitationNumber(n)));
    const std::int64_t now = store->Outbox().front().requested;

    auto first = store->ClaimDueInvitations(now, 2, now + 60, "one");
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first[0].recipient, "friend1@example.org");
    EXPECT_EQ(first[0].senderName, "Sender \xe9"
                                   "1");
    EXPECT_EQ(first[0].appId, 7);
    EXPECT_EQ(first[0].attempts, 0);
    EXPECT_LT(first[0].id, first[1].id);
    // Leased: another sender gets only the rest, until the lease runs out.
    auto second = store->ClaimDueInvitations(now, 10, now + 60, "two");
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].recipient, "friend3@example.org");
    EXPECT_TRUE(store->ClaimDueInvitations(now + 59, 10, now + 120, "two").empty());

    store->MarkInvitationSent(first[0].id, now + 1);
    store->DeferInvitation(first[1].id, now + 300, "421 try later");
    // The lease of the third ran out at now + 60; the sent one never returns,
    // the deferred one not before its time.
    auto later = store->ClaimDueInvitations(now + 61, 10, now + 1000, "two");
    EXPECT_EQ(Ids(later), std::vector<std::int64_t>{second[0].id});
    auto retried = store->ClaimDueInvitations(now + 300, 10, now + 400, "one");
    ASSERT_EQ(retried.size(), 1u);
    EXPECT_EQ(retried[0].id, first[1].id);
    EXPECT_EQ(retried[0].attempts, 1);
    // Marking sent twice (a sender that crashed after sending) changes nothing.
    store->MarkInvitationSent(first[0].id, now + 2);
    store->DeferInvitation(first[0].id, now, "late failure of a sent mail");
    EXPECT_EQ(store->ClaimDueInvitations(now + 10'000, 10, now + 10'060, "one").size(), 2u);

    // The listing is what was recorded, sent or not.
    auto listed = store->Outbox();
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_EQ(listed[2].senderEmail, "sender3@example.org");
}

TEST_P(OutboxDelivery, TwoSendersClaimingAtOnceNeverGetTheSameEntry) {
    constexpr int kEntries = 60;
    std::int64_t now = 0;
    {
        auto store = m_pool->Take();
        for (int n = 1; n <= kEntries; ++n)
            ASSERT_TRUE(store->QueueInvitation(InvitationNumber(n)));
        now = store->Outbox().back().requested + 1;
    }
    std::vector<std::int64_t> claimed[2];
    std::vector<std::thread> senders;
    for (int sender = 0; sender < 2; ++sender) {
        senders.emplace_back([&, sender] {
            // Each sender its own connection, as in two processes.
            StorePool pool(m_location);
            auto store = pool.Take();
            for (;;) {
                auto batch = store->ClaimDueInvitations(now, 3, now + 600,
                                                        "sender" + std::to_string(sender));
                if (batch.empty())
                    break;
                for (const auto& entry : batch)
                    claimed[sender].push_back(entry.id);
            }
        });
    }
    for (auto& sender : senders)
        sender.join();
    std::multiset<std::int64_t> all(claimed[0].begin(), claimed[0].end());
    all.insert(claimed[1].begin(), claimed[1].end());
    EXPECT_EQ(all.size(), static_cast<size_t>(kEntries));
    EXPECT_EQ(std::set<std::int64_t>(all.begin(), all.end()).size(), all.size())
        << "an entry went to both senders";
}

INSTANTIATE_TEST_SUITE_P(Stores, OutboxDelivery, ::testing::Values("sqlite", "postgresql"),
                         [](const auto& test) { return std::string(test.param); });

TEST(OutboxUpgrade, AFileWithoutDeliveryStateGainsItInPlace) {
    testsupport::TempDir folder;
    const auto path = (folder.Path() / "directory.db").string();
    {
        // The layout and one entry as an older halvdir left them.
        halvdir::SqliteConnection old(path);
        old.Exec("CREATE TABLE users(id INTEGER PRIMARY KEY AUTOINCREMENT, name TEXT NOT NULL "
                 "DEFAULT '', email TEXT UNIQUE, salt BLOB, hash BLOB, iterations INTEGER NOT "
                 "NULL DEFAULT 0, ip TEXT NOT NULL DEFAULT '0.0.0.0', created INTEGER NOT NULL, "
                 "updated INTEGER NOT NULL);"
                 "CREATE TABLE outbox(id INTEGER PRIMARY KEY AUTOINCREMENT, sender_email TEXT NOT "
                 "NULL, recipient TEXT NOT NULL, app_name TEXT NOT NULL, sender_name TEXT NOT "
                 "NULL, app_url TEXT NOT NULL, app_id INTEGER NOT NULL, requested INTEGER NOT "
                 "NULL, remote_address TEXT NOT NULL);"
                 "INSERT INTO users(created, updated) VALUES(5, 5);"
                 "INSERT INTO outbox(sender_email, recipient, app_name, sender_name, app_url, "
                 "app_id, requested, remote_address) VALUES('a@example.org', 'b@example.org', "
                 "'Drovick', 'A', '', 3, 1000, '127.0.0.2');");
    }
    StorePool pool(path);
    auto store = pool.Take();
    ASSERT_EQ(store->Outbox().size(), 1u);
    EXPECT_EQ(store->Users().size(), 1u);
    auto due = store->ClaimDueInvitations(2000, 10, 2060, "one");
    ASSERT_EQ(due.size(), 1u);
    EXPECT_EQ(due[0].recipient, "b@example.org");
    EXPECT_EQ(due[0].requested, 1000);
    EXPECT_EQ(due[0].attempts, 0);
    // The next registration continues after the existing user.
    EXPECT_EQ(store->RegisterId(), 2);
}

} // namespace
