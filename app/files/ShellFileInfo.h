#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

// What GetFileInfo reports about one file: its icon, its item attributes, the
// name to show and a description of its type. Peers exchange it as a 352-byte
// record; EncodeShellFileInfo and DecodeShellFileInfo are the only code that
// knows that layout.
struct ShellFileInfo {
    std::uint32_t iconHandle = 0; // means nothing outside this process
    std::int32_t iconIndex = 0;   // index into the process-wide icon table
    std::uint32_t attributes = 0; // kItemFolder, kItemLink
    std::string displayName;      // at most kDisplayNameWidth - 1 bytes on the wire
    std::string typeName;         // at most kTypeNameWidth - 1 bytes on the wire

    bool operator==(const ShellFileInfo&) const = default;
};

inline constexpr std::uint32_t kItemFolder = 0x20000000;
inline constexpr std::uint32_t kItemLink = 0x00010000;

// Request flags of GetFileInfo.
inline constexpr std::uint32_t kInfoSmallIcon = 0x001;
inline constexpr std::uint32_t kInfoOpenIcon = 0x002;
inline constexpr std::uint32_t kInfoIcon = 0x100;
inline constexpr std::uint32_t kInfoDisplayName = 0x200;
inline constexpr std::uint32_t kInfoTypeName = 0x400;
inline constexpr std::uint32_t kInfoAttributes = 0x800;
inline constexpr std::uint32_t kInfoSystemIconIndex = 0x4000;

// Icon kinds the explorer draws: small, large, open folder.
inline constexpr int kIconSmall = 0;
inline constexpr int kIconLarge = 1;
inline constexpr int kIconOpen = 2;

// The icon kind a set of request flags asks for: open beats small beats large.
int IconKindOfFlags(std::uint32_t flags);

inline constexpr std::size_t kShellFileInfoSize = 352;
inline constexpr std::size_t kDisplayNameWidth = 260;
inline constexpr std::size_t kTypeNameWidth = 80;

void EncodeShellFileInfo(const ShellFileInfo& info,
                         std::span<std::uint8_t, kShellFileInfoSize> out);
ShellFileInfo DecodeShellFileInfo(std::span<const std::uint8_t, kShellFileInfoSize> in);
