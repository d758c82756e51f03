// The block-level interface is the only one of the crypto library that lets
// a state out and back in; it is deprecated in favour of the envelope one but
// still shipped, and used here alone.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "app/peer/transfer/Sha256.h"

#include <algorithm>
#include <cerrno>
#include <openssl/sha.h>
#include <unistd.h>
#include <vector>

struct Sha256::State {
    SHA256_CTX context{};
};

Sha256::Sha256()
    : m_state(std::make_unique<State>()) {
    SHA256_Init(&m_state->context);
}

Sha256::~Sha256() = default;

void Sha256::Add(const void* data, std::size_t count) {
    if (count > 0)
        SHA256_Update(&m_state->context, data, count);
}

Sha256::Digest Sha256::Finish() {
    Digest digest{};
    SHA256_Final(digest.data(), &m_state->context);
    SHA256_Init(&m_state->context);
    return digest;
}

std::optional<Sha256Checkpoint> Sha256::Save() const {
    const SHA256_CTX& context = m_state->context;
    // Bytes waiting for a block to fill are not part of any state.
    if (context.num != 0)
        return std::nullopt;
    Sha256Checkpoint checkpoint;
    std::copy(std::begin(context.h), std::end(context.h), checkpoint.words.begin());
    checkpoint.bits = (std::uint64_t(context.Nh) << 32) | context.Nl;
    checkpoint.bytes = checkpoint.bits / 8;
    return checkpoint;
}

bool Sha256::Restore(const Sha256Checkpoint& checkpoint) {
    SHA256_Init(&m_state->context);
    if (checkpoint.bytes % 64 != 0 || checkpoint.bytes > UINT64_MAX / 8 ||
        checkpoint.bits != checkpoint.bytes * 8)
        return false;
    SHA256_CTX& context = m_state->context;
    std::copy(checkpoint.words.begin(), checkpoint.words.end(), std::begin(context.h));
    context.Nl = static_cast<SHA_LONG>(checkpoint.bits);
    context.Nh = static_cast<SHA_LONG>(checkpoint.bits >> 32);
    context.num = 0;
    return true;
}

bool Sha256::AddFileRange(Sha256& hash, int fd, std::uint64_t offset, std::uint64_t count,
                          const std::function<bool()>& keepGoing) {
    std::vector<std::uint8_t> buffer(
        static_cast<std::size_t>(std::min<std::uint64_t>(count, 1 << 20)));
    while (count > 0) {
        if (keepGoing && !keepGoing())
            return false;
        const std::size_t want =
            count < buffer.size() ? static_cast<std::size_t>(count) : buffer.size();
        ssize_t got = pread(fd, buffer.data(), want, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        hash.Add(buffer.data(), static_cast<std::size_t>(got));
        offset += static_cast<std::uint64_t>(got);
        count -= static_cast<std::uint64_t>(got);
    }
    return true;
}
