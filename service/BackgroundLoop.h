#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// One of the engine's background threads (current-IP probe, reconnect loop,
// live check): a thread at the lowest priority that runs a body until the body
// returns or its run flag is cleared.
//
// Stopping never has to wait for a slow round: RequestStop only clears the
// flag, and a new Start does not wait for a run that is still winding down (a
// peer query may hold it for its time limit); each run has its own flag, and
// the threads of old runs are collected at the next Start or by StopAndWait.
class BackgroundLoop {
public:
    static constexpr int kSleepStepMs = 500;

    // What a run's body sees of its own run.
    class Control {
    public:
        bool ShouldRun() const { return m_run.load(); }
        // Sleeps ms milliseconds in steps of at most kSleepStepMs, looking at
        // the run flag between steps (a stop wakes it at once). False when the
        // run flag was cleared.
        bool Sleep(int ms);

    private:
        friend class BackgroundLoop;
        std::atomic<bool> m_run{true};
        std::atomic<bool> m_ended{false};
        std::mutex m_lock;
        std::condition_variable m_wake;
    };
    using Body = std::function<void(Control&)>;

    BackgroundLoop() = default;
    ~BackgroundLoop();
    BackgroundLoop(const BackgroundLoop&) = delete;
    BackgroundLoop& operator=(const BackgroundLoop&) = delete;

    // Starts a run of body unless a run whose flag is set is still going.
    // Called from the loop's own thread, it sets that run's flag again instead.
    // Returns whether a new thread was started.
    bool Start(Body body);
    // Clears the run flag of the current run; does not wait.
    void RequestStop();
    // Clears the flag and waits for every thread this object started (a call
    // from one of them does not wait for itself).
    void StopAndWait();
    // A run whose flag is set and whose body has not returned.
    bool IsRunning() const;
    // How many runs were started.
    int StartCount() const;

private:
    struct Run {
        std::shared_ptr<Control> control;
        std::thread thread;
    };
    void CollectEnded();

    mutable std::mutex m_lock;
    std::vector<Run> m_runs;
    int m_startCount = 0;
};
