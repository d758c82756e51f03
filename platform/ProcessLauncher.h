#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace platform {

// Starts a program detached from the caller: posix_spawn in a new session, with
// standard input, output and error on /dev/null, and nobody waiting for it (the
// child is reaped so it never lingers as a zombie). Returns false when the
// program could not be started.
bool LaunchDetached(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                    const std::filesystem::path& workingDirectory);

} // namespace platform
