#pragma once

#include "BackgroundLoop.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

// The current-IP probe: one thread at the lowest priority that looks up this
// computer's address every interval, so the engine's many "has the local host
// an address?" questions never wait for a look-up.
//
// Reading waits until the first probe has finished. A probe that has been
// running for longer than the hang limit makes the answer "0.0.0.0": a
// computer whose look-up hangs counts as having no address.
class CurrentIPProbe {
public:
    static constexpr int kIntervalMs = 2000;
    static constexpr std::chrono::milliseconds kHangLimit{5000};
    static constexpr std::chrono::milliseconds kReadStep{250};

    // lookup gives the address text, "0.0.0.0" when there is none; it runs
    // under the process-wide peer lock.
    explicit CurrentIPProbe(std::function<std::string()> lookup, int intervalMs = kIntervalMs,
                            std::chrono::milliseconds hangLimit = kHangLimit);
    ~CurrentIPProbe();
    CurrentIPProbe(const CurrentIPProbe&) = delete;
    CurrentIPProbe& operator=(const CurrentIPProbe&) = delete;

    // Starts the loop (no effect while it runs).
    void Start();
    // Stops the loop and waits for it; the last address stays readable.
    void Stop();
    // The address of the last finished probe ("0.0.0.0" when unknown). Waits
    // for the first probe while the loop runs.
    std::string Read() const;
    // How many probes have finished.
    int ProbeCount() const;

private:
    void Loop(BackgroundLoop::Control& control);

    std::function<std::string()> m_lookup;
    int m_intervalMs;
    std::chrono::milliseconds m_hangLimit;

    // The flags: a probe running, when it started, whether one has finished.
    mutable std::mutex m_flagLock;
    mutable std::condition_variable m_finished;
    bool m_probing = false;
    std::chrono::steady_clock::time_point m_probeStart{};
    int m_probeCount = 0;
    bool m_looping = false;

    // The address text.
    mutable std::mutex m_addressLock;
    std::string m_address = "0.0.0.0";

    BackgroundLoop m_loop;
};
