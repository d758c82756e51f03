#pragma once

#include <filesystem>
#include <string>

class DrovickSettings;

// Drovick's single-instance guard: the window program and drovick-peer serve
// both hold it, so a user runs one of them at a time.
inline constexpr const char* kDrovickGuardName = "Pellow Class";

// The user's "Drovick.settings" as the commands read and change it.
class SettingsFile {
public:
    SettingsFile();

    const std::filesystem::path& Path() const { return m_path; }

    // Reads the file into settings. A missing file leaves the defaults and is
    // fine; a file that is there but does not load is reported in error and
    // gives false, so that a change never replaces what the user may still
    // want to rescue.
    bool Load(DrovickSettings& settings, std::string& error) const;
    // Writes settings back, creating the folder when needed.
    bool Save(const DrovickSettings& settings, std::string& error) const;

private:
    std::filesystem::path m_path;
};

// The share table's form of a folder: absolute, no "." or ".." components,
// symbolic links resolved, ending in "/". Empty (error set) when the folder
// does not exist or is not a folder.
std::string ShareFormOf(const std::string& folder, std::string& error);
// A share entry as it is shown: without its closing "/" (the root stays "/").
std::string Shown(const std::string& entry);
