#pragma once

#include <cstdint>
#include <string>

// The process-wide table of icons whose indexes GetFileInfo hands out, in place
// of a system image list. An icon is named by its desktop icon theme name (as
// QMimeType::iconName gives it) with a generic fallback name; the user interface
// turns an index back into names and loads the icon from the theme.
//
// Index 0 is always the generic file icon, so an index nobody stored draws as a
// plain file.
namespace SystemIconTable {

struct IconNames {
    std::string name;
    std::string fallbackName;
};

// The index of the icon with that name, added on first use. Thread-safe.
std::int32_t IndexOf(const std::string& name, const std::string& fallbackName);

// The names stored at an index; empty names when the index is unknown.
IconNames NamesAt(std::int32_t index);

inline constexpr std::int32_t kGenericFileIcon = 0;

} // namespace SystemIconTable
