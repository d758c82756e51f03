#pragma once

#include "app/peer/transfer/Sha256.h"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

// Hands out hash states of a file being written only once the file is on the
// disk as far as each state reaches, so a machine that goes down cannot leave
// a state ahead of its file. The file is flushed on a thread of its own: the
// hashing goes on while the disk writes, instead of waiting for each flush.
//
// A state offered while an older one still waits for the disk replaces it;
// only the newest is worth keeping. Every state offered before destruction
// is handed out (or dropped when its flush fails) before the destructor
// returns, so the last one reached is there for the next attempt.
class DurableCheckpoints {
public:
    using Taken = std::function<void(const Sha256Checkpoint&)>;

    // fd must stay open until destruction. taken is called on the flushing
    // thread, one state at a time, in the order the states were reached.
    DurableCheckpoints(int fd, Taken taken);
    ~DurableCheckpoints();
    DurableCheckpoints(const DurableCheckpoints&) = delete;
    DurableCheckpoints& operator=(const DurableCheckpoints&) = delete;

    // Bytes [0, state.bytes) of the file are written.
    void Offer(const Sha256Checkpoint& state);

private:
    void Run();

    const int m_fd;
    const Taken m_taken;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::optional<Sha256Checkpoint> m_waiting; // under m_mutex
    bool m_quit = false;                       // under m_mutex
    std::thread m_thread;                      // last: starts once everything above is set
};
