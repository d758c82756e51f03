#include "platform/NamedEvent.h"

#include "platform/NamedEventState.h"
#include "platform/SessionNamespace.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <signal.h>
#include <string>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace platform {

namespace {

// How long an opener waits for whoever is initialising the object right now.
constexpr std::chrono::milliseconds kInitialiseLimit{2000};
// A condition-variable wait never sleeps longer than this before it looks at the
// flag again: a waiter killed inside the shared condition variable must not be
// able to swallow a wake-up meant for a live one.
constexpr std::chrono::milliseconds kLongestSleep{200};
// Longer waits are cut to this (a year), which is as good as forever.
constexpr std::chrono::milliseconds kLongestLimit{365LL * 24 * 3600 * 1000};

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

void InitialiseState(NamedEventState* state) {
    pthread_mutexattr_t mutexAttributes;
    pthread_mutexattr_init(&mutexAttributes);
    pthread_mutexattr_setpshared(&mutexAttributes, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&mutexAttributes, PTHREAD_MUTEX_ROBUST);
    int rc = pthread_mutex_init(&state->mutex, &mutexAttributes);
    pthread_mutexattr_destroy(&mutexAttributes);
    if (rc != 0)
        Fail(rc, "cannot initialise the mutex of a named event");

    pthread_condattr_t conditionAttributes;
    pthread_condattr_init(&conditionAttributes);
    pthread_condattr_setpshared(&conditionAttributes, PTHREAD_PROCESS_SHARED);
    pthread_condattr_setclock(&conditionAttributes, CLOCK_MONOTONIC);
    rc = pthread_cond_init(&state->condition, &conditionAttributes);
    pthread_condattr_destroy(&conditionAttributes);
    if (rc != 0)
        Fail(rc, "cannot initialise the condition of a named event");

    std::memset(state->bootId, 0, sizeof state->bootId);
    std::memcpy(state->bootId, BootId().data(),
                std::min(BootId().size(), sizeof state->bootId - 1));
    state->signalled = 0;
    state->lastTaker = 0;
    state->lastTakerStart = 0;
    state->ready.store(NamedEventState::kLayout, std::memory_order_release);
}

bool StateIsCurrent(const NamedEventState* state) {
    if (state->ready.load(std::memory_order_acquire) != NamedEventState::kLayout)
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

// The event's own mutex. A holder that died inside it leaves it EOWNERDEAD; the
// data it guards are single words that are always consistent, so the next
// locker only marks the mutex consistent again and goes on.
class StateLock {
public:
    explicit StateLock(NamedEventState* state)
        : m_state(state) {
        int rc = pthread_mutex_lock(&m_state->mutex);
        if (rc == EOWNERDEAD)
            rc = pthread_mutex_consistent(&m_state->mutex);
        if (rc != 0)
            Fail(rc, "cannot lock a named event");
    }
    ~StateLock() { pthread_mutex_unlock(&m_state->mutex); }
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;

private:
    NamedEventState* m_state;
};

struct timespec MonotonicDeadline(std::chrono::steady_clock::duration fromNow) {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(fromNow).count();
    std::int64_t total = std::int64_t(now.tv_nsec) + nanos;
    struct timespec deadline {};
    deadline.tv_sec = now.tv_sec + static_cast<time_t>(total / 1'000'000'000);
    deadline.tv_nsec = static_cast<long>(total % 1'000'000'000);
    return deadline;
}

bool HolderIsDead(const NamedEventState* state) {
    if (state->signalled != 0 || state->lastTaker <= 0)
        return false;
    std::uint64_t start = ProcessStartTime(state->lastTaker);
    if (start == 0)
        return true;
    return state->lastTakerStart != 0 && start != state->lastTakerStart;
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
    StateLock lock(m_state);
    m_state->signalled = 1;
    // Everybody wakes and checks the flag; the first to get the mutex takes the
    // event, the others find it cleared and sleep again. That keeps "one Set
    // releases one waiter" even when a waiter has died inside the condition.
    pthread_cond_broadcast(&m_state->condition);
}

void NamedEvent::Reset() {
    StateLock lock(m_state);
    m_state->signalled = 0;
}

bool NamedEvent::Wait(std::chrono::milliseconds limit) {
    // A limit of "forever" must not overflow the clock.
    limit = std::clamp(limit, std::chrono::milliseconds::zero(), kLongestLimit);
    auto deadline = std::chrono::steady_clock::now() + limit;
    const std::uint64_t ownStart = OwnStartTime();
    StateLock lock(m_state);
    while (m_state->signalled == 0) {
        auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero())
            return false;
        struct timespec wakeUp =
            MonotonicDeadline(std::min<std::chrono::steady_clock::duration>(left, kLongestSleep));
        int rc = pthread_cond_timedwait(&m_state->condition, &m_state->mutex, &wakeUp);
        if (rc == EOWNERDEAD)
            pthread_mutex_consistent(&m_state->mutex);
    }
    m_state->signalled = 0;
    m_state->lastTaker = getpid();
    m_state->lastTakerStart = ownStart;
    return true;
}

bool NamedEvent::IsSignalled() const {
    StateLock lock(m_state);
    return m_state->signalled != 0;
}

pid_t NamedEvent::LastTaker() const {
    StateLock lock(m_state);
    return m_state->lastTaker;
}

bool NamedEvent::IsHeldByDeadProcess() const {
    StateLock lock(m_state);
    return HolderIsDead(m_state);
}

bool NamedEvent::TakeOverFromDeadHolder() {
    const std::uint64_t ownStart = OwnStartTime();
    StateLock lock(m_state);
    if (!HolderIsDead(m_state))
        return false;
    m_state->lastTaker = getpid();
    m_state->lastTakerStart = ownStart;
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
