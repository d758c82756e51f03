#include "platform/NamedEvent.h"

#include "platform/NamedEventState.h"
#include "platform/SessionNamespace.h"
#include "support/TestSupport.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;

namespace {

class NamedEventTest : public ::testing::Test {
protected:
    void SetUp() override { setenv("XDG_RUNTIME_DIR", m_runtime.Path().c_str(), 1); }
    testsupport::TempDir m_runtime;
};

// Waits for a forked child; kills it when it outlives the limit. Returns its
// exit code, 128 + signal, or -1 on time-out.
int WaitChild(pid_t pid, std::chrono::milliseconds limit) {
    int status = 0;
    bool done = testsupport::WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, limit);
    if (!done) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A child that runs the body and exits with its result; never returns.
template <typename Body>
pid_t Spawn(Body body) {
    pid_t pid = fork();
    if (pid == 0)
        _exit(body());
    return pid;
}

TEST_F(NamedEventTest, AutoResetKeepsASetUntilOneWaiterTakesIt) {
    auto event = platform::NamedEvent::OpenOrCreate("Quembly work wait event recv");
    auto same = platform::NamedEvent::OpenOrCreate("Quembly work wait event recv");
    EXPECT_FALSE(event->IsSignalled());
    EXPECT_FALSE(event->Wait(0ms));
    EXPECT_EQ(event->LastTaker(), 0);

    // A Set before anybody waits is not lost.
    event->Set();
    EXPECT_TRUE(same->IsSignalled());
    EXPECT_TRUE(same->Wait(0ms));
    EXPECT_EQ(event->LastTaker(), getpid());
    // ...and taking it cleared it.
    EXPECT_FALSE(event->IsSignalled());
    EXPECT_FALSE(event->Wait(20ms));

    event->Set();
    event->Set();
    EXPECT_TRUE(event->Wait(0ms));
    EXPECT_FALSE(event->Wait(0ms)) << "two Sets without a waiter between are one Set";

    event->Set();
    event->Reset();
    EXPECT_FALSE(event->Wait(0ms));
    EXPECT_FALSE(event->Wait(-5ms));

    // "Forever" must neither overflow the clock nor miss a Set.
    event->Set();
    EXPECT_TRUE(event->Wait(std::chrono::milliseconds::max()));
}

TEST_F(NamedEventTest, OneSetReleasesExactlyOneOfTwoWaitingProcesses) {
    auto event = platform::NamedEvent::OpenOrCreate("MemoryChannel function protect");
    auto started = platform::NamedEvent::OpenOrCreate("started");
    auto waiter = [] {
        auto own = platform::NamedEvent::OpenOrCreate("MemoryChannel function protect");
        platform::NamedEvent::OpenOrCreate("started")->Set();
        return own->Wait(1500ms) ? 1 : 0;
    };
    pid_t first = Spawn(waiter);
    ASSERT_TRUE(started->Wait(5s));
    pid_t second = Spawn(waiter);
    ASSERT_TRUE(started->Wait(5s));
    std::this_thread::sleep_for(100ms);
    event->Set();
    int taken = WaitChild(first, 10s) + WaitChild(second, 10s);
    EXPECT_EQ(taken, 1);
    EXPECT_FALSE(event->IsSignalled()) << "the waiter that took the event must clear it";
    EXPECT_TRUE(event->LastTaker() != getpid() && event->LastTaker() != 0);
}

TEST_F(NamedEventTest, PingPongBetweenProcessesNeverLosesAWakeUp) {
    constexpr int kRounds = 10'000;
    auto ping = platform::NamedEvent::OpenOrCreate("ping");
    auto pong = platform::NamedEvent::OpenOrCreate("pong");
    pid_t child = Spawn([] {
        auto ownPing = platform::NamedEvent::OpenOrCreate("ping");
        auto ownPong = platform::NamedEvent::OpenOrCreate("pong");
        for (int round = 0; round < kRounds; ++round) {
            if (!ownPing->Wait(5s))
                return 2;
            ownPong->Set();
        }
        return 0;
    });
    int lostAt = -1;
    for (int round = 0; round < kRounds && lostAt < 0; ++round) {
        ping->Set();
        if (!pong->Wait(5s))
            lostAt = round;
    }
    EXPECT_EQ(lostAt, -1);
    EXPECT_EQ(WaitChild(child, 10s), 0);
    EXPECT_FALSE(ping->IsSignalled());
    EXPECT_FALSE(pong->IsSignalled());
}

TEST_F(NamedEventTest, ALockTakenByAKilledProcessIsSeenAndTakenOverOnce) {
    auto lock = platform::NamedEvent::OpenOrCreate("Quembly mem wait event");
    EXPECT_FALSE(lock->IsHeldByDeadProcess()) << "never taken is not held";
    EXPECT_FALSE(lock->TakeOverFromDeadHolder());
    lock->Set();
    auto took = platform::NamedEvent::OpenOrCreate("took");
    pid_t holder = Spawn([] {
        auto own = platform::NamedEvent::OpenOrCreate("Quembly mem wait event");
        if (!own->Wait(5s))
            return 2;
        platform::NamedEvent::OpenOrCreate("took")->Set();
        pause();
        return 0;
    });
    ASSERT_TRUE(took->Wait(5s));
    EXPECT_EQ(lock->LastTaker(), holder);
    EXPECT_FALSE(lock->IsHeldByDeadProcess()) << "the holder still lives";
    EXPECT_FALSE(lock->TakeOverFromDeadHolder());

    kill(holder, SIGKILL);
    EXPECT_EQ(WaitChild(holder, 5s), 128 + SIGKILL);
    EXPECT_TRUE(lock->IsHeldByDeadProcess());
    EXPECT_TRUE(lock->TakeOverFromDeadHolder());
    EXPECT_FALSE(lock->TakeOverFromDeadHolder()) << "only one waiter may take it over";
    EXPECT_EQ(lock->LastTaker(), getpid());
    EXPECT_FALSE(lock->IsSignalled());
    lock->Set();
    EXPECT_FALSE(lock->IsHeldByDeadProcess());
}

TEST_F(NamedEventTest, WaitersKilledInsideTheWaitLeaveNothingBehind) {
    auto event = platform::NamedEvent::OpenOrCreate("Quembly function copy event recv");
    // Several processes die while they wait, some of them just as a Set wakes
    // them; every Set and every wait after that, in any process, must still
    // go through at once.
    for (int round = 0; round < 6; ++round) {
        std::vector<pid_t> waiters;
        for (int i = 0; i < 3; ++i)
            waiters.push_back(Spawn([] {
                auto own = platform::NamedEvent::OpenOrCreate("Quembly function copy event recv");
                return own->Wait(30s) ? 0 : 2;
            }));
        std::this_thread::sleep_for(50ms);
        // Sets run in children, so that a wedged event fails the test instead
        // of hanging it.
        pid_t setter = -1;
        if (round % 2 == 1)
            setter = Spawn([] {
                platform::NamedEvent::OpenOrCreate("Quembly function copy event recv")->Set();
                return 0;
            });
        for (pid_t waiter : waiters)
            kill(waiter, SIGKILL);
        if (setter > 0) {
            ASSERT_EQ(WaitChild(setter, 5s), 0) << "a Set must never wait for a dead waiter";
        }
        for (pid_t waiter : waiters)
            WaitChild(waiter, 5s);
        event->Reset();
    }
    pid_t setter = Spawn([] {
        platform::NamedEvent::OpenOrCreate("Quembly function copy event recv")->Set();
        return 0;
    });
    EXPECT_EQ(WaitChild(setter, 5s), 0) << "a Set must never wait for a dead waiter";
    pid_t taker = Spawn([] {
        auto own = platform::NamedEvent::OpenOrCreate("Quembly function copy event recv");
        if (!own->Wait(2s))
            return 2;
        pid_t waiter = Spawn([] {
            auto again = platform::NamedEvent::OpenOrCreate("Quembly function copy event recv");
            return again->Wait(5s) ? 0 : 3;
        });
        std::this_thread::sleep_for(20ms);
        own->Set();
        return WaitChild(waiter, 5s);
    });
    EXPECT_EQ(WaitChild(taker, 10s), 0);
}

TEST_F(NamedEventTest, AHalfMadeOrStaleObjectIsInitialisedAfresh) {
    // A creator that died before initialising leaves a file of zeros.
    auto path = platform::SessionObjectPath("half made");
    {
        int fd = open(path.c_str(), O_RDWR | O_CREAT, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, sizeof(platform::NamedEventState)), 0);
        close(fd);
    }
    auto halfMade = platform::NamedEvent::OpenOrCreate("half made");
    halfMade->Set();
    EXPECT_TRUE(halfMade->Wait(0ms));

    // A file from an earlier boot, taken by a process of that boot, must not
    // block anybody.
    auto stalePath = platform::SessionObjectPath("stale");
    {
        auto stale = platform::NamedEvent::OpenOrCreate("stale");
        stale->Set();
    }
    {
        int fd = open(stalePath.c_str(), O_RDWR);
        void* mapped = mmap(nullptr, sizeof(platform::NamedEventState), PROT_READ | PROT_WRITE,
                            MAP_SHARED, fd, 0);
        close(fd);
        ASSERT_NE(mapped, MAP_FAILED);
        auto* state = static_cast<platform::NamedEventState*>(mapped);
        std::strcpy(state->bootId, "an earlier boot");
        state->word = static_cast<std::uint32_t>(getppid());
        munmap(mapped, sizeof(platform::NamedEventState));
    }
    auto reopened = platform::NamedEvent::OpenOrCreate("stale");
    EXPECT_FALSE(reopened->IsSignalled()) << "a new boot starts non-signalled";
    reopened->Set();
    EXPECT_TRUE(reopened->Wait(0ms));
}

TEST(ProcessExists, TellsLivingFromGoneAndZombies) {
    EXPECT_TRUE(platform::ProcessExists(getpid()));
    EXPECT_NE(platform::ProcessStartTime(getpid()), 0u);
    EXPECT_FALSE(platform::ProcessExists(0));
    EXPECT_FALSE(platform::ProcessExists(-1));
    pid_t child = fork();
    if (child == 0)
        _exit(0);
    // Not reaped yet: a zombie can never give a lock back.
    ASSERT_TRUE(testsupport::WaitFor([&] { return !platform::ProcessExists(child); }, 5s));
    waitpid(child, nullptr, 0);
    EXPECT_FALSE(platform::ProcessExists(child));
}

} // namespace
