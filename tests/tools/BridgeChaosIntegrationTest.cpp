// The bridge against crashes: halvserve and its clients are killed with
// SIGKILL at random moments, idle and in the middle of exchanges, over and
// over. After every kill the next call of a fresh client must be answered
// within a bounded time (by a relaunched service where the old one died), with
// the identity and the contacts intact; and SIGTERM still ends every program
// within a few seconds.

#include "PresenceNetwork.h"

#include <random>

namespace {

using namespace presencenetwork;

constexpr int kRounds = 24;
// Generous for a relaunched service under the sanitizers on a loaded machine;
// a wedged bridge never answers at all.
constexpr auto kAnswerLimit = 30s;

class BridgeChaosTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(Ada().Register().empty());
        ASSERT_FALSE(Bo().Register().empty());
        ASSERT_EQ(Ada().Halvara({"add", Bo().EMail()}).code, 0);
        Ada().StopEverything();
        Bo().StopEverything();
    }

    PresenceUser& Ada() { return m_network.User(0); }
    PresenceUser& Bo() { return m_network.User(1); }

    // `halvara ARGUMENTS` for Ada, in the background, for killing.
    std::unique_ptr<ChildProcess> Start(const std::vector<std::string>& arguments) {
        return std::make_unique<ChildProcess>(testsupport::BuildBin("halvara"), arguments,
                                              Ada().Environment());
    }

    // A fresh client is answered in time with Ada's identity and Bo listed.
    void ExpectIntact(const std::string& round) {
        const auto start = std::chrono::steady_clock::now();
        Outcome me = Ada().Halvara({"me"});
        const auto took = std::chrono::steady_clock::now() - start;
        ASSERT_EQ(me.code, 0) << round << ": me failed: " << me.err;
        EXPECT_LT(took, kAnswerLimit) << round;
        EXPECT_TRUE(Contains(me.out, Ada().EMail())) << round << ": " << me.out;
        auto bo = Ada().Contact("friends", Bo().EMail());
        ASSERT_TRUE(bo.has_value()) << round << ": " << Ada().LastFailure();
    }

    PresenceNetwork m_network{2};
};

TEST_F(BridgeChaosTest, KillsAtRandomMomentsNeverWedgeTheBridge) {
    std::mt19937 random(std::random_device{}());
    const unsigned seed = random();
    random.seed(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));

    for (int round = 0; round < kRounds; ++round) {
        const std::string name = "round " + std::to_string(round);
        // A hold keeps the service up between the rounds' calls.
        ASSERT_TRUE(Ada().Hold()) << name << ": " << Ada().HoldOutput();
        std::uniform_int_distribution<int> pause(0, 250);
        switch (round % 3) {
        case 0: {
            // The service dies while it idles.
            pid_t service = Ada().SoleService(20s);
            ASSERT_NE(service, 0) << name << ": " << Ada().ServiceStates();
            std::this_thread::sleep_for(std::chrono::milliseconds(pause(random)));
            kill(service, SIGKILL);
            break;
        }
        case 1: {
            // The service dies while clients are in the middle of their calls.
            pid_t service = Ada().SoleService(20s);
            ASSERT_NE(service, 0) << name << ": " << Ada().ServiceStates();
            auto first = Start({"friends"});
            auto second = Start({"identities"});
            std::this_thread::sleep_for(std::chrono::milliseconds(pause(random)));
            kill(service, SIGKILL);
            // Their calls may fail; they must end, not hang.
            EXPECT_GE(first->Wait(kAnswerLimit), 0) << name << ": a client hangs";
            EXPECT_GE(second->Wait(kAnswerLimit), 0) << name << ": a client hangs";
            break;
        }
        case 2: {
            // Clients die in the middle of their calls; the service lives on.
            std::vector<std::unique_ptr<ChildProcess>> clients;
            for (int i = 0; i < 3; ++i)
                clients.push_back(Start({i == 1 ? "identities" : "friends"}));
            for (auto& client : clients) {
                std::this_thread::sleep_for(std::chrono::milliseconds(pause(random) / 3));
                client->Signal(SIGKILL);
            }
            for (auto& client : clients)
                client->Wait(5s);
            break;
        }
        }
        ExpectIntact(name);
        if (HasFatalFailure())
            return;
        // SIGTERM ends the hold within a few seconds, whether its service was
        // killed under it or not.
        const auto start = std::chrono::steady_clock::now();
        EXPECT_GE(Ada().Release(), 0) << name << ": the hold did not end on SIGTERM";
        EXPECT_LT(std::chrono::steady_clock::now() - start, 10s) << name;
    }

    // And SIGTERM ends the service too.
    ASSERT_TRUE(Ada().Hold());
    for (pid_t service : Ada().ServicePids())
        kill(service, SIGTERM);
    EXPECT_TRUE(Ada().WaitServiceGone(10s)) << Ada().ServiceStates();
}

TEST_F(BridgeChaosTest, ServeEndsOnSigtermAfterItsServiceWasKilled) {
    std::vector<std::string> words{"serve"};
    for (const char* option : {"--nfs-port", "--transfer-port", "--search-port", "--result-port",
                               "--messenger-port"}) {
        words.push_back(option);
        words.push_back(std::to_string(testsupport::FreeTcpPort()));
    }
    ChildProcess serve(testsupport::BuildBin("drovick-peer"), words, Ada().Environment());
    ASSERT_TRUE(testsupport::WaitFor(
        [&] { return Contains(serve.Output(), "the presence service answered"); }, 45s))
        << serve.Output();
    pid_t service = Ada().SoleService(20s);
    ASSERT_NE(service, 0) << Ada().ServiceStates();
    kill(service, SIGKILL);
    std::this_thread::sleep_for(1s);

    const auto start = std::chrono::steady_clock::now();
    serve.Signal(SIGTERM);
    EXPECT_GE(serve.Wait(20s), 0) << "drovick-peer serve hangs after SIGTERM: " << serve.Output();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

} // namespace
