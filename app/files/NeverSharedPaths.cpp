#include "app/files/NeverSharedPaths.h"

#include "app/files/ShareTable.h"

#include <climits>
#include <cstdlib>

namespace {

bool Inside(const std::string& path, const std::string& folder) {
    return !path.empty() && !folder.empty() && path.compare(0, folder.size(), folder) == 0 &&
           (path.size() == folder.size() || folder.back() == '/' || path[folder.size()] == '/');
}

bool Resolve(const std::string& path, std::string& resolved) {
    char buffer[PATH_MAX];
    if (path.empty() || !realpath(path.c_str(), buffer))
        return false;
    resolved = buffer;
    return true;
}

} // namespace

NeverSharedPaths::NeverSharedPaths() {
    for (const auto& never : ShareTable::NeverSharedFolders()) {
        m_folders.push_back(never);
        std::string resolved;
        if (Resolve(never, resolved) && resolved != never)
            m_folders.push_back(std::move(resolved));
    }
}

bool NeverSharedPaths::Hides(const std::string& written, const std::string& resolved) const {
    for (const auto& folder : m_folders)
        if (Inside(written, folder) || Inside(resolved, folder))
            return true;
    return false;
}

bool NeverSharedPaths::HidesLink(const std::string& path) const {
    std::string resolved;
    return Hides(path, {}) || (Resolve(path, resolved) && Hides({}, resolved));
}

bool NeverSharedPaths::HidesEntry(const std::string& resolvedFolder, const std::string& path,
                                  const DirectoryListing::Entry& entry) const {
    if (entry.mayBeLink || (entry.isDirectory && resolvedFolder.empty()))
        return HidesLink(path);
    if (!entry.isDirectory)
        return false;
    return Hides(path, resolvedFolder + (resolvedFolder.back() == '/' ? "" : "/") + entry.name);
}
