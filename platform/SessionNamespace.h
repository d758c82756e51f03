#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace platform {

// The folder that stands for the logon session's namespace of named objects:
// $XDG_RUNTIME_DIR/halvara, else /tmp/halvara-<uid>. Created with mode 0700; a
// folder owned by another user is refused (std::system_error).
std::filesystem::path SessionNamespacePath();

// The file of a named object in the namespace: the object's name verbatim, with
// '/' turned into '_', followed by the given suffix.
std::filesystem::path SessionObjectPath(std::string_view objectName, std::string_view suffix = {});

} // namespace platform
