#include "app/files/DirectoryListing.h"

#include <algorithm>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Bounds what one listing may hold in memory.
constexpr std::size_t kMaxEntries = 1'000'000;

bool IsDotsName(const std::string& name) {
    return name == "." || name == "..";
}

bool MatchFrom(const char* pattern, const char* name) {
    // Iterative match with one backtrack point per "*".
    const char* star = nullptr;
    const char* resume = nullptr;
    while (*name) {
        if (*pattern == '*') {
            star = pattern++;
            resume = name;
        } else if (*pattern == '?' || *pattern == *name) {
            ++pattern;
            ++name;
        } else if (star) {
            pattern = star + 1;
            name = ++resume;
        } else {
            return false;
        }
    }
    while (*pattern == '*')
        ++pattern;
    return *pattern == '\0';
}

} // namespace

bool MatchesWildcard(const std::string& pattern, const std::string& name) {
    if (pattern == "*.*" || pattern == "*")
        return true;
    return MatchFrom(pattern.c_str(), name.c_str());
}

bool DirectoryListing::Start(const std::string& pattern) {
    Close();
    std::size_t slash = pattern.rfind('/');
    std::string wildcard;
    if (slash == std::string::npos) {
        m_folder.clear();
        wildcard = pattern;
    } else {
        m_folder = pattern.substr(0, slash + 1);
        wildcard = pattern.substr(slash + 1);
    }
    if (wildcard.empty())
        return false;
    int folderFd =
        open(m_folder.empty() ? "." : m_folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd < 0)
        return false;
    DIR* dir = fdopendir(folderFd);
    if (!dir) {
        close(folderFd);
        return false;
    }
    m_opened = true;
    while (dirent* item = readdir(dir)) {
        std::string name = item->d_name;
        if (!MatchesWildcard(wildcard, name))
            continue;
        if (m_entries.size() >= kMaxEntries) {
            m_capped = true;
            break;
        }
        Entry entry;
        entry.name = name;
        entry.isHidden = name.front() == '.' && !IsDotsName(name);
        entry.mayBeLink = item->d_type == DT_LNK || item->d_type == DT_UNKNOWN;
        struct stat info {};
        if (fstatat(dirfd(dir), item->d_name, &info, 0) == 0 ||
            fstatat(dirfd(dir), item->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0)
            entry.isDirectory = S_ISDIR(info.st_mode);
        m_entries.push_back(std::move(entry));
    }
    closedir(dir);
    std::sort(m_entries.begin(), m_entries.end(), [](const Entry& a, const Entry& b) {
        bool aDots = IsDotsName(a.name);
        bool bDots = IsDotsName(b.name);
        if (aDots != bDots)
            return aDots;
        return a.name < b.name;
    });
    return !m_entries.empty();
}

bool DirectoryListing::DropEntries(
    const std::function<bool(const Entry&, const std::string&)>& hide) {
    std::erase_if(m_entries,
                  [&](const Entry& entry) { return hide(entry, m_folder + entry.name); });
    return !m_entries.empty();
}

bool DirectoryListing::Next() {
    if (m_index + 1 < static_cast<long>(m_entries.size()))
        ++m_index;
    return m_index + 1 < static_cast<long>(m_entries.size());
}

void DirectoryListing::Close() {
    m_entries.clear();
    m_folder.clear();
    m_index = -1;
    m_opened = false;
    m_capped = false;
}

FolderListing DirectoryListing::Items() const {
    FolderListing listing;
    if (!m_opened)
        return listing;
    listing.outcome =
        m_capped ? FolderListing::Outcome::Truncated : FolderListing::Outcome::Complete;
    for (const Entry& entry : m_entries)
        if (!IsDotsName(entry.name))
            listing.entries.push_back({m_folder + entry.name, entry.isDirectory, entry.isHidden});
    return listing;
}

bool DirectoryListing::HasCurrent() const {
    return m_index >= 0 && m_index < static_cast<long>(m_entries.size());
}

std::string DirectoryListing::CurrentPath() const {
    if (!HasCurrent())
        return {};
    return m_folder + Current().name;
}
