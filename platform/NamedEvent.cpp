#include "platform/NamedEvent.h"

#include "platform/NamedEventState.h"
#include "platform/SessionNamespace.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/futex.h>
#include <signal.h>
#include <string>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <system_error>
#include <unistd.h>

namespace platform {

namespace {

// How long an opener waits for whoever is initialising the object right now.
constexpr std::chrono::milliseconds kInitialiseLimit{2000};
// A waiter never sleeps longer than this before it looks at the word again: a
// waiter that was woken and killed before it took the event must not keep
// the others asleep for the rest of their limits.
constexpr std::chrono::milliseconds kLongestSleep{200};
// Longer waits are cut to this (a year), which is as good as forever.
constexpr std::chrono::milliseconds kLongestLimit{365LL * 24 * 3600 * 1000};

constexpr std::uint32_t kSignalled = NamedEventState::kSignalled;
constexpr std::uint32_t kWaiters = NamedEventState::kWaiters;
constexpr std::uint32_t kHolderMask = NamedEventState::kHolderMask;

[[noreturn]] void Fail(int error, const std::string& what) {
    throw std::system_error(error, std::generic_category(), what);
}

void Pause(std::chrono::milliseconds length) {
    struct timespec pause {};
    pause.tv_sec = static_cast<time_t>(length.count() / 1000);
    pause.tv_nsec = static_cast<long>(length.count() % 1000) * 1'000'000L;
    nanosleep(&pause, nullptr);
}

const std::string& BootId() {
    static const std::string id = [] {
        char text[40] = {};
        if (FILE* file = std::fopen("/proc/sys/kernel/random/boot_id", "re")) {
            if (std::fgets(text, sizeof text, file) == nullptr)
                text[0] = '\0';
            std::fclose(file);
        }
        std::string value(text);
        while (!value.empty() && (value.back() == '\n' || value.back() == ' '))
            value.pop_back();
        return value;
    }();
    return id;
}

std::uint64_t OwnStartTime() {
    // Cached per thread and process id: a forked child has its own start time.
    thread_local pid_t cachedPid = 0;
    thread_local std::uint64_t cachedStart = 0;
    pid_t self = getpid();
    if (cachedPid != self) {
        cachedStart = ProcessStartTime(self);
        cachedPid = self;
    }
    return cachedStart;
}

std::atomic_ref<std::uint32_t> Word(NamedEventState* state) {
    return std::atomic_ref<std::uint32_t>(state->word);
}

std::atomic_ref<std::uint64_t> Stamp(NamedEventState* state) {
    return std::atomic_ref<std::uint64_t>(state->holderStamp);
}

std::uint64_t MakeStamp(pid_t pid, std::uint64_t start) {
    return (std::uint64_t(std::uint32_t(pid)) << NamedEventState::kStampPidShift) |
           (start & NamedEventState::kStampStartMask);
}

// The word is shared between processes: the futex calls must not be private.
void WaitWhileWordIs(NamedEventState* state, std::uint32_t seen,
                     std::chrono::steady_clock::duration length) {
    auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(length).count();
    struct timespec relative {};
    relative.tv_sec = static_cast<time_t>(nanos / 1'000'000'000);
    relative.tv_nsec = static_cast<long>(nanos % 1'000'000'000);
    // EAGAIN (the word changed), EINTR and ETIMEDOUT all send the caller back
    // to look at the word.
    syscall(SYS_futex, &state->word, FUTEX_WAIT, seen, &relative, nullptr, 0);
}

void WakeOne(NamedEventState* state) {
    syscall(SYS_futex, &state->word, FUTEX_WAKE, 1, nullptr, nullptr, 0);
}

void InitialiseState(NamedEventState* state) {
    std::memset(state->bootId, 0, sizeof state->bootId);
    std::memcpy(state->bootId, BootId().data(),
                std::min(BootId().size(), sizeof state->bootId - 1));
    Word(state).store(0);
    state->reserved = 0;
    Stamp(state).store(0);
    std::atomic_ref<std::uint32_t>(state->ready).store(NamedEventState::kLayout,
                                                       std::memory_order_release);
}

bool StateIsCurrent(NamedEventState* state) {
    if (std::atomic_ref<std::uint32_t>(state->ready).load(std::memory_order_acquire) !=
        NamedEventState::kLayout)
        return false;
    char bootId[sizeof state->bootId];
    std::memcpy(bootId, state->bootId, sizeof bootId);
    bootId[sizeof bootId - 1] = '\0';
    return BootId() == bootId;
}

// Holds the file lock that serialises initialisation; the kernel drops it if
// the initialising process dies, so the next opener finishes the job.
class InitialiseLock {
public:
    explicit InitialiseLock(int fd)
        : m_fd(fd) {
        auto deadline = std::chrono::steady_clock::now() + kInitialiseLimit;
        while (flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK && errno != EINTR)
                Fail(errno, "cannot lock a named event for initialisation");
            if (std::chrono::steady_clock::now() >= deadline)
                Fail(ETIMEDOUT, "a named event stays busy initialising");
            Pause(std::chrono::milliseconds(2));
        }
    }
    ~InitialiseLock() { flock(m_fd, LOCK_UN); }
    InitialiseLock(const InitialiseLock&) = delete;
    InitialiseLock& operator=(const InitialiseLock&) = delete;

private:
    int m_fd;
};

class FileCloser {
public:
    explicit FileCloser(int fd)
        : m_fd(fd) {}
    ~FileCloser() { close(m_fd); }
    FileCloser(const FileCloser&) = delete;
    FileCloser& operator=(const FileCloser&) = delete;

private:
    int m_fd;
};

// True when the word names a holder that no longer exists (or whose process
// id now belongs to a process started later).
bool HolderIsDead(NamedEventState* state, std::uint32_t word) {
    if ((word & kSignalled) != 0 || (word & kHolderMask) == 0)
        return false;
    const pid_t holder = static_cast<pid_t>(word & kHolderMask);
    std::uint64_t start = ProcessStartTime(holder);
    if (start == 0)
        return true;
    std::uint64_t stamp = Stamp(state).load();
    if ((stamp >> NamedEventState::kStampPidShift) != std::uint64_t(holder))
        return false;
    std::uint64_t recorded = stamp & NamedEventState::kStampStartMask;
    return recorded != 0 && recorded != (start & NamedEventState::kStampStartMask);
}

} // namespace

std::unique_ptr<NamedEvent> NamedEvent::OpenOrCreate(std::string_view name) {
    auto path = SessionObjectPath(name);
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0 && errno == EEXIST)
        fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        Fail(errno, "cannot open named event " + path.string());
    FileCloser closer(fd);

    // The creator (O_EXCL above) and every opener take the same file lock, and
    // whoever holds it while the object is not yet initialised for this boot
    // does the initialisation. So an opener never maps a half-made object, and
    // a creator that died half-way is finished by the next opener.
    InitialiseLock initialising(fd);
    struct stat info {};
    if (fstat(fd, &info) != 0)
        Fail(errno, "cannot inspect named event " + path.string());
    if (!S_ISREG(info.st_mode))
        Fail(EINVAL, "named event is not a plain file: " + path.string());
    const std::size_t size = sizeof(NamedEventState);
    if (static_cast<std::size_t>(info.st_size) < size && ftruncate(fd, off_t(size)) != 0)
        Fail(errno, "cannot size named event " + path.string());
    void* mapped = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mapped == MAP_FAILED)
        Fail(errno, "cannot map named event " + path.string());
    auto* state = static_cast<NamedEventState*>(mapped);
    if (!StateIsCurrent(state)) {
        try {
            InitialiseState(state);
        } catch (...) {
            munmap(mapped, size);
            throw;
        }
    }
    return std::unique_ptr<NamedEvent>(new NamedEvent(state, size));
}

NamedEvent::NamedEvent(NamedEventState* state, std::size_t mappedSize)
    : m_state(state)
    , m_mappedSize(mappedSize) {}

NamedEvent::~NamedEvent() {
    munmap(m_state, m_mappedSize);
}

void NamedEvent::Set() {
    if ((Word(m_state).exchange(kSignalled) & kWaiters) != 0)
        WakeOne(m_state);
}

void NamedEvent::Reset() {
    std::uint32_t expected = kSignalled;
    Word(m_state).compare_exchange_strong(expected, 0);
}

void NamedEvent::RecordHolder() {
    Stamp(m_state).store(MakeStamp(getpid(), OwnStartTime()));
}

bool NamedEvent::TryTake(bool othersMayWait) {
    std::uint32_t expected = kSignalled;
    // A waiter that slept cannot know whether others still sleep beside it,
    // so it keeps the waiters bit for the next Set.
    std::uint32_t taken = static_cast<std::uint32_t>(getpid()) | (othersMayWait ? kWaiters : 0);
    if (!Word(m_state).compare_exchange_strong(expected, taken))
        return false;
    RecordHolder();
    return true;
}

bool NamedEvent::Wait(std::chrono::milliseconds limit) {
    // A limit of "forever" must not overflow the clock.
    limit = std::clamp(limit, std::chrono::milliseconds::zero(), kLongestLimit);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    // Read (and cached) before the take, so that the holder's stamp goes in
    // right after it rather than after a read of /proc.
    OwnStartTime();
    bool slept = false;
    for (;;) {
        std::uint32_t seen = Word(m_state).load();
        if (seen == kSignalled) {
            if (TryTake(slept))
                return true;
            continue;
        }
        auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero())
            return false;
        if ((seen & kWaiters) == 0) {
            if (!Word(m_state).compare_exchange_strong(seen, seen | kWaiters))
                continue;
            seen |= kWaiters;
        }
        WaitWhileWordIs(m_state, seen,
                        std::min<std::chrono::steady_clock::duration>(left, kLongestSleep));
        slept = true;
    }
}

bool NamedEvent::IsSignalled() const {
    return Word(m_state).load() == kSignalled;
}

pid_t NamedEvent::LastTaker() const {
    std::uint32_t word = Word(m_state).load();
    return word == kSignalled ? 0 : static_cast<pid_t>(word & kHolderMask);
}

bool NamedEvent::IsHeldByDeadProcess() const {
    return HolderIsDead(m_state, Word(m_state).load());
}

bool NamedEvent::TakeOverFromDeadHolder() {
    std::uint32_t word = Word(m_state).load();
    if (!HolderIsDead(m_state, word))
        return false;
    std::uint32_t taken = static_cast<std::uint32_t>(getpid()) | (word & kWaiters);
    if (!Word(m_state).compare_exchange_strong(word, taken))
        return false;
    RecordHolder();
    return true;
}

bool ProcessExists(pid_t pid) {
    return ProcessStartTime(pid) != 0;
}

std::uint64_t ProcessStartTime(pid_t pid) {
    if (pid <= 0)
        return 0;
    if (kill(pid, 0) != 0 && errno != EPERM)
        return 0;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    FILE* file = std::fopen(path, "re");
    if (file == nullptr)
        return 0;
    char text[1024] = {};
    std::size_t length = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    text[length] = '\0';
    // The command name in parentheses may hold spaces and parentheses itself:
    // the fields that follow start after the last ')'.
    const char* rest = std::strrchr(text, ')');
    if (rest == nullptr)
        return 0;
    char state = '\0';
    unsigned long long start = 0;
    // Fields 3 (state) to 22 (start time): skip 4..21.
    int matched = std::sscanf(rest + 1,
                              " %c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %*u %*u %*d %*d %*d %*d "
                              "%*d %*d %llu",
                              &state, &start);
    if (matched != 2 || state == 'Z' || state == 'X' || state == 'x')
        return 0;
    // A process that started in the very first tick still exists.
    return start == 0 ? 1 : start;
}

} // namespace platform
