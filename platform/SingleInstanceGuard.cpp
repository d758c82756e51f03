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

// A name, a line feed, a process id and a line feed; anything longer was not
// written by a holder.
constexpr std::size_t kMaxHolderText = SingleInstanceGuard::kMaxProgramName + 24;

bool WriteHolder(int fd, std::string_view program) {
    std::string text(program.substr(0, SingleInstanceGuard::kMaxProgramName));
    text += "\n" + std::to_string(getpid()) + "\n";
    if (ftruncate(fd, 0) != 0)
        return false;
    return pwrite(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size());
}

std::optional<SingleInstanceGuard::Holder> ParseHolder(const std::string& text) {
    const auto nameEnd = text.find('\n');
    if (nameEnd == std::string::npos || nameEnd == 0 ||
        nameEnd > SingleInstanceGuard::kMaxProgramName)
        return std::nullopt;
    SingleInstanceGuard::Holder holder;
    holder.program = text.substr(0, nameEnd);
    for (char c : holder.program) {
        if (c < 0x20 || c > 0x7e)
            return std::nullopt;
    }
    const auto idEnd = text.find('\n', nameEnd + 1);
    const std::string id = text.substr(nameEnd + 1, idEnd - nameEnd - 1);
    if (idEnd == std::string::npos || id.empty() || id.size() > 10 ||
        id.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    holder.processId = std::stol(id);
    if (holder.processId <= 0)
        return std::nullopt;
    return holder;
}

} // namespace

std::unique_ptr<SingleInstanceGuard> SingleInstanceGuard::TryAcquire(std::string_view name,
                                                                     std::string_view program) {
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
    // Without its name written the guard still guards; only the message of
    // the one turned away is less precise. A holder that names nobody clears
    // the name an earlier holder left.
    if (program.empty())
        (void)!ftruncate(fd, 0);
    else
        (void)WriteHolder(fd, program);
    return std::unique_ptr<SingleInstanceGuard>(new SingleInstanceGuard(fd));
}

std::optional<SingleInstanceGuard::Holder> SingleInstanceGuard::HolderOf(std::string_view name) {
    if (!IsHeld(name))
        return std::nullopt;
    auto path = SessionObjectPath(name, ".lock");
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return std::nullopt;
    char buffer[kMaxHolderText + 1];
    const ssize_t got = pread(fd, buffer, sizeof buffer, 0);
    close(fd);
    if (got <= 0 || static_cast<std::size_t>(got) > kMaxHolderText)
        return std::nullopt;
    return ParseHolder(std::string(buffer, static_cast<std::size_t>(got)));
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
