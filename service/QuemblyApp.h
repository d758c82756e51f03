#pragma once

#include "PresenceEngine.h"
#include "platform/ThreadExitCode.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

class BridgeDispatcher;
class MemoryChannel;

namespace platform {
class SingleInstanceGuard;
}

// halvserve's application object: the single-instance guard, the bridge thread
// that owns the engine and the service end of the channel, and the main
// thread's wait for it.
//
// Exit codes of the process:
//   0  the bridge loop ended (no application holds an active TOS any more,
//      nobody used the service for kIdleLimit while no TOS was active, or the
//      engine or the channel could not be set up)
//   1  another halvserve of this session holds the guard; this one ended at
//      once without touching it
//   2  start-up failed before the bridge thread ran (no usable session
//      namespace, or no thread could be started)
class QuemblyApp {
public:
    static constexpr int kExitDone = 0;
    static constexpr int kExitAlreadyRunning = 1;
    static constexpr int kExitStartFailed = 2;
    static constexpr const char* kGuardName = "Quembly class Class";
    // A service that no application has registered with, and that no client
    // has called, for this long ends by itself: every client launches a
    // service, and one launched just as the previous one ended would
    // otherwise run for ever with nobody to unregister from it.
    static constexpr std::chrono::milliseconds kIdleLimit{30000};

    using EngineFactory = std::function<std::unique_ptr<PresenceEngine>()>;

    // The factory runs on the bridge thread, which then owns the engine.
    explicit QuemblyApp(EngineFactory engineFactory,
                        std::chrono::milliseconds idleLimit = kIdleLimit);
    ~QuemblyApp();

    QuemblyApp(const QuemblyApp&) = delete;
    QuemblyApp& operator=(const QuemblyApp&) = delete;

    // Takes the guard and starts the bridge thread. False when the process must
    // end at once; ExitCode() then says why.
    bool InitInstance();
    // Waits for the bridge thread, releases the guard; returns the exit code.
    int Run();
    int ExitCode() const { return m_exitCode; }

private:
    void StartBridgeThread();
    void WaitForBridgeThread();
    void BridgeThread();
    void ServeOneRequest(MemoryChannel& channel, BridgeDispatcher& dispatcher);
    // Ends the bridge loop's waits once the service has been idle for the
    // limit; runs until the loop ends.
    void WatchIdleness();

    EngineFactory m_engineFactory;
    std::unique_ptr<platform::SingleInstanceGuard> m_guard;
    // 1 while the bridge loop must go on; command 18 clears it.
    std::atomic<int> m_running{0};
    std::atomic<int> m_bridgeExitCode{platform::kThreadStillActive};
    std::chrono::milliseconds m_idleLimit;
    // Written by the bridge thread after each exchange, read by the watch.
    std::atomic<int> m_activeTos{0};
    std::atomic<std::chrono::steady_clock::rep> m_lastExchange{0};
    // Given to the channel: its waits end once this is set.
    std::atomic<bool> m_idleStop{false};
    std::thread m_bridgeThread;
    int m_exitCode = kExitDone;
};
