#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

// An icon is named by its desktop icon theme name (as QMimeType::iconName gives
// it) with a generic fallback name.
struct IconNames {
    std::string name;
    std::string fallbackName;
};

// Hands out small indexes for icon names, in the order of first use, so lists
// can carry an int per entry and the user interface turns it back into names.
// Index 0 is always the generic file icon. The indexes mean something only to
// the table that gave them: another table (another process) numbers the same
// icons differently. Thread-safe; it only grows, one entry per distinct name.
class IconTable {
public:
    IconTable();
    IconTable(const IconTable&) = delete;
    IconTable& operator=(const IconTable&) = delete;

    // The index of the icon with that name, added on first use.
    std::int32_t IndexOf(const std::string& name, const std::string& fallbackName);
    // The names stored at an index; empty names when the index is unknown.
    IconNames NamesAt(std::int32_t index) const;

    static constexpr std::int32_t kGenericFileIcon = 0;

private:
    mutable std::mutex m_mutex;
    std::vector<IconNames> m_icons;
    std::unordered_map<std::string, std::int32_t> m_indexByName;
};
