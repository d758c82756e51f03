#pragma once

#include <chrono>
#include <cstdint>

// Shows how far a download got: a bar redrawn in place on a terminal, else a
// plain line at every tenth of the file, so logs stay short and readable.
class ProgressDisplay {
public:
    ProgressDisplay(int fd, bool terminal);

    void Update(std::int64_t received, std::int64_t size);
    // Ends the bar's line on a terminal.
    void Finish();

    // Bytes announced by the server; 0 before the size arrived.
    std::int64_t Size() const { return m_size; }

    static constexpr int kBarWidth = 30;

private:
    void Draw(std::int64_t received);

    const int m_fd;
    const bool m_terminal;
    std::int64_t m_size = 0;
    int m_lastTenth = -1;
    bool m_drawn = false;
    std::chrono::steady_clock::time_point m_lastDraw;
};
