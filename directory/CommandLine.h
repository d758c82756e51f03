#pragma once

#include <string>
#include <vector>

namespace halvdir {

// The halvdir program: "serve" and the administration commands. Returns the
// process exit code.
int RunCommandLine(const std::vector<std::string>& arguments);

// $XDG_DATA_HOME/halvdir/directory.db, or ~/.local/share/halvdir/directory.db.
std::string DefaultDatabasePath();

} // namespace halvdir
