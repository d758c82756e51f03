#include "app/files/LogEvent.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// Records rows like the monitor's list and notices overlapping calls.
class RecordingReceiver : public LogReceiver {
public:
    void AppendEvent(const std::string& line) override {
        if (m_inside.exchange(true))
            m_overlaps.fetch_add(1);
        {
            std::lock_guard lock(m_mutex);
            m_rows.push_back(line);
        }
        m_inside.store(false);
    }
    std::vector<std::string> Rows() {
        std::lock_guard lock(m_mutex);
        return m_rows;
    }
    int Overlaps() const { return m_overlaps.load(); }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_rows;
    std::atomic<bool> m_inside{false};
    std::atomic<int> m_overlaps{0};
};

TEST(LogEventTest, EventsWithoutAReceiverAreLost) {
    LogEvent log;
    RecordingReceiver receiver;
    EXPECT_FALSE(log.HasReceiver());
    log("NFSServer: New client connection");
    log.Register(&receiver);
    EXPECT_TRUE(log.HasReceiver());
    log("SearchServer: Got a search request");
    log.Unregister(&receiver);
    log("TransferServer: lost");
    EXPECT_EQ(receiver.Rows(), std::vector<std::string>{"SearchServer: Got a search request"});
}

TEST(LogEventTest, EachEventIsOneRow) {
    LogEvent log;
    RecordingReceiver receiver;
    log.Register(&receiver);
    log("   Error: Did not receive reply.\n");
    log("two\nlines\n\n");
    log("");
    log(static_cast<const char*>(nullptr));
    log(std::string_view("with\0nul", 8));
    // A peer's path in a server's event cannot steer the terminal that shows it.
    log("TransferServer: Request for /s/\x1b]0;x\x07\rNFSServer: \xc2\x9b");
    const std::vector<std::string> expected = {
        "   Error: Did not receive reply. ", "two lines  ", "with?nul",
        "TransferServer: Request for /s/?]0;x??NFSServer: ?"};
    EXPECT_EQ(receiver.Rows(), expected);
}

TEST(LogEventTest, UnregisteringSomeoneElseKeepsTheReceiver) {
    LogEvent log;
    RecordingReceiver first;
    RecordingReceiver second;
    log.Register(&first);
    log.Register(&second);
    log.Unregister(&first);
    EXPECT_TRUE(log.HasReceiver());
    log("x");
    EXPECT_TRUE(first.Rows().empty());
    EXPECT_EQ(second.Rows().size(), 1u);
}

TEST(LogEventTest, ManyThreadsDeliverEveryEventInOrderPerThread) {
    LogEvent log;
    RecordingReceiver receiver;
    log.Register(&receiver);
    constexpr int kThreads = 8;
    constexpr int kEvents = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&log, t] {
            for (int i = 0; i < kEvents; ++i)
                log(std::to_string(t) + ":" + std::to_string(i) + "\n");
        });
    }
    for (auto& thread : threads)
        thread.join();

    const auto rows = receiver.Rows();
    ASSERT_EQ(rows.size(), std::size_t(kThreads * kEvents));
    EXPECT_EQ(receiver.Overlaps(), 0);
    std::map<int, int> nextOf;
    for (const auto& row : rows) {
        ASSERT_EQ(row.back(), ' ');
        const auto colon = row.find(':');
        const int thread = std::stoi(row.substr(0, colon));
        const int index = std::stoi(row.substr(colon + 1));
        EXPECT_EQ(index, nextOf[thread]) << row;
        nextOf[thread] = index + 1;
    }
}

// Closing the monitor while workers log: once Unregister returns the receiver
// sees nothing more and may go away.
TEST(LogEventTest, NoEventReachesAReceiverAfterUnregister) {
    LogEvent log;
    auto receiver = std::make_unique<RecordingReceiver>();
    log.Register(receiver.get());
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            while (!stop.load())
                log("TransferServer: block sent");
        });
    }
    while (receiver->Rows().size() < 100)
        std::this_thread::yield();
    log.Unregister(receiver.get());
    const std::size_t seen = receiver->Rows().size();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(receiver->Rows().size(), seen);
    // Destroying it now would show up under AddressSanitizer if a worker still
    // held the pointer.
    receiver.reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    stop.store(true);
    for (auto& thread : threads)
        thread.join();
    EXPECT_FALSE(log.HasReceiver());
}

} // namespace
