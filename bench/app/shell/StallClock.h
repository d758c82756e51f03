#pragma once

// The longest time the user-interface thread could not answer: a 5 ms timer's
// lateness, measured while it runs. On a loaded machine that lateness is
// mostly other programs' turns, so the thread's own processor time between
// two ticks is kept too: the stall this thread would cause on an idle one.
// Shared by the window benchmarks.

#include <QTimer>
#include <algorithm>
#include <chrono>
#include <ctime>

class StallClock {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kTick{5};

    StallClock() {
        m_timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            const Clock::time_point now = Clock::now();
            m_longest = std::max(m_longest, now - m_last - kTick);
            m_last = now;
            const double cpu = ThreadCpuMs();
            m_longestBusyMs = std::max(m_longestBusyMs, cpu - m_lastCpuMs);
            m_lastCpuMs = cpu;
        });
    }
    void Start() {
        m_longest = {};
        m_last = Clock::now();
        m_longestBusyMs = 0;
        m_lastCpuMs = ThreadCpuMs();
        m_timer.start(kTick);
    }
    double LongestMs() const {
        return std::chrono::duration<double, std::milli>(m_longest).count();
    }

    // The most processor time the thread spent between two ticks.
    double LongestBusyMs() const { return m_longestBusyMs; }

private:
    static double ThreadCpuMs() {
        timespec now{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return static_cast<double>(now.tv_sec) * 1000.0 + static_cast<double>(now.tv_nsec) / 1e6;
    }

    QTimer m_timer;
    double m_lastCpuMs = 0;
    double m_longestBusyMs = 0;
    Clock::time_point m_last{};
    Clock::duration m_longest{};
};
