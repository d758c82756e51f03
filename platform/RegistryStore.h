#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The current user's registry: a key is a folder under the store's root, a value
// is a file holding its raw bytes. Writes go to a temporary file that is flushed
// and renamed over the old one, so a reader sees the old or the new value whole,
// never part of one. Key paths use '\' or '/' between their parts.
class RegistryStore {
public:
    // $XDG_CONFIG_HOME/halvara/registry (else $HOME/.config/halvara/registry).
    static std::filesystem::path DefaultRoot();

    explicit RegistryStore(std::filesystem::path root = DefaultRoot());

    std::optional<std::vector<std::uint8_t>> ReadValue(std::string_view key, std::string_view name) const;
    // Creates the key when needed. Returns false when the value could not be written.
    bool WriteValue(std::string_view key, std::string_view name, const std::vector<std::uint8_t>& bytes);
    bool DeleteValue(std::string_view key, std::string_view name);
    // Deletes the key with all its values and subkeys.
    bool DeleteKey(std::string_view key);
    std::vector<std::string> SubKeys(std::string_view key) const;
    bool KeyExists(std::string_view key) const;

    const std::filesystem::path& Root() const { return m_root; }

private:
    std::filesystem::path KeyPath(std::string_view key) const;
    std::filesystem::path m_root;
};

} // namespace platform
