#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

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

    // The digest of count bytes of an open file from offset, read with pread;
    // false when the file ends early or a read fails. keepGoing is asked
    // between reads so a long hash can be given up.
    static bool AddFileRange(Sha256& hash, int fd, std::uint64_t offset, std::uint64_t count,
                             const std::function<bool()>& keepGoing = {});

private:
    struct State;
    std::unique_ptr<State> m_state;
};
