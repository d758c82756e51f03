#include "platform/ConnectionPool.h"

#include "support/TestSupport.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>

namespace {

using namespace std::chrono_literals;

// Jobs that run until the test lets them go.
struct Gate {
    std::atomic<bool> open{false};
    std::atomic<int> inside{0};
    std::function<void()> Job() {
        return [this] {
            ++inside;
            while (!open)
                std::this_thread::sleep_for(5ms);
            --inside;
        };
    }
};

TEST(ConnectionPool, RefusesOverEitherBoundAtOnceAndGivesTheRoomBack) {
    Gate gate;
    platform::ConnectionPool pool({3, 2});
    EXPECT_TRUE(pool.TryRun("10.0.0.1", gate.Job()));
    EXPECT_TRUE(pool.TryRun("10.0.0.1", gate.Job()));
    EXPECT_FALSE(pool.TryRun("10.0.0.1", gate.Job())) << "the address is at its bound";
    EXPECT_TRUE(pool.TryRun("10.0.0.2", gate.Job()));
    EXPECT_FALSE(pool.TryRun("10.0.0.3", gate.Job())) << "every worker is taken";
    ASSERT_TRUE(testsupport::WaitFor([&] { return gate.inside == 3; }, 10s))
        << "admitted jobs run side by side";
    EXPECT_EQ(pool.RunningFor("10.0.0.1"), 2u);

    gate.open = true;
    ASSERT_TRUE(testsupport::WaitFor([&] { return pool.Running() == 0; }, 10s));
    EXPECT_EQ(pool.RunningFor("10.0.0.1"), 0u);
    gate.open = false;
    EXPECT_TRUE(pool.TryRun("10.0.0.3", gate.Job()));
    EXPECT_TRUE(pool.TryRun("10.0.0.1", gate.Job()));
    ASSERT_TRUE(testsupport::WaitFor([&] { return gate.inside == 2; }, 10s));

    // Close waits for the running jobs and refuses new ones.
    std::thread opener([&] {
        std::this_thread::sleep_for(200ms);
        gate.open = true;
    });
    pool.Close();
    EXPECT_EQ(gate.inside, 0);
    EXPECT_FALSE(pool.TryRun("10.0.0.4", gate.Job()));
    opener.join();
}

} // namespace
