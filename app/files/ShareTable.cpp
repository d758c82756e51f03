#include "app/files/ShareTable.h"

#include "platform/ByteOrder.h"
#include "platform/Environment.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

constexpr std::size_t kBlockStep = 1024;

std::string DropTrailingSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

} // namespace

ShareTable::ShareTable() = default;

ShareTable::~ShareTable() = default;

int ShareTable::AddListener(Listener listener) {
    std::lock_guard lock(m_listenerMutex);
    const int id = m_nextListenerId++;
    m_listeners.emplace(id, std::move(listener));
    return id;
}

void ShareTable::RemoveListener(int id) {
    std::lock_guard lock(m_listenerMutex);
    m_listeners.erase(id);
}

void ShareTable::TellListeners() {
    std::lock_guard lock(m_listenerMutex);
    // A copy: a listener may add or remove listeners while the calls go on.
    const auto listeners = m_listeners;
    for (const auto& [id, listener] : listeners) {
        if (m_listeners.count(id) != 0)
            listener();
    }
}

std::string ShareTable::WithSlash(const std::string& path) {
    if (!path.empty() && path.back() == '/')
        return path;
    return path + "/";
}

bool ShareTable::IsUnder(const std::string& prefix, const std::string& path) {
    return path.size() >= prefix.size() && path.compare(0, prefix.size(), prefix) == 0;
}

std::vector<std::string> ShareTable::NeverSharedFolders() {
    std::vector<std::string> folders{"/bin",   "/boot",  "/dev",    "/etc",  "/lib",
                                     "/lib32", "/lib64", "/libx32", "/proc", "/root",
                                     "/run",   "/sbin",  "/sys",    "/usr",  "/var"};
    std::string config = DropTrailingSlash(platform::ConfigHome().string());
    if (!config.empty()) {
        // Identities and passwords live here.
        folders.push_back(config + "/halvara");
        folders.push_back(config + "/drovick");
    }
    std::string runtime = platform::AbsoluteFolder("XDG_RUNTIME_DIR").string();
    if (!runtime.empty())
        folders.push_back(DropTrailingSlash(runtime) + "/halvara");
    folders.push_back("/tmp/halvara-" + std::to_string(getuid()));
    return folders;
}

bool ShareTable::IsSharedLocked(const std::string& pathWithSlash) const {
    for (const auto& entry : m_entries) {
        if (IsUnder(entry, pathWithSlash))
            return true;
    }
    return false;
}

bool ShareTable::Add(const std::string& folder) {
    {
        std::lock_guard lock(m_mutex);
        std::string path = WithSlash(folder);
        if (IsSharedLocked(path))
            return false;
        if (!IsShareable(path))
            return false;
        for (auto it = m_entries.begin(); it != m_entries.end();) {
            if (IsUnder(path, *it))
                it = m_entries.erase(it);
            else
                ++it;
        }
        m_entries.push_back(path);
    }
    TellListeners();
    return true;
}

bool ShareTable::Remove(const std::string& folder) {
    {
        std::lock_guard lock(m_mutex);
        auto found = std::find(m_entries.begin(), m_entries.end(), WithSlash(folder));
        if (found == m_entries.end())
            return false;
        m_entries.erase(found);
    }
    TellListeners();
    return true;
}

bool ShareTable::IsShared(const std::string& path) const {
    if (path.empty())
        return false;
    std::lock_guard lock(m_mutex);
    return IsSharedLocked(WithSlash(path));
}

bool ShareTable::IsShareRoot(const std::string& folder) const {
    std::lock_guard lock(m_mutex);
    return IndexOf(WithSlash(folder)) >= 0;
}

bool ShareTable::IsShareable(const std::string& folder) const {
    std::lock_guard lock(m_mutex);
    // Prefix without "/": a sibling whose name merely begins the same way
    // ("/usrlocal") is refused too, as the safe side.
    for (const auto& never : NeverSharedFolders()) {
        if (IsUnder(never, folder))
            return false;
    }
    std::string rest = folder;
    if (!rest.empty() && rest.back() == '/')
        rest.pop_back();
    if (rest.empty() || rest.back() == ':')
        return false;
    // Only absolute paths name a folder on this computer, and only written
    // without "." or ".." components does the entry mean what it says.
    if (folder.front() != '/')
        return false;
    for (std::size_t start = 1; start < rest.size();) {
        std::size_t end = rest.find('/', start);
        if (end == std::string::npos)
            end = rest.size();
        std::string_view component(rest.data() + start, end - start);
        if (component.empty() || component == "." || component == "..")
            return false;
        start = end + 1;
    }
    return true;
}

int ShareTable::IndexOf(const std::string& path) const {
    std::lock_guard lock(m_mutex);
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        if (m_entries[i] == path)
            return static_cast<int>(i);
    }
    return -1;
}

int ShareTable::ListUnder(const std::string& prefix, std::vector<std::string>& entries) const {
    std::lock_guard lock(m_mutex);
    entries.clear();
    for (const auto& entry : m_entries) {
        if (IsUnder(prefix, entry))
            entries.push_back(entry);
    }
    return static_cast<int>(entries.size());
}

bool ShareTable::HasShareOnDrive(const std::string& root) const {
    // Taken under the lock, unlike the original lock-free read: entries move
    // when another thread adds or removes one.
    std::lock_guard lock(m_mutex);
    for (const auto& entry : m_entries) {
        if (IsUnder(root, entry))
            return true;
    }
    return false;
}

bool ShareTable::GetAt(int index, std::string& entry) const {
    std::lock_guard lock(m_mutex);
    if (index < 0 || static_cast<std::size_t>(index) >= m_entries.size())
        return false;
    entry = m_entries[static_cast<std::size_t>(index)];
    return true;
}

int ShareTable::GetCount() const {
    std::lock_guard lock(m_mutex);
    return static_cast<int>(m_entries.size());
}

std::vector<std::string> ShareTable::Entries() const {
    std::lock_guard lock(m_mutex);
    return m_entries;
}

std::vector<std::uint8_t> ShareTable::Serialize() const {
    std::lock_guard lock(m_mutex);
    std::vector<std::uint8_t> block;
    block.reserve(kBlockStep);
    std::uint8_t word[4];
    platform::StoreLE32(word, static_cast<std::uint32_t>(m_entries.size()));
    block.insert(block.end(), word, word + 4);
    for (const auto& entry : m_entries) {
        std::size_t needed = 4 + entry.size() + 1;
        while (block.size() + needed > block.capacity())
            block.reserve(block.capacity() + kBlockStep);
        platform::StoreLE32(word, static_cast<std::uint32_t>(entry.size() + 1));
        block.insert(block.end(), word, word + 4);
        block.insert(block.end(), entry.begin(), entry.end());
        block.push_back(0);
    }
    return block;
}

int ShareTable::Deserialize(const std::uint8_t* block, std::size_t size) {
    if (!block)
        return -1;
    platform::ByteReader reader({block, size});
    std::uint32_t count = 0;
    if (!reader.ReadU32(count))
        return -1;
    // Every entry takes at least its length word and a NUL.
    if (count > reader.Remaining() / 5)
        return -1;
    std::vector<std::string> entries;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint32_t length = 0;
        if (!reader.ReadU32(length) || length == 0 || length > reader.Remaining())
            return -1;
        const std::uint8_t* text = block + reader.Offset();
        const void* nul = std::memchr(text, 0, length);
        if (!nul)
            return -1;
        std::string entry(reinterpret_cast<const char*>(text),
                          static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - text));
        reader.Skip(length);
        // Stored entries are taken as they are, except ones that could not
        // work as a prefix of folder paths.
        if (entry.size() < 2 || entry.front() != '/' || entry.back() != '/')
            continue;
        entries.push_back(std::move(entry));
    }
    const int kept = static_cast<int>(entries.size());
    {
        std::lock_guard lock(m_mutex);
        m_entries = std::move(entries);
    }
    TellListeners();
    return kept;
}
