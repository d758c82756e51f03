#include "app/peer/transfer/Sha256.h"

#include <algorithm>
#include <cerrno>
#include <openssl/evp.h>
#include <stdexcept>
#include <unistd.h>
#include <vector>

struct Sha256::State {
    EVP_MD_CTX* context = nullptr;
    ~State() { EVP_MD_CTX_free(context); }
};

namespace {
void Begin(EVP_MD_CTX* context) {
    if (EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 is not available");
}
} // namespace

Sha256::Sha256()
    : m_state(std::make_unique<State>()) {
    m_state->context = EVP_MD_CTX_new();
    if (!m_state->context)
        throw std::bad_alloc();
    Begin(m_state->context);
}

Sha256::~Sha256() = default;

void Sha256::Add(const void* data, std::size_t count) {
    if (count > 0)
        EVP_DigestUpdate(m_state->context, data, count);
}

Sha256::Digest Sha256::Finish() {
    Digest digest{};
    unsigned int length = 0;
    EVP_DigestFinal_ex(m_state->context, digest.data(), &length);
    Begin(m_state->context);
    return digest;
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
