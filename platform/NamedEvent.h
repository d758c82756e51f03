#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string_view>
#include <sys/types.h>

namespace platform {

struct NamedEventState;

// A named auto-reset event shared by every process of the session: a small
// mapped file holding one futex word, which is either "signalled" or the id of
// the process that took the event last, plus that holder's start time.
// Set releases one waiter (or leaves the event signalled until one comes); the
// waiter that takes it clears it. Open-or-create: the creator initialises the
// object non-signalled and then marks it ready; openers wait for ready.
// No waiter leaves any trace in the file, so a process killed at any moment,
// in the middle of a wait too, can never make another process wait.
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

    // Process id of the last waiter that took the event, while nobody has set or
    // reset it since (0 otherwise).
    pid_t LastTaker() const;

    // For an event used as a lock: true when it is taken and the process that
    // took it no longer exists, so it can never be given back by its holder.
    bool IsHeldByDeadProcess() const;

    // For an event used as a lock: when it is held by a process that no longer
    // exists, makes this process its holder (the event stays taken) and returns
    // true. Done with one compare-and-swap on the word, so of several waiters
    // that find the same dead holder exactly one takes the lock over.
    bool TakeOverFromDeadHolder();

private:
    NamedEvent(NamedEventState* state, std::size_t mappedSize);
    // Takes the event when it is signalled; false when it is not.
    bool TryTake(bool othersMayWait);
    void RecordHolder();
    NamedEventState* m_state;
    std::size_t m_mappedSize;
};

// True when a process with this id exists (a zombie, which can never run again,
// counts as gone).
bool ProcessExists(pid_t pid);

// When the process started, in clock ticks after boot; 0 when it does not exist.
std::uint64_t ProcessStartTime(pid_t pid);

} // namespace platform
