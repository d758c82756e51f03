#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <unordered_map>

namespace halvdir {

// Failed password checks per key (an ID, or a client address). A key may fail
// a number of times freely; every failure after that locks it for a while,
// twice as long each time up to a cap. While locked, checks are refused
// without looking at the password: a refusal costs no worker time, where a
// sleeping answer would let a guesser tie up the whole pool. A success or an
// hour without failures forgets the key.
class GuessThrottle {
public:
    using Clock = std::chrono::steady_clock;

    GuessThrottle(int freeFailures, std::chrono::seconds firstLock, std::chrono::seconds maxLock)
        : m_freeFailures(freeFailures)
        , m_firstLock(firstLock)
        , m_maxLock(maxLock) {}

    // Keys tracked at most; beyond it those no longer locked are forgotten.
    static constexpr std::size_t kMaxKeys = 100'000;
    static constexpr std::chrono::hours kForgetAfter{1};

    bool Locked(const std::string& key, Clock::time_point now = Clock::now()) const;
    void Failed(const std::string& key, Clock::time_point now = Clock::now());
    void Succeeded(const std::string& key);

private:
    struct Record {
        int failures = 0;
        Clock::time_point lastFailure;
        Clock::time_point lockedUntil;
    };
    void MakeRoom(Clock::time_point now);

    const int m_freeFailures;
    const std::chrono::seconds m_firstLock;
    const std::chrono::seconds m_maxLock;
    mutable std::mutex m_lock;
    std::unordered_map<std::string, Record> m_records;
};

} // namespace halvdir
