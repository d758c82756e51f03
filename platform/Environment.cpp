#include "platform/Environment.h"

#include <charconv>
#include <cstdlib>

namespace platform {

std::string EnvironmentText(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr)
        return {};
    std::string text = value;
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

std::string DirectoryHost() {
    std::string host = EnvironmentText("HALVARA_DIRECTORY");
    return host.empty() ? kDefaultDirectoryHost : host;
}

std::string UpdateUrl() {
    std::string url = EnvironmentText("DROVICK_UPDATE_URL");
    return url.empty() ? "http://" + DirectoryHost() + "/latestversion/drovick" : url;
}

std::string ConfiguredAddress() {
    return EnvironmentText("HALVARA_ADDRESS");
}

long EnvironmentMilliseconds(const char* name, long fallback, long least, long most) {
    const std::string text = EnvironmentText(name);
    long value = 0;
    auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || failure != std::errc() || end != text.data() + text.size() ||
        value < least || value > most)
        return fallback;
    return value;
}

std::filesystem::path AbsoluteFolder(const char* name) {
    std::string folder = EnvironmentText(name);
    if (folder.empty() || folder.front() != '/')
        return {};
    return folder;
}

std::filesystem::path HomeFolder() {
    return AbsoluteFolder("HOME");
}

std::filesystem::path ConfigHome() {
    std::filesystem::path config = AbsoluteFolder("XDG_CONFIG_HOME");
    if (!config.empty())
        return config;
    std::filesystem::path home = HomeFolder();
    return home.empty() ? home : home / ".config";
}

} // namespace platform
