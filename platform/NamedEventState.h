#pragma once

#include <atomic>
#include <cstdint>
#include <pthread.h>
#include <sys/types.h>

namespace platform {

// What the mapped file of a NamedEvent holds. Every process of the session maps
// the same bytes, so the layout is fixed by this one definition; kLayout changes
// whenever it does, and a file of another layout is initialised afresh.
struct NamedEventState {
    static constexpr std::uint32_t kLayout = 0x4E455631; // "NEV1"

    // Written last by whoever initialises the object; openers trust nothing else
    // in the file until it holds kLayout.
    std::atomic<std::uint32_t> ready;
    // The boot the object was made in: a mutex left locked by a process of an
    // earlier boot could never be given back, so such a file is made afresh.
    char bootId[40];
    pthread_mutex_t mutex;
    pthread_cond_t condition;
    // Below: only read or written with the mutex held.
    std::int32_t signalled;
    pid_t lastTaker;
    // Start time of lastTaker (clock ticks after boot), so that a recycled
    // process id is not mistaken for the taker.
    std::uint64_t lastTakerStart;
};

} // namespace platform
