#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

// The environment of the one user a whole-program test starts drovick for:
// its home, settings and runtime folders under home, the peer servers on
// address, and a directory address nobody answers, so the presence start
// gives up quickly. Set before the application object exists.
inline void PrepareProgramUser(const std::filesystem::path& home, const char* address) {
    const std::string root = home.string();
    std::filesystem::create_directories(home / "run");
    std::filesystem::permissions(home / "run", std::filesystem::perms::owner_all);
    setenv("HOME", root.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (root + "/run").c_str(), 1);
    setenv("HALVARA_ADDRESS", address, 1);
    setenv("HALVARA_DIRECTORY", "127.0.0.1:9", 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
}
