#include "directory/DirectoryStore.h"

#include <ctime>

namespace halvdir {

namespace {

class HashPermit {
public:
    explicit HashPermit(std::counting_semaphore<>& permits)
        : m_permits(permits) {
        m_permits.acquire();
    }
    ~HashPermit() { m_permits.release(); }
    HashPermit(const HashPermit&) = delete;
    HashPermit& operator=(const HashPermit&) = delete;

private:
    std::counting_semaphore<>& m_permits;
};

} // namespace

std::int64_t DirectoryStore::Now() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

DirectoryStore::Owner DirectoryStore::CheckOwner(std::int32_t id, const std::string& password) {
    Secret secret = ReadSecret(id);
    if (!secret.exists)
        return Owner::kUnknown;
    if (!secret.password)
        return Owner::kUnclaimed;
    if (password.empty())
        return Owner::kMismatch;
    // Remembered against the hash read just now: a password stored since
    // (through any process) no longer matches what was remembered.
    if (m_verified && m_verified->Knows(id, secret.password->hash, password))
        return Owner::kMatch;
    {
        HashPermit permit(m_hashPermits);
        if (!secret.password->Matches(password))
            return Owner::kMismatch;
    }
    if (m_verified)
        m_verified->Remember(id, secret.password->hash, password);
    return Owner::kMatch;
}

bool DirectoryStore::CheckPassword(std::int32_t id, const std::string& password) {
    return CheckOwner(id, password) == Owner::kMatch;
}

int DirectoryStore::UpdateIp(std::int32_t id, const std::string& ip, const std::string& password) {
    // Whoever knows an ID could otherwise point its friends at another
    // machine. The hash is checked outside the write lock; a password cannot
    // change once stored, so a match stays valid until the update commits.
    // An ID without a password must still have none when the update is
    // applied, which ApplyIpBatch checks inside the transaction.
    Owner owner = CheckOwner(id, password);
    if (owner == Owner::kUnknown)
        return result::kUnknownId;
    if (owner == Owner::kMismatch)
        return result::kRefused;
    const bool unclaimedOnly = owner == Owner::kUnclaimed;
    auto apply = [this](const std::vector<IpUpdateGroup::Update*>& batch) { ApplyIpBatch(batch); };
    if (m_ipGroup)
        return m_ipGroup->Submit(id, ip, unclaimedOnly, apply);
    IpUpdateGroup::Update alone{id, ip, unclaimedOnly};
    apply({&alone});
    return alone.result;
}

int DirectoryStore::UpdateInfo(std::int32_t id, const std::string& name, const std::string& email,
                               const std::string& password) {
    // Hashing is slow on purpose, so it runs outside any transaction; the
    // write below only succeeds while the row is as it was read here.
    for (int attempt = 0; attempt < 3; ++attempt) {
        Secret secret = ReadSecret(id);
        if (!secret.exists)
            return result::kUnknownId;
        std::optional<PasswordHash> fresh;
        {
            HashPermit permit(m_hashPermits);
            if (secret.password) {
                if (!secret.password->Matches(password))
                    return result::kRefused;
            } else {
                fresh = PasswordHash::Make(password);
            }
        }
        switch (WriteProfile(id, name, email, fresh ? &*fresh : nullptr,
                             secret.password ? &*secret.password : nullptr)) {
        case ProfileWrite::kDone:
            return result::kDone;
        case ProfileWrite::kEmailTaken:
            return result::kEmailTaken;
        case ProfileWrite::kRowChanged:
            // Someone claimed the ID between the read and the write: judge
            // the password again against what is stored now.
            break;
        }
    }
    return result::kRefused;
}

} // namespace halvdir
