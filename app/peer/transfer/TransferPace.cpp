#include "app/peer/transfer/TransferPace.h"

#include <algorithm>

TransferPace::TransferPace(std::size_t minimumRate, std::chrono::milliseconds window,
                           Clock::time_point start)
    : m_minimumRate(minimumRate)
    , m_window(std::max(window, std::chrono::milliseconds(1)))
    , m_windowStart(start) {}

bool TransferPace::Keeps(Clock::time_point now) {
    if (now < WindowEnd())
        return true;
    // Measured over the time that really passed, which a long send may have
    // stretched past the window.
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - m_windowStart);
    const std::uint64_t needed = m_minimumRate * static_cast<std::uint64_t>(elapsed.count()) / 1000;
    if (m_sent < needed)
        return false;
    m_windowStart = now;
    m_sent = 0;
    return true;
}
