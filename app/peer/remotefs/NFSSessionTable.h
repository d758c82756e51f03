#pragma once

#include "app/peer/remotefs/NFSProtocol.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class ShareTable;
class SharedFileSystem;

// A household behind one address runs a few client instances; a single
// address can take no more sessions than this from everybody else.
inline constexpr std::size_t kNfsSessionsPerAddress = 16;

// One client instance's view of the shares on the remote file system server.
struct NFSSession {
    NFSSession(std::int32_t sessionId, std::string peerAddress, std::int32_t agreedVersion,
               std::shared_ptr<ShareTable> table);
    ~NFSSession();

    const std::int32_t id;
    // The peer address that opened the session; only it may use or release it.
    const std::string address;
    const std::int32_t version;
    // Held around the file system's calls only, never across a network call:
    // one client may run several operations on its session at once.
    std::mutex mutex;
    const std::unique_ptr<SharedFileSystem> fileSystem;
};

// The remote file system server's sessions, shared by the connections it serves
// at once (one lock). A session belongs to the address that opened it, one
// address holds at most perAddress sessions, and sessions nobody has used for
// idleLimit expire. A new session that finds its address at the bound, or the
// table full, takes the place of the least recently used session of that
// address, or of anyone, on which no operation is running; only when there is
// none is it refused.
class NFSSessionTable {
public:
    struct Limits {
        // The table answers -1 once it holds more sessions than this.
        std::size_t capacity = kNfsSessionLimit;
        std::size_t perAddress = kNfsSessionsPerAddress;
        std::chrono::milliseconds idleLimit = std::chrono::hours(1);
    };

    // Marks an operation running on a session until it goes.
    class Use {
    public:
        Use() = default;
        Use(NFSSessionTable* table, std::shared_ptr<NFSSession> session);
        ~Use();
        Use(Use&& other) noexcept;
        Use& operator=(Use&&) = delete;
        explicit operator bool() const { return m_session != nullptr; }
        NFSSession& operator*() const { return *m_session; }
        NFSSession* operator->() const { return m_session.get(); }

    private:
        NFSSessionTable* m_table = nullptr;
        std::shared_ptr<NFSSession> m_session;
    };

    explicit NFSSessionTable(Limits limits);

    // A new session for address, or kNfsNoSession when none can be had. Ids
    // count from 0 and are never handed out twice.
    std::int32_t Open(const std::string& address, std::int32_t version,
                      std::shared_ptr<ShareTable> table);
    // The live session id that address opened, marked in use; empty for an
    // unknown, released or expired id and for another address's session.
    Use Find(std::int32_t id, const std::string& address);
    // The session is gone for every later Find.
    void Release(std::int32_t id);

    std::size_t Size() const;

private:
    struct Entry {
        std::shared_ptr<NFSSession> session;
        std::chrono::steady_clock::time_point lastUse;
        int operations = 0;
        bool released = false;
    };

    void Finished(const NFSSession& session);
    // Drops released and expired entries; the caller holds m_mutex.
    void Compact();
    // Drops the least recently used entry without a running operation, among
    // address's own when it is not empty; false when there is none. The caller
    // holds m_mutex.
    bool ReplaceLeastRecentlyUsed(const std::string& address);
    Entry* EntryOf(std::int32_t id);

    const Limits m_limits;
    mutable std::mutex m_mutex;
    std::int32_t m_nextId = 0;
    std::vector<Entry> m_entries;
};
