#include "platform/SingleInstanceGuard.h"

#include "platform/SessionNamespace.h"
#include "support/TestSupport.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

class SingleInstanceGuardTest : public ::testing::Test {
protected:
    void SetUp() override { setenv("XDG_RUNTIME_DIR", m_runtime.Path().c_str(), 1); }
    testsupport::TempDir m_runtime;
};

TEST_F(SingleInstanceGuardTest, OneHolderAtATimeAndFreeAgainWhenReleased) {
    const char* name = "Quembly class Class";
    EXPECT_FALSE(platform::SingleInstanceGuard::IsHeld(name));
    EXPECT_FALSE(std::filesystem::exists(platform::SessionObjectPath(name, ".lock")))
        << "looking must not create the lock file";

    auto guard = platform::SingleInstanceGuard::TryAcquire(name);
    ASSERT_NE(guard, nullptr);
    EXPECT_TRUE(platform::SingleInstanceGuard::IsHeld(name)) << "held by this very process";
    EXPECT_EQ(platform::SingleInstanceGuard::TryAcquire(name), nullptr);
    EXPECT_FALSE(platform::SingleInstanceGuard::IsHeld("Pellow Class"));

    guard.reset();
    EXPECT_FALSE(platform::SingleInstanceGuard::IsHeld(name));
    EXPECT_NE(platform::SingleInstanceGuard::TryAcquire(name), nullptr);
}

TEST_F(SingleInstanceGuardTest, AnotherProcessHoldsItUntilItIsKilled) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t holder = fork();
    if (holder == 0) {
        auto guard = platform::SingleInstanceGuard::TryAcquire("Pellow Class");
        char byte = guard ? 'y' : 'n';
        (void)!write(ready[1], &byte, 1);
        pause();
        _exit(0);
    }
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    ASSERT_EQ(byte, 'y');
    EXPECT_TRUE(platform::SingleInstanceGuard::IsHeld("Pellow Class"));
    EXPECT_EQ(platform::SingleInstanceGuard::TryAcquire("Pellow Class"), nullptr);

    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
    EXPECT_FALSE(platform::SingleInstanceGuard::IsHeld("Pellow Class"));
    EXPECT_NE(platform::SingleInstanceGuard::TryAcquire("Pellow Class"), nullptr)
        << "a crashed holder must not block the next start";
}

TEST_F(SingleInstanceGuardTest, LookingNeverTurnsAwayAStartingInstance) {
    const char* name = "Halvara working icon Class";
    std::atomic<bool> stop{false};
    std::atomic<int> looks{0};
    // Clients look at the guard all the time while the service may be starting.
    std::thread looker([&] {
        while (!stop) {
            platform::SingleInstanceGuard::IsHeld(name);
            ++looks;
        }
    });
    int refused = 0;
    for (int round = 0; round < 1000; ++round) {
        auto guard = platform::SingleInstanceGuard::TryAcquire(name);
        if (!guard)
            ++refused;
    }
    stop = true;
    looker.join();
    EXPECT_GT(looks.load(), 0);
    EXPECT_EQ(refused, 0);
}

// The lock file is anyone's to write: only a well-formed name and process id
// of a guard that is held now name a holder, and a holder that names nobody
// clears the name its predecessor left.
TEST_F(SingleInstanceGuardTest, TheHolderIsNamedOnlyWhileHeldAndOnlyWhenWellFormed) {
    const char* name = "Pellow Class";
    using Guard = platform::SingleInstanceGuard;
    {
        auto guard = Guard::TryAcquire(name, "drovick");
        ASSERT_NE(guard, nullptr);
        auto holder = Guard::HolderOf(name);
        ASSERT_TRUE(holder.has_value());
        EXPECT_EQ(holder->program, "drovick");
        EXPECT_EQ(holder->processId, getpid());
    }
    EXPECT_FALSE(Guard::HolderOf(name).has_value()) << "a file left behind names nobody";
    {
        auto unnamed = Guard::TryAcquire(name);
        ASSERT_NE(unnamed, nullptr);
        EXPECT_FALSE(Guard::HolderOf(name).has_value()) << "the earlier name was cleared";
    }

    const auto path = platform::SessionObjectPath(name, ".lock");
    const std::string damaged[] = {"drovick",
                                   "drovick\n12x\n",
                                   "\n12\n",
                                   "drovick\n0\n",
                                   "dro\x1bvick\n12\n",
                                   std::string(70, 'a') + "\n12\n",
                                   "drovick\n99999999999\n",
                                   "drovick\n12\n" + std::string(4096, ' ')};
    for (const std::string& text : damaged) {
        auto guard = Guard::TryAcquire(name);
        ASSERT_NE(guard, nullptr);
        FILE* file = fopen(path.c_str(), "w");
        ASSERT_NE(file, nullptr);
        fwrite(text.data(), 1, text.size(), file);
        fclose(file);
        EXPECT_FALSE(Guard::HolderOf(name).has_value()) << text.substr(0, 40);
    }
}

} // namespace
