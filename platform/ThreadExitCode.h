#pragma once

// The exit code a worker thread reports while it still runs, as thread exit
// codes have always said "still active".
namespace platform {
inline constexpr int kThreadStillActive = 259;
} // namespace platform
