#pragma once

#include "app/files/FileStatus.h"
#include "app/files/ShellFileInfo.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

// One item of a remote directory listing: everything a client asks about an
// item while it walks a folder, so that one request answers the whole walk.
// The three shell information records are filled with the same flags; the
// client picks A for small icons, C for open icons and B otherwise.
struct NFSListingEntry {
    std::int32_t isHidden = 0;
    std::int32_t isDirectory = 0;
    FileStatus status;
    std::int32_t statusResult = 0;
    ShellFileInfo infoA;
    ShellFileInfo infoB;
    ShellFileInfo infoC;
    std::int32_t isDots = 0;
    std::int32_t hasSubdirectories = 0;
    std::int32_t infoResultB = 0;
    std::int32_t infoResultA = 0;
    std::int32_t infoResultC = 0;
    std::string path; // at most kNfsListingPathWidth - 1 bytes on the wire

    bool operator==(const NFSListingEntry&) const = default;
};

inline constexpr std::size_t kNfsListingEntrySize = 1628;
inline constexpr std::size_t kNfsListingPathWidth = 260;

// Writes exactly kNfsListingEntrySize bytes, the path cut and terminated.
void EncodeNFSListingEntry(const NFSListingEntry& entry,
                           std::span<std::uint8_t, kNfsListingEntrySize> out);
// Reads one entry; the texts never run past their fields.
NFSListingEntry DecodeNFSListingEntry(std::span<const std::uint8_t, kNfsListingEntrySize> in);
