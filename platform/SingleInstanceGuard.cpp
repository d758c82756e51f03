#include "platform/SingleInstanceGuard.h"

#include "platform/SessionNamespace.h"

#include <cerrno>
#include <chrono>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <unistd.h>

namespace platform {

namespace {

// IsHeld probes with a shared lock for a moment. An exclusive TryAcquire that
// meets such a probe retries for this long, so a starting instance is never
// turned away by a client that merely looked; a real holder keeps its lock for
// far longer than this.
constexpr auto kProbeTolerance = std::chrono::milliseconds(150);

} // namespace

std::unique_ptr<SingleInstanceGuard> SingleInstanceGuard::TryAcquire(std::string_view name) {
    auto path = SessionObjectPath(name, ".lock");
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return nullptr;
    auto deadline = std::chrono::steady_clock::now() + kProbeTolerance;
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        bool busy = errno == EWOULDBLOCK || errno == EINTR;
        if (!busy || std::chrono::steady_clock::now() >= deadline) {
            close(fd);
            return nullptr;
        }
        struct timespec pause {
            0, 2'000'000
        };
        nanosleep(&pause, nullptr);
    }
    return std::unique_ptr<SingleInstanceGuard>(new SingleInstanceGuard(fd));
}

bool SingleInstanceGuard::IsHeld(std::string_view name) {
    auto path = SessionObjectPath(name, ".lock");
    // Never create the file here: a guard nobody ever took is simply free.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return false;
    // A lock of our own on a fresh open file conflicts with the holder's lock
    // even inside the holder's process, so "this process holds it" reads true.
    bool held = false;
    if (flock(fd, LOCK_SH | LOCK_NB) == 0)
        flock(fd, LOCK_UN);
    else
        held = errno == EWOULDBLOCK;
    close(fd);
    return held;
}

SingleInstanceGuard::~SingleInstanceGuard() {
    close(m_fd);
}

} // namespace platform
