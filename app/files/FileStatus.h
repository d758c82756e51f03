#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

// What GetStatus reports about one file. The same fields travel between peers as
// a 280-byte record; EncodeFileStatus and DecodeFileStatus are the only code that
// knows that layout.
struct FileStatus {
    std::int32_t creationTime = 0; // seconds since 1970-01-01 UTC, 0 when unknown
    std::int32_t modificationTime = 0;
    std::int32_t accessTime = 0;
    std::int32_t size = 0; // low 32 bits of the size in bytes
    std::uint8_t attribute = 0;
    std::string fullPath; // at most kFileStatusPathWidth - 1 bytes on the wire

    bool operator==(const FileStatus&) const = default;
};

// File attribute bits as the peers exchange them.
inline constexpr std::uint8_t kAttributeReadOnly = 0x01;
inline constexpr std::uint8_t kAttributeHidden = 0x02;
inline constexpr std::uint8_t kAttributeSystem = 0x04;
inline constexpr std::uint8_t kAttributeDirectory = 0x10;
inline constexpr std::uint8_t kAttributeArchive = 0x20;

inline constexpr std::size_t kFileStatusSize = 280;
inline constexpr std::size_t kFileStatusPathWidth = 260;

// Writes the record into exactly kFileStatusSize bytes (padding zeroed, path cut
// and terminated).
void EncodeFileStatus(const FileStatus& status, std::span<std::uint8_t, kFileStatusSize> out);

// Reads a record; the path is taken up to its first NUL and never past its field.
FileStatus DecodeFileStatus(std::span<const std::uint8_t, kFileStatusSize> in);
