#include "service/CurrentIPProbe.h"

#include "service/BackgroundLoop.h"
#include "support/TestSupport.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;
using testsupport::WaitFor;

namespace {

using Clock = std::chrono::steady_clock;

// A look-up the test holds until it lets go.
class Gate {
public:
    void Open() {
        std::lock_guard hold(m_lock);
        m_open = true;
        m_changed.notify_all();
    }
    void Pass() {
        std::unique_lock hold(m_lock);
        m_changed.wait(hold, [&] { return m_open; });
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_open = false;
};

TEST(CurrentIPProbeTest, ReadingWaitsForTheFirstProbeAndThenFollowsTheAddress) {
    std::atomic<int> calls{0};
    std::mutex addressLock;
    std::string address = "127.0.0.7";
    CurrentIPProbe probe(
        [&] {
            if (calls.fetch_add(1) == 0)
                std::this_thread::sleep_for(300ms);
            std::lock_guard hold(addressLock);
            return address;
        },
        50);
    // Before the loop runs there is nothing to wait for.
    EXPECT_EQ(probe.Read(), "0.0.0.0");
    probe.Start();
    auto start = Clock::now();
    EXPECT_EQ(probe.Read(), "127.0.0.7");
    EXPECT_GE(Clock::now() - start, 250ms);

    {
        std::lock_guard hold(addressLock);
        address = "0.0.0.0";
    }
    EXPECT_TRUE(WaitFor([&] { return probe.Read() == "0.0.0.0"; }, 2s));
    {
        std::lock_guard hold(addressLock);
        address = "127.0.0.8";
    }
    EXPECT_TRUE(WaitFor([&] { return probe.Read() == "127.0.0.8"; }, 2s));
    probe.Stop();
    // The last address stays readable once stopped.
    EXPECT_EQ(probe.Read(), "127.0.0.8");
}

TEST(CurrentIPProbeTest, AHungProbeCountsAsNoAddressUntilItReturns) {
    Gate gate;
    std::atomic<int> calls{0};
    CurrentIPProbe probe(
        [&] {
            if (calls.fetch_add(1) == 1)
                gate.Pass();
            return std::string("127.0.0.9");
        },
        20, 300ms);
    probe.Start();
    EXPECT_EQ(probe.Read(), "127.0.0.9");
    // The second probe hangs: within the limit the old answer stands.
    ASSERT_TRUE(WaitFor([&] { return calls.load() >= 2; }, 2s));
    EXPECT_EQ(probe.Read(), "127.0.0.9");
    EXPECT_TRUE(WaitFor([&] { return probe.Read() == "0.0.0.0"; }, 2s));
    gate.Open();
    EXPECT_TRUE(WaitFor([&] { return probe.Read() == "127.0.0.9"; }, 2s));
}

TEST(CurrentIPProbeTest, AFirstProbeThatHangsDoesNotHoldReadersPastTheLimit) {
    Gate gate;
    CurrentIPProbe probe(
        [&] {
            gate.Pass();
            return std::string("127.0.0.9");
        },
        20, 300ms);
    probe.Start();
    auto start = Clock::now();
    EXPECT_EQ(probe.Read(), "0.0.0.0");
    EXPECT_LT(Clock::now() - start, 2s);
    gate.Open();
    EXPECT_TRUE(WaitFor([&] { return probe.Read() == "127.0.0.9"; }, 2s));
}

TEST(CurrentIPProbeTest, StopEndsALongIntervalAtOnce) {
    CurrentIPProbe probe([] { return std::string("127.0.0.1"); }, 60000);
    probe.Start();
    ASSERT_EQ(probe.Read(), "127.0.0.1");
    auto start = Clock::now();
    probe.Stop();
    EXPECT_LT(Clock::now() - start, 1s);
    EXPECT_EQ(probe.ProbeCount(), 1);
}

TEST(BackgroundLoopTest, OneRunAtATimeAndAStoppedRunDoesNotDelayTheNext) {
    BackgroundLoop loop;
    std::atomic<int> running{0};
    Gate slowRound;
    auto body = [&](BackgroundLoop::Control& control) {
        running.fetch_add(1);
        // A round that does not look at the flag, like a slow peer query.
        slowRound.Pass();
        while (control.Sleep(20)) {
        }
        running.fetch_sub(1);
    };
    EXPECT_TRUE(loop.Start(body));
    EXPECT_FALSE(loop.Start(body)) << "a second run while one runs";
    EXPECT_TRUE(loop.IsRunning());
    ASSERT_TRUE(WaitFor([&] { return running.load() == 1; }, 2s));

    loop.RequestStop();
    EXPECT_FALSE(loop.IsRunning());
    // The stopped run still sits in its slow round; a new one starts anyway.
    auto start = Clock::now();
    EXPECT_TRUE(loop.Start(body));
    EXPECT_LT(Clock::now() - start, 500ms);
    EXPECT_EQ(loop.StartCount(), 2);
    ASSERT_TRUE(WaitFor([&] { return running.load() == 2; }, 2s));

    slowRound.Open();
    // The old run ends by its cleared flag, the new one keeps going.
    EXPECT_TRUE(WaitFor([&] { return running.load() == 1; }, 2s));
    EXPECT_TRUE(loop.IsRunning());
    loop.StopAndWait();
    EXPECT_EQ(running.load(), 0);
    EXPECT_FALSE(loop.IsRunning());
}

TEST(BackgroundLoopTest, ARunThatRestartsItselfKeepsGoing) {
    BackgroundLoop loop;
    std::atomic<int> rounds{0};
    std::function<void(BackgroundLoop::Control&)> body = [&](BackgroundLoop::Control& control) {
        while (control.Sleep(10)) {
            // A round that asks to stop its own loop and then to start it
            // again, as going offline from a loop thread does.
            if (rounds.fetch_add(1) == 3) {
                loop.RequestStop();
                EXPECT_FALSE(loop.Start(body));
            }
        }
    };
    loop.Start(body);
    EXPECT_TRUE(WaitFor([&] { return rounds.load() > 10; }, 3s));
    EXPECT_EQ(loop.StartCount(), 1);
    loop.StopAndWait();
}

} // namespace
