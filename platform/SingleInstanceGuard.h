#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// A session-wide single-instance guard ("Quembly class Class", "Pellow Class",
// "Halvara working icon Class"): an exclusive flock on "<name>.lock" in the
// session namespace. The kernel drops the lock when the holder dies, so a crashed
// process never blocks the next start.
//
// A holder that names itself writes "<program>\n<process id>\n" into the lock
// file once it holds the lock, so that the one turned away can say who holds it.
class SingleInstanceGuard {
public:
    // The guard when this process got it; null when another process holds it.
    // A non-empty program is written into the lock file with our process id.
    static std::unique_ptr<SingleInstanceGuard> TryAcquire(std::string_view name,
                                                           std::string_view program = {});

    struct Holder {
        std::string program; // printable ASCII only, at most kMaxProgramName bytes
        long processId = 0;
    };
    static constexpr std::size_t kMaxProgramName = 64;
    // Who wrote the lock file, when the guard is held and its holder named
    // itself; nothing otherwise (a file left by a dead holder names nobody).
    static std::optional<Holder> HolderOf(std::string_view name);

    // True when some process (this one included) holds the guard now.
    static bool IsHeld(std::string_view name);

    ~SingleInstanceGuard(); // releases the lock

    SingleInstanceGuard(const SingleInstanceGuard&) = delete;
    SingleInstanceGuard& operator=(const SingleInstanceGuard&) = delete;

private:
    explicit SingleInstanceGuard(int fd)
        : m_fd(fd) {}
    int m_fd;
};

} // namespace platform
