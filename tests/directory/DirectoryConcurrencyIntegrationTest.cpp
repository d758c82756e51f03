// Many clients at once, a restart and a clean stop: no ID is lost or handed
// out twice, and every answered change is still there afterwards.

#include "HalvdirProcess.h"

#include <algorithm>
#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <thread>

namespace {

using halvdirtest::HalvdirProcess;
using halvdirtest::NewId;

struct ClientOutcome {
    int id = -1;
    bool profileStored = false;
    bool addressStored = false;
    std::string failure;
};

TEST(DirectoryConcurrency, TwoHundredClientsRegisterAndUpdateThenARestartKeepsEverything) {
    HalvdirProcess directory;
    ASSERT_TRUE(directory.Started()) << directory.Output();

    constexpr int kClients = 200;
    std::vector<ClientOutcome> outcomes(kClients);
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.emplace_back([&, i] {
            ClientOutcome& outcome = outcomes[static_cast<size_t>(i)];
            outcome.id = NewId(directory.Get("/cgi-bin/registerid"));
            if (outcome.id < 1)
                return;
            std::string id = std::to_string(outcome.id);
            auto profile =
                directory.Get("/cgi-bin/updateinfo?" + id + "+User%20" + std::to_string(i) +
                              "+user" + std::to_string(i) + "@example.org+pw" + std::to_string(i));
            outcome.profileStored = profile.body == "Result: 1\n";
            if (!outcome.profileStored)
                outcome.failure = std::to_string(profile.status) + " " + profile.body;
            std::string ip = "127.1." + std::to_string(i / 200) + "." + std::to_string(i % 200);
            outcome.addressStored =
                directory.Get("/cgi-bin/updateip?" + id + "+" + ip + "+pw" + std::to_string(i))
                    .body == "Result: 1\n";
        });
    }
    for (auto& client : clients)
        client.join();

    std::set<int> ids;
    for (int i = 0; i < kClients; ++i) {
        const auto& outcome = outcomes[static_cast<size_t>(i)];
        EXPECT_GT(outcome.id, 0) << "client " << i;
        EXPECT_TRUE(outcome.profileStored) << "client " << i << ": " << outcome.failure;
        EXPECT_TRUE(outcome.addressStored) << "client " << i;
        ids.insert(outcome.id);
    }
    // No duplicates, and no gaps: exactly 1 to 200.
    ASSERT_EQ(ids.size(), static_cast<size_t>(kClients));
    EXPECT_EQ(*ids.begin(), 1);
    EXPECT_EQ(*ids.rbegin(), kClients);

    directory.SystemMessage("Kept", "Across restarts", 155);
    directory.SetVersion("1002");
    ASSERT_EQ(directory.Get("/cgi-bin/regasacq?1+2").body, "Result: 1\n");
    ASSERT_EQ(directory.Get("/cgi-bin/insertrandomip?155+127.1.0.5").body, "Result: 1\n");
    std::string timesBefore = directory.Get("/cgi-bin/sysmestime?155").body;

    EXPECT_EQ(directory.Stop(), 0);
    EXPECT_NE(directory.Output().find("halvdir: stopped"), std::string::npos);
    directory.Start();
    ASSERT_TRUE(directory.Started());

    // Every row is there; a sample is also asked over HTTP.
    std::string expectedUsers;
    for (int id = 1; id <= kClients; ++id) {
        int i = 0;
        while (outcomes[static_cast<size_t>(i)].id != id)
            ++i;
        expectedUsers += std::to_string(id) + "\tUser " + std::to_string(i) + "\tuser" +
                         std::to_string(i) + "@example.org\t127.1." + std::to_string(i / 200) +
                         "." + std::to_string(i % 200) + "\tpassword\n";
    }
    EXPECT_EQ(directory.Admin({"users"}).output, expectedUsers);
    for (int i = 0; i < kClients; i += 17) {
        const auto& outcome = outcomes[static_cast<size_t>(i)];
        std::string id = std::to_string(outcome.id);
        EXPECT_EQ(directory.Get("/cgi-bin/lookupid?user" + std::to_string(i) + "@example.org").body,
                  "ID: " + id + "\n");
        EXPECT_EQ(directory.Get("/cgi-bin/lookupinfo?" + id).body,
                  "Name: User " + std::to_string(i) + "\nEMail: user" + std::to_string(i) +
                      "@example.org\n");
        EXPECT_EQ(directory.Get("/cgi-bin/lookupip?" + id).body,
                  "IP: 127.1." + std::to_string(i / 200) + "." + std::to_string(i % 200) + "\n");
    }
    EXPECT_EQ(
        directory.Get("/cgi-bin/checkpassword?" + std::to_string(outcomes[7].id) + "+pw7").body,
        "Match\n");
    // The waiting list of a claimed ID opens with its owner's password.
    int ownerOfOne = 0;
    while (outcomes[static_cast<size_t>(ownerOfOne)].id != 1)
        ++ownerOfOne;
    EXPECT_EQ(directory.Get("/cgi-bin/lookupacqs?1+pw" + std::to_string(ownerOfOne)).body, "2\n");
    EXPECT_EQ(directory.Get("/cgi-bin/lookuprandomip?155").body, "127.1.0.5\n");
    EXPECT_EQ(directory.Get("/cgi-bin/sysmestime?155").body, timesBefore);
    EXPECT_EQ(directory.Get("/sysmessage.155").body, "Kept\nAcross restarts");
    EXPECT_EQ(directory.Get("/latestversion/drovick").body, "1002\n");
    // IDs are never handed out again.
    EXPECT_EQ(directory.Get("/cgi-bin/registerid").body,
              "NewID: " + std::to_string(kClients + 1) + "\n");
    EXPECT_EQ(directory.Stop(), 0);
}

TEST(DirectoryConcurrency, AddressUpdatesCommittedTogetherAreEachAnsweredAndKept) {
    HalvdirProcess directory;
    ASSERT_TRUE(directory.Started()) << directory.Output();
    constexpr int kUsers = 60;
    constexpr int kRounds = 15;
    for (int i = 0; i < kUsers; ++i)
        ASSERT_EQ(NewId(directory.Get("/cgi-bin/registerid")), i + 1);
    std::vector<int> answered(kUsers, 0);
    std::vector<std::thread> clients;
    for (int i = 0; i < kUsers; ++i) {
        clients.emplace_back([&, i] {
            for (int round = 0; round < kRounds; ++round) {
                auto reply = directory.Get("/cgi-bin/updateip?" + std::to_string(i + 1) + "+10.0." +
                                           std::to_string(round) + "." + std::to_string(i));
                answered[static_cast<size_t>(i)] += reply.body == "Result: 1\n";
            }
        });
    }
    for (auto& client : clients)
        client.join();
    for (int i = 0; i < kUsers; ++i) {
        EXPECT_EQ(answered[static_cast<size_t>(i)], kRounds) << "user " << i + 1;
        // Each user's own updates arrive in order, so its last one wins.
        EXPECT_EQ(directory.Get("/cgi-bin/lookupip?" + std::to_string(i + 1)).body,
                  "IP: 10.0." + std::to_string(kRounds - 1) + "." + std::to_string(i) + "\n");
    }
    // What the answers said is what the database holds after a restart.
    EXPECT_EQ(directory.Stop(), 0);
    directory.Start();
    ASSERT_TRUE(directory.Started());
    for (int i = 0; i < kUsers; i += 7) {
        EXPECT_EQ(directory.Get("/cgi-bin/lookupip?" + std::to_string(i + 1)).body,
                  "IP: 10.0." + std::to_string(kRounds - 1) + "." + std::to_string(i) + "\n");
    }
}

TEST(DirectoryConcurrency, ConcurrentClaimsOfOneIdLetExactlyOneWin) {
    HalvdirProcess directory;
    ASSERT_TRUE(directory.Started()) << directory.Output();
    ASSERT_EQ(directory.Get("/cgi-bin/registerid").body, "NewID: 1\n");
    constexpr int kClaimers = 12;
    std::vector<std::string> answers(kClaimers);
    std::vector<std::thread> claimers;
    for (int i = 0; i < kClaimers; ++i) {
        claimers.emplace_back([&, i] {
            answers[static_cast<size_t>(i)] =
                directory
                    .Get("/cgi-bin/updateinfo?1+Claimer" + std::to_string(i) + "+c" +
                         std::to_string(i) + "@example.org+pw" + std::to_string(i))
                    .body;
        });
    }
    for (auto& claimer : claimers)
        claimer.join();
    int winners = 0;
    int winner = -1;
    for (int i = 0; i < kClaimers; ++i) {
        if (answers[static_cast<size_t>(i)] == "Result: 1\n") {
            ++winners;
            winner = i;
        } else {
            EXPECT_EQ(answers[static_cast<size_t>(i)], "Result: 2\n");
        }
    }
    ASSERT_EQ(winners, 1);
    EXPECT_EQ(directory.Get("/cgi-bin/lookupinfo?1").body,
              "Name: Claimer" + std::to_string(winner) + "\nEMail: c" + std::to_string(winner) +
                  "@example.org\n");
    EXPECT_EQ(directory.Get("/cgi-bin/checkpassword?1+pw" + std::to_string(winner)).body,
              "Match\n");
}

TEST(DirectoryConcurrency, StopsCleanlyOnSigintEvenRightAfterStarting) {
    testsupport::TempDir dir;
    int port = testsupport::FreeTcpPort();
    testsupport::ChildProcess directory(testsupport::BuildBin("halvdir"),
                                        {"serve", "--listen", "127.0.0.1:" + std::to_string(port),
                                         "--db", (dir.Path() / "d.db").string()});
    // The line comes just before the server starts listening.
    ASSERT_TRUE(testsupport::WaitFor(
        [&] { return directory.Output().find("halvdir: serving") != std::string::npos; },
        std::chrono::seconds(20)));
    directory.Signal(SIGINT);
    EXPECT_EQ(directory.Wait(std::chrono::seconds(20)), 0) << directory.Output();
    EXPECT_NE(directory.Output().find("halvdir: stopped"), std::string::npos);
}

TEST(DirectoryConcurrency, RefusesToStartOnABusyPortOrAnUnusableDatabase) {
    HalvdirProcess directory;
    ASSERT_TRUE(directory.Started());
    testsupport::TempDir dir;
    testsupport::ChildProcess second(testsupport::BuildBin("halvdir"),
                                     {"serve", "--listen",
                                      "127.0.0.1:" + std::to_string(directory.Port()), "--db",
                                      (dir.Path() / "other.db").string()});
    EXPECT_EQ(second.Wait(std::chrono::seconds(20)), 1);

    // The database's folder is a plain file.
    std::filesystem::path blocker = dir.Path() / "file";
    { std::ofstream(blocker) << "x"; }
    testsupport::ChildProcess noFolder(testsupport::BuildBin("halvdir"),
                                       {"serve", "--listen",
                                        "127.0.0.1:" + std::to_string(testsupport::FreeTcpPort()),
                                        "--db", (blocker / "x.db").string()});
    EXPECT_EQ(noFolder.Wait(std::chrono::seconds(20)), 1);

    testsupport::ChildProcess badListen(
        testsupport::BuildBin("halvdir"),
        {"serve", "--listen", "127.0.0.1", "--db", (dir.Path() / "x.db").string()});
    EXPECT_EQ(badListen.Wait(std::chrono::seconds(20)), 2);
}

} // namespace
