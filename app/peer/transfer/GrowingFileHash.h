#pragma once

#include "app/peer/transfer/Sha256.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>

// Hashes a file from byte 0 on a thread of its own while the caller is still
// writing it. The part a resumed download already has is hashed while the
// rest arrives, so the receiving thread never stops reading the connection
// (a server cuts off a reader that stalls) and, where a second core is free,
// the hash costs the download no time.
class GrowingFileHash {
public:
    // fd must stay open and readable with pread until Finish or destruction.
    // running is watched: clearing it gives the hash up.
    GrowingFileHash(int fd, const std::atomic<bool>& running);
    ~GrowingFileHash();
    GrowingFileHash(const GrowingFileHash&) = delete;
    GrowingFileHash& operator=(const GrowingFileHash&) = delete;

    // Bytes [0, upTo) of the file are written and will not change.
    void Written(std::uint64_t upTo);
    // The digest of bytes [0, size) once all are hashed; empty when a read
    // failed or the hash was given up.
    std::optional<Sha256::Digest> Finish(std::uint64_t size);

private:
    void Run();

    const int m_fd;
    const std::atomic<bool>& m_running;
    Sha256 m_hash;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::uint64_t m_ready = 0;          // under m_mutex
    std::uint64_t m_hashed = 0;         // under m_mutex
    bool m_final = false;               // under m_mutex
    bool m_quit = false;                // under m_mutex
    std::atomic<bool> m_givenUp{false}; // m_quit, read between reads without the lock
    bool m_failed = false;              // under m_mutex
    std::thread m_thread;
};
