#pragma once

#include <string>

class ShareTable;

// The one check every path that comes from a peer goes through before it
// reaches the disk. The path must be absolute, without "." or ".." components
// or empty ones, lie inside a shared folder as written, and still lie inside
// that shared folder once every symbolic link is resolved (so a link placed in
// a shared folder cannot lead a peer out of it); nothing inside the
// never-shared folders passes, even below a shared folder. On success gives the
// resolved path.
bool CanonicalizePeerPath(const ShareTable& table, const std::string& path, std::string& canonical);
