#pragma once

#include "app/peer/transfer/Sha256.h"
#include "app/peer/wire/PeerWire.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// The extended download exchange: the same connection and the same 520-byte
// request field as the classic one, so a server that only knows the classic
// exchange reads one field and refuses it, never waits for more.
//
// Request field (kTransferPathWidth bytes, numbers little-endian):
//   0  6  marker 00 00 'X' 'F' 'E' 'R': a classic field holds a path as a
//         NUL-terminated text, so one that starts with NUL names nothing
//   6  1  version (1)
//   7  1  flags: bit 0 asks for the SHA-256 of the whole file; others zero
//   8  8  start offset
//  16  2  path length in bytes (1 to kExtendedPathMax)
//  18  .  path bytes, as they are (no text conversion), then zeros
//
// Reply header (kExtendedReplySize bytes):
//   0  4  marker FE 'X' 'F' FF: read as a classic size word it is negative,
//         which no classic server sends for a file it serves
//   4  1  version (1)
//   5  1  status (ExtendedStatus)
//   6  1  flags: bit 0 the digest follows the bytes
//   7  1  zero
//   8  8  file size
//  16  8  start offset, as asked
// With status Ok, the bytes from the offset to the end of the file follow as
// one stream, then the 32-byte digest when flag bit 0 is set. With any other
// status the server closes after the header.
inline constexpr std::array<std::uint8_t, 6> kExtendedRequestMarker{0x00, 0x00, 'X', 'F', 'E', 'R'};
inline constexpr std::array<std::uint8_t, 4> kExtendedReplyMarker{0xFE, 'X', 'F', 0xFF};
inline constexpr std::uint8_t kExtendedVersion = 1;
inline constexpr std::uint8_t kExtendedWantDigest = 0x01;
inline constexpr std::size_t kExtendedRequestHeader = 18;
inline constexpr std::size_t kExtendedPathMax = kTransferPathWidth - kExtendedRequestHeader;
inline constexpr std::size_t kExtendedReplySize = 24;
inline constexpr std::size_t kExtendedDigestSize = 32;

enum class ExtendedStatus : std::uint8_t {
    Ok = 0,
    BadRequest = 1, // unknown version or flags, or a path length outside the field
    NotShared = 2,  // the path names nothing inside the shared folders
    NotAFile = 3,   // a folder, or no regular file there
    BadOffset = 4,  // the offset lies past the end of the file
    CannotRead = 5, // the file could not be opened
};

struct ExtendedRequest {
    std::string path; // raw bytes
    std::uint64_t offset = 0;
    bool wantDigest = false;
};

struct ExtendedReply {
    ExtendedStatus status = ExtendedStatus::Ok;
    bool digestFollows = false;
    std::uint64_t size = 0;
    std::uint64_t offset = 0;
};

// True when the field carries the extended marker (and so is no classic path).
bool IsExtendedRequest(std::span<const std::uint8_t> field);

// Empty when the path does not fit the field, is empty or holds a NUL.
std::optional<std::vector<std::uint8_t>> EncodeExtendedRequest(const ExtendedRequest& request);
// Why a marked field was not a valid request, or empty when it was.
std::optional<std::string> DecodeExtendedRequest(std::span<const std::uint8_t> field,
                                                 ExtendedRequest& request);

std::array<std::uint8_t, kExtendedReplySize> EncodeExtendedReply(const ExtendedReply& reply);
// False when the bytes are not an extended reply header of a known version.
bool DecodeExtendedReply(std::span<const std::uint8_t> bytes, ExtendedReply& reply);

const char* ExtendedStatusName(ExtendedStatus status);
