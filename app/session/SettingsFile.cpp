#include "app/session/SettingsFile.h"

#include "app/files/DrovickSettings.h"

#include <system_error>

namespace fs = std::filesystem;

SettingsFile::SettingsFile()
    : m_path(DrovickSettings::LocationOf()) {}

bool SettingsFile::Load(DrovickSettings& settings, std::string& error) const {
    std::error_code failure;
    if (!fs::exists(m_path, failure))
        return true;
    if (settings.LoadSettings(m_path))
        return true;
    error = "the settings file " + m_path.string() +
            " is damaged or unreadable; it is left as it is (move it away to start afresh)";
    return false;
}

bool SettingsFile::Save(const DrovickSettings& settings, std::string& error) const {
    std::error_code failure;
    fs::create_directories(m_path.parent_path(), failure);
    if (settings.SaveSettings(m_path))
        return true;
    error = "could not write the settings file " + m_path.string();
    return false;
}

std::string ShareFormOf(const std::string& folder, std::string& error) {
    std::error_code failure;
    fs::path canonical = fs::canonical(fs::path(folder), failure);
    if (failure) {
        error = folder + ": " + failure.message();
        return {};
    }
    if (!fs::is_directory(canonical, failure)) {
        error = folder + " is not a folder";
        return {};
    }
    std::string form = canonical.string();
    if (form.empty() || form.back() != '/')
        form += '/';
    return form;
}

std::string Shown(const std::string& entry) {
    if (entry.size() > 1 && entry.back() == '/')
        return entry.substr(0, entry.size() - 1);
    return entry;
}
