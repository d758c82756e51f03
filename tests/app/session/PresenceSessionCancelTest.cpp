// A program that quits while its presence start still waits for a service that
// never comes: the session gives the start up and ends within two seconds,
// instead of the library's start limit of ten, and the process then ends the
// ordinary way (static destructors, leak check). One library start per
// process, so this program holds one test.

#include "app/session/PresenceSession.h"
#include "halvara.h"
#include "support/TestSupport.h"

#include <chrono>
#include <cstdlib>
#include <future>
#include <gtest/gtest.h>
#include <thread>

namespace {

using namespace std::chrono_literals;

TEST(PresenceSessionCancel, AStartWaitingForNoServiceEndsWithTheSessionWithinTwoSeconds) {
    testsupport::TempDir runtime;
    testsupport::ScopedEnvironment environment;
    environment.Set("XDG_RUNTIME_DIR", runtime.Path().string());
    // A "service" that ends at once and never takes its guard.
    environment.Set("HALVSERVE_PATH", "/bin/true");
    unsetenv("HALVARA_BRIDGE_START_LIMIT_MS");

    std::promise<bool> answered;
    auto answer = answered.get_future();
    auto session = std::make_unique<PresenceSession>();
    // The window program's start, which would otherwise also tell the user
    // why it failed.
    int window = 0;
    session->SetParentWindow(&window);
    session->StartInBackground([&answered](bool registered) { answered.set_value(registered); });
    // Well inside the library's wait for the service.
    std::this_thread::sleep_for(500ms);
    ASSERT_FALSE(session->HasAnswered());

    const auto quitting = std::chrono::steady_clock::now();
    session.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - quitting, 2s);
    ASSERT_EQ(answer.wait_for(0s), std::future_status::ready);
    EXPECT_FALSE(answer.get());
    // The library keeps the failed start's answer and asks nothing more.
    EXPECT_EQ(Halvara_Initialize(reinterpret_cast<HalvaraWindow>(&window), kDrovickTos), 0);
    EXPECT_EQ(Halvara_CancelInitialize(), 0);
}

} // namespace
