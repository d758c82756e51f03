#pragma once

// The longest time the user-interface thread could not answer: a 5 ms timer's
// lateness, measured while it runs. Shared by the window benchmarks.

#include <QTimer>
#include <algorithm>
#include <chrono>

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
        });
    }
    void Start() {
        m_longest = {};
        m_last = Clock::now();
        m_timer.start(kTick);
    }
    double LongestMs() const {
        return std::chrono::duration<double, std::milli>(m_longest).count();
    }

private:
    QTimer m_timer;
    Clock::time_point m_last{};
    Clock::duration m_longest{};
};
