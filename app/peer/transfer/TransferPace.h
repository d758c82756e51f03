#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

// The lowest rate a download may go at. Time is cut into windows; a window in
// which the reader took fewer than minimumRate bytes a second ends the
// download, so a reader that takes a trickle holds its connection for about
// one window once the socket buffers are full, however large the file.
class TransferPace {
public:
    using Clock = std::chrono::steady_clock;

    TransferPace(std::size_t minimumRate, std::chrono::milliseconds window,
                 Clock::time_point start = Clock::now());

    void Sent(std::size_t bytes) { m_sent += bytes; }
    // Closes the windows that have passed by now; false once one of them fell
    // short of the rate.
    bool Keeps(Clock::time_point now = Clock::now());
    // When the current window closes: no send should wait past it.
    Clock::time_point WindowEnd() const { return m_windowStart + m_window; }

private:
    const std::uint64_t m_minimumRate;
    const std::chrono::milliseconds m_window;
    Clock::time_point m_windowStart;
    std::uint64_t m_sent = 0;
};
