#pragma once

#include "app/peer/transfer/DurableCheckpoints.h"
#include "app/peer/transfer/Sha256.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

// Hashes a file on a thread of its own while the caller is still writing it.
// The part a resumed download already has is hashed while the rest arrives,
// so the receiving thread never stops reading the connection (a server cuts
// off a reader that stalls) and, where a second core is free, the hash costs
// the download no time.
//
// The hash can start from a saved state instead of byte 0, and hands out its
// state every so often, so that a resume after a cut reads back only what
// lies past the last saved state.
// Where a GrowingFileHash starts and when it hands out its state.
struct GrowingHashStart {
    // Where hashing starts; nothing (or a state that cannot be one) means
    // byte 0. The caller makes sure the file reaches this far.
    std::optional<Sha256Checkpoint> from;
    // Given the states the hash reaches at each multiple of every bytes
    // (rounded down to a multiple of 64), each once the file is flushed to
    // disk that far, on a flushing thread; a state overtaken by a newer one
    // while the disk writes is skipped.
    std::function<void(const Sha256Checkpoint&)> taken;
    std::uint64_t every = 64 * 1024 * 1024;
};

class GrowingFileHash {
public:
    // fd must stay open and readable with pread until Finish or destruction.
    // running is watched: clearing it gives the hash up.
    GrowingFileHash(int fd, const std::atomic<bool>& running, GrowingHashStart start = {});
    ~GrowingFileHash();
    GrowingFileHash(const GrowingFileHash&) = delete;
    GrowingFileHash& operator=(const GrowingFileHash&) = delete;

    // Where hashing started: 0, or the bytes of the state it was given.
    std::uint64_t StartedAt() const { return m_startedAt; }
    // Bytes [0, upTo) of the file are written and will not change.
    void Written(std::uint64_t upTo);
    // The digest of bytes [0, size) once all are hashed; empty when a read
    // failed or the hash was given up.
    std::optional<Sha256::Digest> Finish(std::uint64_t size);

private:
    void Run();
    // Hashes [from, to) of the file, handing out a state at each multiple of
    // the checkpoint interval on the way.
    bool HashRange(std::uint64_t from, std::uint64_t to);

    const int m_fd;
    const std::atomic<bool>& m_running;
    Sha256 m_hash;
    // Outlives the hashing thread, which offers it states.
    std::optional<DurableCheckpoints> m_checkpoints;
    std::uint64_t m_every = 0;
    std::uint64_t m_startedAt = 0;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::uint64_t m_ready = 0;          // under m_mutex
    std::uint64_t m_hashed = 0;         // under m_mutex
    bool m_final = false;               // under m_mutex
    bool m_quit = false;                // under m_mutex
    std::atomic<bool> m_givenUp{false}; // m_quit, read between reads without the lock
    bool m_failed = false;              // under m_mutex
    std::thread m_thread;               // last: starts once everything above is set
};
