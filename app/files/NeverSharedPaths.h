#pragma once

#include "app/files/DirectoryListing.h"

#include <string>
#include <vector>

// The never-shared folders (ShareTable::NeverSharedFolders), each as written
// and as resolved, taken once for one listing or one search. A shared folder
// may hold them (the home folder holds the configuration folders): a peer
// then must not even learn their names.
class NeverSharedPaths {
public:
    NeverSharedPaths();

    // The path as the peer sees it, or where it really leads (either may be
    // empty), is one of the folders or lies inside one.
    bool Hides(const std::string& written, const std::string& resolved) const;
    // The same for a symbolic link, resolved here.
    bool HidesLink(const std::string& path) const;
    // The same for an entry of a listed folder (resolvedFolder: where that
    // folder really is). Only a folder can be a never-shared folder and only a
    // link can lead into one, so only a link needs resolving.
    bool HidesEntry(const std::string& resolvedFolder, const std::string& path,
                    const DirectoryListing::Entry& entry) const;

private:
    std::vector<std::string> m_folders;
};
