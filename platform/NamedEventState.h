#pragma once

#include <cstdint>

namespace platform {

// What the mapped file of a NamedEvent holds. Every process of the session maps
// the same bytes, so the layout is fixed by this one definition; kLayout changes
// whenever it does, and a file of another layout is initialised afresh.
//
// Nothing here records who waits: a process killed at any moment, inside a
// wait included, leaves nothing that another process would wait for.
struct NamedEventState {
    static constexpr std::uint32_t kLayout = 0x4E455632; // "NEV2"
    // The futex word is kSignalled while the event is signalled; otherwise its
    // low bits hold the id of the process that took the event last (0: nobody
    // since it was made or reset; process ids stay below 2^22), and kWaiters
    // says that somebody may sleep on it, so Set must wake one. A sleeper that
    // is killed leaves at most that bit behind, which costs one needless wake.
    static constexpr std::uint32_t kSignalled = 0x80000000u;
    static constexpr std::uint32_t kWaiters = 0x40000000u;
    static constexpr std::uint32_t kHolderMask = 0x3FFFFFFFu;
    // holderStamp packs the holder's process id above its start time.
    static constexpr int kStampPidShift = 42;
    static constexpr std::uint64_t kStampStartMask = (std::uint64_t(1) << kStampPidShift) - 1;

    // Written last by whoever initialises the object; openers trust nothing else
    // in the file until it holds kLayout. Accessed atomically.
    std::uint32_t ready;
    // The boot the object was made in: a holder recorded in an earlier boot
    // could never give the event back, so such a file is made afresh.
    char bootId[40];
    // The futex word. Accessed atomically.
    alignas(8) std::uint32_t word;
    std::uint32_t reserved;
    // The holder's process id and start time (clock ticks after boot), written
    // right after it took the event, so that a recycled process id is not
    // mistaken for the holder. Only trusted while its id matches the word.
    std::uint64_t holderStamp;
};

} // namespace platform
