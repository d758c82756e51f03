#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

// The hash's state after a whole number of 64-byte blocks: enough to go on
// hashing from there without reading the bytes before it again.
struct Sha256Checkpoint {
    std::uint64_t bytes = 0; // bytes hashed, a multiple of 64
    std::array<std::uint32_t, 8> words{};
    std::uint64_t bits = 0; // the hash's own length count: bytes * 8

    bool operator==(const Sha256Checkpoint&) const = default;
};

// SHA-256 fed piece by piece. Backed by the system's crypto library, which
// uses the processor's SHA instructions where there are any: a transfer
// hashes while bytes flow, so the hash must keep pace with the network.
class Sha256 {
public:
    using Digest = std::array<std::uint8_t, 32>;

    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void Add(const void* data, std::size_t count);
    // The digest of everything added; the object starts over afterwards.
    Digest Finish();

    // The state so far; empty unless the bytes added fill whole blocks.
    std::optional<Sha256Checkpoint> Save() const;
    // Goes on from a saved state as if its bytes had been added. False, and
    // the hash starts over from nothing, for a state that cannot be one
    // (bytes not a multiple of 64, or a length count that disagrees).
    bool Restore(const Sha256Checkpoint& checkpoint);

    // The digest of count bytes of an open file from offset, read with pread;
    // false when the file ends early or a read fails. keepGoing is asked
    // between reads so a long hash can be given up.
    static bool AddFileRange(Sha256& hash, int fd, std::uint64_t offset, std::uint64_t count,
                             const std::function<bool()>& keepGoing = {});

private:
    struct State;
    std::unique_ptr<State> m_state;
};
