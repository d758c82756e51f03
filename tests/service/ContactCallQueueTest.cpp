#include "service/ContactCallQueue.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

TEST(ContactCallQueueTest, JobsRunInOrderOffTheCallersThreadAndAFailureEndsOnlyItsJob) {
    ContactCallQueue queue;
    std::atomic<bool> release{false};
    std::vector<int> order;
    std::thread::id worker;
    const auto caller = std::this_thread::get_id();
    const auto start = std::chrono::steady_clock::now();
    queue.Post([&] {
        worker = std::this_thread::get_id();
        while (!release.load())
            std::this_thread::sleep_for(5ms);
        order.push_back(1);
    });
    queue.Post([] { throw std::runtime_error("unreachable contact"); });
    queue.Post([&] { order.push_back(3); });
    // Posting never waits for a job that is stuck.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
    EXPECT_EQ(queue.Completed(), 0);
    release.store(true);
    queue.WaitUntilIdle();
    EXPECT_EQ(queue.Completed(), 3);
    EXPECT_EQ(order, (std::vector<int>{1, 3}));
    EXPECT_NE(worker, caller);
}

TEST(ContactCallQueueTest, CloseRunsWhatIsQueuedAndLaterJobsRunOnTheirCaller) {
    ContactCallQueue queue;
    std::atomic<int> ran{0};
    std::atomic<bool> release{false};
    queue.Post([&] {
        while (!release.load())
            std::this_thread::sleep_for(5ms);
        ++ran;
    });
    for (int i = 0; i < 5; ++i)
        queue.Post([&] { ++ran; });
    std::thread releaser([&] {
        std::this_thread::sleep_for(100ms);
        release.store(true);
    });
    queue.Close();
    releaser.join();
    EXPECT_EQ(ran.load(), 6) << "a closed queue drops none of its jobs";

    std::thread::id where;
    queue.Post([&] { where = std::this_thread::get_id(); });
    EXPECT_EQ(where, std::this_thread::get_id());
    EXPECT_EQ(queue.Completed(), 7);
    queue.WaitUntilIdle();
    queue.Close();
}

TEST(ContactCallQueueTest, WaitUntilIdleOnAnUnusedQueueReturnsAtOnce) {
    ContactCallQueue queue;
    queue.WaitUntilIdle();
    EXPECT_EQ(queue.Completed(), 0);
}

} // namespace
