#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <sys/types.h>

namespace platform {

// Replaces a file's content so that a reader, or the next start after a crash
// or a full disk, sees the old content or the new one whole, never part of one:
// the bytes go to a new file made from temporaryTemplate (a path in the same
// folder ending in "XXXXXX"), which is flushed, renamed over the file, and the
// folder flushed after it. On failure the temporary file is removed and the old
// file stays as it was.
bool ReplaceFileAtomically(const std::filesystem::path& file, std::string temporaryTemplate,
                           std::span<const std::uint8_t> bytes, mode_t mode = 0600);

// Makes a rename or an unlink in the folder durable.
void SyncFolder(const std::filesystem::path& folder);

} // namespace platform
