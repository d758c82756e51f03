#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string_view>
#include <sys/types.h>

namespace platform {

struct NamedEventState;

// A named auto-reset event shared by every process of the session: a small
// mapped file holding a process-shared robust mutex, a condition variable, the
// signalled flag and the process id of the last waiter that took it.
// Set releases one waiter (or leaves the event signalled until one comes); the
// waiter that takes it clears it. Open-or-create: the creator initialises the
// object non-signalled and then marks it ready; openers wait for ready.
class NamedEvent {
public:
    // Throws std::system_error when the object cannot be created or opened.
    static std::unique_ptr<NamedEvent> OpenOrCreate(std::string_view name);
    ~NamedEvent();

    NamedEvent(const NamedEvent&) = delete;
    NamedEvent& operator=(const NamedEvent&) = delete;

    void Set();
    void Reset();

    // Waits until the event is signalled and takes it (clearing it), or until the
    // time limit passes. Returns true when taken. A zero limit only tries.
    bool Wait(std::chrono::milliseconds limit);

    // True while the event is signalled (nobody has taken it yet).
    bool IsSignalled() const;

    // Process id of the last waiter that took the event (0 before any).
    pid_t LastTaker() const;

    // For an event used as a lock: true when it is taken and the process that
    // took it no longer exists, so it can never be given back by its holder.
    bool IsHeldByDeadProcess() const;

    // For an event used as a lock: when it is held by a process that no longer
    // exists, makes this process its holder (the event stays taken) and returns
    // true. Checked and done under the event's own mutex, so of several waiters
    // that find the same dead holder exactly one takes the lock over.
    bool TakeOverFromDeadHolder();

private:
    NamedEvent(NamedEventState* state, std::size_t mappedSize);
    NamedEventState* m_state;
    std::size_t m_mappedSize;
};

// True when a process with this id exists (a zombie, which can never run again,
// counts as gone).
bool ProcessExists(pid_t pid);

// When the process started, in clock ticks after boot; 0 when it does not exist.
std::uint64_t ProcessStartTime(pid_t pid);

} // namespace platform
