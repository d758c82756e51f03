#pragma once

#include "app/files/IconTable.h"

#include <cstdint>
#include <string>

// The process-wide icon table whose indexes GetFileInfo hands out, in place of
// a system image list. Its indexes are the process's own: whatever keeps one
// beyond the process keeps the icon's names, or asks again in the next one.
namespace SystemIconTable {

using IconNames = ::IconNames;

IconTable& Process();

// Process().IndexOf and Process().NamesAt.
std::int32_t IndexOf(const std::string& name, const std::string& fallbackName);
IconNames NamesAt(std::int32_t index);

inline constexpr std::int32_t kGenericFileIcon = IconTable::kGenericFileIcon;

} // namespace SystemIconTable
