#pragma once

#include <memory>
#include <string_view>

namespace platform {

// A session-wide single-instance guard ("Quembly class Class", "Pellow Class",
// "Halvara working icon Class"): an exclusive flock on "<name>.lock" in the
// session namespace. The kernel drops the lock when the holder dies, so a crashed
// process never blocks the next start.
class SingleInstanceGuard {
public:
    // The guard when this process got it; null when another process holds it.
    static std::unique_ptr<SingleInstanceGuard> TryAcquire(std::string_view name);

    // True when some process (this one included) holds the guard now.
    static bool IsHeld(std::string_view name);

    ~SingleInstanceGuard(); // releases the lock

    SingleInstanceGuard(const SingleInstanceGuard&) = delete;
    SingleInstanceGuard& operator=(const SingleInstanceGuard&) = delete;

private:
    explicit SingleInstanceGuard(int fd) : m_fd(fd) {}
    int m_fd;
};

} // namespace platform
