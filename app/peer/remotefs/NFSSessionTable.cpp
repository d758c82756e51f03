#include "app/peer/remotefs/NFSSessionTable.h"

#include "app/files/SharedFileSystem.h"

#include <algorithm>
#include <limits>

namespace {

using Clock = std::chrono::steady_clock;

} // namespace

NFSSession::NFSSession(std::int32_t sessionId, std::string peerAddress, std::int32_t agreedVersion,
                       std::shared_ptr<ShareTable> table)
    : id(sessionId)
    , address(std::move(peerAddress))
    , version(agreedVersion)
    , fileSystem(std::make_unique<SharedFileSystem>(std::move(table))) {}

NFSSession::~NFSSession() = default;

NFSSessionTable::Use::Use(NFSSessionTable* table, std::shared_ptr<NFSSession> session)
    : m_table(table)
    , m_session(std::move(session)) {}

NFSSessionTable::Use::Use(Use&& other) noexcept
    : m_table(other.m_table)
    , m_session(std::move(other.m_session)) {}

NFSSessionTable::Use::~Use() {
    if (m_session)
        m_table->Finished(*m_session);
}

NFSSessionTable::NFSSessionTable(Limits limits)
    : m_limits(limits) {}

NFSSessionTable::Entry* NFSSessionTable::EntryOf(std::int32_t id) {
    for (auto& entry : m_entries)
        if (!entry.released && entry.session->id == id)
            return &entry;
    return nullptr;
}

void NFSSessionTable::Compact() {
    const auto now = Clock::now();
    std::erase_if(m_entries, [&](const Entry& entry) {
        return entry.operations == 0 &&
               (entry.released || now - entry.lastUse > m_limits.idleLimit);
    });
}

bool NFSSessionTable::ReplaceLeastRecentlyUsed(const std::string& address) {
    const bool ownOnly = std::any_of(m_entries.begin(), m_entries.end(), [&](const Entry& entry) {
        return !entry.released && entry.session->address == address;
    });
    auto oldest = m_entries.end();
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
        if (it->released || it->operations > 0 || (ownOnly && it->session->address != address))
            continue;
        if (oldest == m_entries.end() || it->lastUse < oldest->lastUse)
            oldest = it;
    }
    if (oldest == m_entries.end())
        return false;
    m_entries.erase(oldest);
    return true;
}

std::int32_t NFSSessionTable::Open(const std::string& address, std::int32_t version,
                                   std::shared_ptr<ShareTable> table) {
    std::lock_guard lock(m_mutex);
    Compact();
    if (m_nextId == std::numeric_limits<std::int32_t>::max())
        return kNfsNoSession;
    // A released session whose last operation is still ending takes no room.
    std::size_t live = 0;
    std::size_t own = 0;
    for (const auto& entry : m_entries) {
        live += entry.released ? 0 : 1;
        own += !entry.released && entry.session->address == address ? 1 : 0;
    }
    if (own >= m_limits.perAddress) {
        if (!ReplaceLeastRecentlyUsed(address))
            return kNfsNoSession;
    } else if (live > m_limits.capacity) {
        // Room for the address, but none in the table: anyone's idle one goes.
        if (!ReplaceLeastRecentlyUsed(std::string()))
            return kNfsNoSession;
    }
    const std::int32_t id = m_nextId++;
    m_entries.push_back({std::make_shared<NFSSession>(id, address, version, table), Clock::now()});
    return id;
}

NFSSessionTable::Use NFSSessionTable::Find(std::int32_t id, const std::string& address) {
    std::lock_guard lock(m_mutex);
    Compact();
    Entry* entry = EntryOf(id);
    if (!entry || entry->session->address != address)
        return {};
    entry->lastUse = Clock::now();
    ++entry->operations;
    return {this, entry->session};
}

void NFSSessionTable::Finished(const NFSSession& session) {
    std::lock_guard lock(m_mutex);
    for (auto& entry : m_entries) {
        if (entry.session.get() == &session) {
            // The use counts from its start, so the order of the sessions
            // follows the order of the requests, whenever their replies end.
            --entry.operations;
            return;
        }
    }
}

void NFSSessionTable::Release(std::int32_t id) {
    std::lock_guard lock(m_mutex);
    if (Entry* entry = EntryOf(id))
        entry->released = true;
}

std::size_t NFSSessionTable::Size() const {
    std::lock_guard lock(m_mutex);
    return m_entries.size();
}
