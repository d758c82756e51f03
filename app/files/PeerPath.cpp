#include "app/files/PeerPath.h"

#include "app/files/ShareTable.h"

#include <climits>
#include <cstdlib>
#include <vector>

namespace {

bool Resolve(const std::string& path, std::string& resolved) {
    char buffer[PATH_MAX];
    if (!realpath(path.c_str(), buffer))
        return false;
    resolved = buffer;
    return true;
}

// folder without a trailing "/"; "/" itself is never a container here.
bool Inside(const std::string& path, const std::string& folder) {
    if (folder.empty() || folder == "/")
        return false;
    return path.compare(0, folder.size(), folder) == 0 &&
           (path.size() == folder.size() || path[folder.size()] == '/');
}

bool HasBadComponent(const std::string& path) {
    // Split after the leading "/"; a trailing "/" (a folder) is fine.
    std::size_t start = 1;
    while (start < path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        const std::string component = path.substr(start, end - start);
        if (component.empty() || component == "." || component == "..")
            return true;
        start = end + 1;
    }
    return false;
}

// A system folder is a real folder or a link into another system folder; a
// per-user folder (deeper down) may be a link anywhere, so it is also checked
// where it leads.
bool ResolvedNeverShared(const std::string& never, std::string& resolved) {
    return never.find('/', 1) != std::string::npos && Resolve(never, resolved);
}

std::string WithoutSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

} // namespace

bool CanonicalizePeerPath(const ShareTable& table, const std::string& path,
                          std::string& canonical) {
    canonical.clear();
    if (path.size() < 2 || path.front() != '/' || path.size() >= PATH_MAX ||
        path.find('\0') != std::string::npos || HasBadComponent(path))
        return false;
    if (!table.IsShared(path))
        return false;
    std::string resolved;
    if (!Resolve(path, resolved))
        return false;

    const std::string written = WithoutSlash(path);
    for (const auto& never : ShareTable::NeverSharedFolders()) {
        if (Inside(written, never) || Inside(resolved, never))
            return false;
        std::string resolvedNever;
        if (ResolvedNeverShared(never, resolvedNever) && Inside(resolved, resolvedNever))
            return false;
    }
    // The written path lies in a shared folder; the resolved one must too (a
    // link from one shared folder into another is fine, out of all of them
    // not). The folders holding the written path are tried first: that is
    // where the resolved path nearly always is, and resolving is the cost.
    const std::vector<std::string> entries = table.Entries();
    for (int pass = 0; pass < 2; ++pass) {
        for (const auto& entry : entries) {
            if (ShareTable::IsUnder(entry, written + "/") != (pass == 0))
                continue;
            std::string resolvedEntry;
            if (Resolve(entry, resolvedEntry) && Inside(resolved, resolvedEntry)) {
                canonical = resolved;
                return true;
            }
        }
    }
    return false;
}

bool PeerFolderCheck::Open(const ShareTable& table, const std::string& folder) {
    *this = PeerFolderCheck();
    if (!CanonicalizePeerPath(table, folder, m_resolved))
        return false;
    m_table = &table;
    m_written = WithoutSlash(folder);
    for (const auto& never : ShareTable::NeverSharedFolders()) {
        std::string resolvedNever;
        if (ResolvedNeverShared(never, resolvedNever))
            m_resolvedNever.push_back(std::move(resolvedNever));
        m_never.push_back(never);
    }
    return true;
}

bool PeerFolderCheck::Admits(const std::string& name, bool isLink, std::string& canonical) const {
    canonical.clear();
    if (!m_table || name.empty() || name == "." || name == ".." ||
        name.find('/') != std::string::npos)
        return false;
    const std::string written = m_written + "/" + name;
    if (isLink)
        return CanonicalizePeerPath(*m_table, written, canonical);
    std::string resolved = m_resolved + "/" + name;
    if (written.size() >= PATH_MAX || resolved.size() >= PATH_MAX)
        return false;
    // The folder lies outside every never-shared folder, written and
    // resolved, so an entry can only lie inside one by being it.
    for (const auto& never : m_never)
        if (written == never || resolved == never)
            return false;
    for (const auto& never : m_resolvedNever)
        if (resolved == never)
            return false;
    canonical = std::move(resolved);
    return true;
}
