#pragma once

#include <string>
#include <vector>

class ShareTable;

// The one check every path that comes from a peer goes through before it
// reaches the disk. The path must be absolute, without "." or ".." components
// or empty ones, lie inside a shared folder as written, and still lie inside
// that shared folder once every symbolic link is resolved (so a link placed in
// a shared folder cannot lead a peer out of it); nothing inside the
// never-shared folders passes, even below a shared folder. On success gives the
// resolved path.
bool CanonicalizePeerPath(const ShareTable& table, const std::string& path, std::string& canonical);

// The same check for the entries of one listed folder, paid once for the
// folder: an entry that is not a symbolic link lies where its folder resolves,
// so it passes exactly when the folder passes and it is not itself one of the
// never-shared folders; only a link is resolved on its own. Answers as
// CanonicalizePeerPath would for the folder's path joined with the name.
class PeerFolderCheck {
public:
    // False, and nothing passes, when the folder (written as the peer wrote
    // it, with or without its trailing "/") does not pass itself. The table
    // is asked again about links, so it must outlive the check.
    bool Open(const ShareTable& table, const std::string& folder);
    // name: one component of the folder that exists (its lstat succeeded),
    // isLink: that lstat found a symbolic link. On success gives the resolved
    // path.
    bool Admits(const std::string& name, bool isLink, std::string& canonical) const;
    // Where the folder really is; empty unless Open succeeded.
    const std::string& Resolved() const { return m_resolved; }

private:
    const ShareTable* m_table = nullptr;
    std::string m_written;  // the folder without its trailing "/"
    std::string m_resolved; // where it really is
    // The never-shared folders as written, and where the check resolves
    // them, as resolved: an entry that is one of them is refused.
    std::vector<std::string> m_never;
    std::vector<std::string> m_resolvedNever;
};
