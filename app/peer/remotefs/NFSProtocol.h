#pragma once

#include <cstddef>
#include <cstdint>

// The remote file system protocol between a friend's RemoteFileSystem and this
// computer's NFSServer, shared by both ends. Each connection carries one
// exchange: a connection type, then either a new session (type 1) or one
// operation on an existing session (type 2). Integers are 32-bit little-endian,
// paths and text results travel in kPathFieldWidth fields (PeerWire.h).

// Connection types, the first field of every connection.
inline constexpr std::int32_t kNfsNewClient = 1;
inline constexpr std::int32_t kNfsOperation = 2;

// What the client offers; the server answers the smaller of the client's
// version and its own, compared as unsigned numbers.
inline constexpr std::int32_t kNfsVersion = 1000;

// A table holding more sessions than this answers new clients with session -1.
inline constexpr std::size_t kNfsSessionLimit = 500;
inline constexpr std::int32_t kNfsNoSession = -1;

// Request codes: the high byte is the class (the shape of the arguments and
// of the reply), the low byte the operation.
enum NfsRequest : std::int32_t {
    kNfsRelease = 0x103,           // -> int32 1
    kNfsIsHidden = 0x106,          // -> int32, of the current item
    kNfsIsDirectory = 0x107,       // -> int32, of the current item
    kNfsIsDots = 0x108,            // -> int32, of the current item
    kNfsFindNextFile = 0x109,      // -> int32
    kNfsIsRecycleBin = 0x204,      // path -> int32
    kNfsFindFile = 0x20A,          // path -> int32
    kNfsOpenFile = 0x20B,          // path -> int32
    kNfsMoveFile = 0x30E,          // path, path -> int32
    kNfsGetRecycleBinPath = 0x405, // -> text
    kNfsGetFilePath = 0x40C,       // -> text, of the current item
    kNfsGetLogicalDrives = 0x412,  // -> kNfsDriveListSize bytes
    kNfsResolveShortcut = 0x50F,   // path -> text
    kNfsGetDriveType = 0x60D,      // path -> int32
    kNfsGetStatus = 0x710,         // path -> FileStatus record, int32
    kNfsGetFileInfo = 0x711,       // path, int32 flags -> ShellFileInfo record, int32
    kNfsListDirectory = 0x713,     // path -> int32 count, count listing entries
    kNfsGetProperties = 0x714,     // -> machine description, int32
};

// Class and operation of a request code.
inline constexpr int NfsRequestClass(std::int32_t code) {
    return static_cast<int>((static_cast<std::uint32_t>(code) >> 8) & 0xFF);
}
inline constexpr int NfsRequestOperation(std::int32_t code) {
    return static_cast<int>(static_cast<std::uint32_t>(code) & 0xFF);
}

// The drive list: zero-separated roots ended by an empty string; its last two
// bytes are always zero.
inline constexpr std::size_t kNfsDriveListSize = 512;

// The shell information each listing entry carries: display name, type name
// and attributes, no icon.
inline constexpr std::uint32_t kNfsListingInfoFlags = 0xE00;

// The most entries one listing carries (about 27 MB). The server cuts a longer
// folder there, and a client refuses a larger count before it allocates.
inline constexpr std::int32_t kNfsListingEntryLimit = 16384;
