#include "ProgressDisplay.h"

#include "Program.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <unistd.h>

namespace {

// Whole megabytes with one decimal, or kilobytes below one megabyte.
std::string Amount(std::int64_t bytes) {
    char text[32];
    if (bytes >= 1024 * 1024)
        std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    else
        std::snprintf(text, sizeof text, "%.1f KB", static_cast<double>(bytes) / 1024.0);
    return text;
}

} // namespace

ProgressDisplay::ProgressDisplay(int fd, bool terminal)
    : m_fd(fd)
    , m_terminal(terminal) {}

void ProgressDisplay::Update(std::int64_t received, std::int64_t size) {
    if (size <= 0)
        return;
    m_size = size;
    // The last block is padded past the end of the file.
    received = std::clamp<std::int64_t>(received, 0, size);
    if (m_terminal) {
        const auto now = std::chrono::steady_clock::now();
        if (m_drawn && received < size && now - m_lastDraw < std::chrono::milliseconds(100))
            return;
        m_lastDraw = now;
        Draw(received);
        return;
    }
    const int tenth = static_cast<int>(received * 10 / size);
    if (tenth == m_lastTenth)
        return;
    m_lastTenth = tenth;
    WriteLine(m_fd, "received " + std::to_string(received) + " of " + std::to_string(size) +
                        " bytes (" + std::to_string(tenth * 10) + "%)");
}

void ProgressDisplay::Draw(std::int64_t received) {
    const int percent = static_cast<int>(received * 100 / m_size);
    const int filled = static_cast<int>(received * kBarWidth / m_size);
    std::string line = "\r[" + std::string(static_cast<std::size_t>(filled), '#') +
                       std::string(static_cast<std::size_t>(kBarWidth - filled), ' ') + "] ";
    char number[8];
    std::snprintf(number, sizeof number, "%3d%%", percent);
    line += number;
    line += "  " + Amount(received) + " of " + Amount(m_size) + "   ";
    if (write(m_fd, line.data(), line.size()) < 0)
        return;
    m_drawn = true;
}

void ProgressDisplay::Finish() {
    if (m_terminal && m_drawn)
        WriteLine(m_fd, "");
}
