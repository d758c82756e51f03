#pragma once

#include "app/peer/transfer/Sha256.h"
#include "app/peer/wire/PeerWire.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

// One download the transfer agent works on: where the file is and where it
// goes. A host is a dotted IPv4 address, "127.0.0.1" for this computer, or a
// friend's e-mail address (a text with an at sign).
struct TransferItem {
    std::string sourcePath;
    std::string sourceHost;
    std::string destinationPath;
    std::string destinationHost;
};

// Longest texts an item holds (its fields are 261 and 257 bytes with the NUL).
inline constexpr std::size_t kTransferItemPathText = 260;
inline constexpr std::size_t kTransferItemHostText = 256;
// The address that stands for this computer in an item.
inline constexpr char kLocalHostAddress[] = "127.0.0.1";

// Turns a friend's e-mail address into the friend's current address. The
// presence library implements it; it walks the friend list for the first
// friend whose profile e-mail address equals the given text byte for byte.
// Called on the transfer agent's worker thread.
class FriendResolver {
public:
    virtual ~FriendResolver() = default;
    // email is already lower-cased. The friend's dotted address, or "" when
    // there is no such friend, no known address, or no presence library yet.
    virtual std::string AddressOf(const std::string& email) = 0;
};

// How a download ended. Only Done is a success; the queue treats every other
// result alike, the rest say why for logs and tests.
enum class DownloadResult {
    Done,
    WrongDirection, // not from another computer to this one; no file touched
    CannotCreate,   // the destination could not be created
    NoAddress,      // a friend's address could not be found
    CannotConnect,  // no connection to the friend's transfer server
    RequestFailed,  // the request could not be sent
    Refused,        // no positive size arrived: the server refused the file
    ReceiveFailed,  // a block stopped short
    WriteFailed,    // the destination could not be written
    Stopped,        // the run flag was cleared between blocks
    SourceChanged,  // the server announced another size than expected; nothing written
    DigestMismatch, // all bytes arrived but the file's SHA-256 differs from the server's
    TooLarge,       // 2 GiB or more, and the server only offers the classic exchange
};

const char* DownloadResultName(DownloadResult result);

struct TransferDownloadOptions {
    int port = kTransferServerPort;
    // Each receive of the size word and of block data.
    std::chrono::milliseconds callLimit = kPeerCallLimit;
    // The destination is kept up to here and written on from here (it is
    // opened without truncating and cut to this length). Only the extended
    // exchange can start past 0; a server that offers only the classic one
    // sends the whole file again.
    std::uint64_t startOffset = 0;
    // Ask with the extended request first; when the server closes on it or
    // answers something else, reconnect and ask with the classic one.
    bool extended = true;
    // Ask the server for the SHA-256 of the whole file and compare it with
    // the file as written (extended exchange only).
    bool wantDigest = true;
    // The size the source had when the destination was started: a server
    // announcing another size ends the download with SourceChanged before a
    // byte is written.
    std::optional<std::uint64_t> expectedSize;
    // The hash of the destination's first bytes, saved by an earlier
    // attempt: the agent hashes on from there instead of reading the part it
    // already has from byte 0. Only taken when it lies at or below the start
    // offset. A wrong state is not detected here; it ends in DigestMismatch.
    std::optional<Sha256Checkpoint> hashFrom;
    // Called on the agent's hashing thread each time its hash of the
    // destination passes another multiple of checkpointEvery bytes.
    std::function<void(const Sha256Checkpoint&)> hashCheckpoint;
    std::uint64_t checkpointEvery = 64 * 1024 * 1024;
};

// Called after every receive with the bytes of the file the destination holds
// so far (counted from byte 0, so a resumed download shows its true share)
// and the file's size.
using TransferProgress = std::function<void(std::int64_t received, std::int64_t size)>;

// What one download did, for the agent that keeps resume records.
struct DownloadOutcome {
    enum class Digest { NotAsked, Verified, Mismatch };

    DownloadResult result = DownloadResult::RequestFailed;
    bool extended = false;         // the extended exchange carried the file
    std::uint64_t size = 0;        // as the server announced it (0 when none arrived)
    std::uint64_t startOffset = 0; // where writing started (0 after a fallback)
    Digest digest = Digest::NotAsked;
    // Where the agent's own hash of the destination started reading it: 0,
    // or the bytes of the saved state it went on from.
    std::uint64_t hashedFrom = 0;
};

// Fetches the item's file from the source computer's transfer server and
// writes it to the destination, which is created (or emptied) first. A
// download that fails or is stopped leaves the destination as far as it was
// written, always a whole number of blocks. running is watched by the
// connection too, so clearing it also ends a wait on a silent server.
//
// Whatever the server announces, the agent holds one block in memory: the
// size word decides how much is written, never how much is allocated.
DownloadResult DownloadTransferItem(const TransferItem& item, FriendResolver* friends,
                                    const std::atomic<bool>& running,
                                    const TransferProgress& progress,
                                    const TransferDownloadOptions& options = {});

// The same download, telling which exchange carried it, from where it was
// written and whether the digest matched. A digest mismatch leaves the
// destination as written and ends in DownloadResult::DigestMismatch.
DownloadOutcome DownloadTransferItemEx(const TransferItem& item, FriendResolver* friends,
                                       const std::atomic<bool>& running,
                                       const TransferProgress& progress,
                                       const TransferDownloadOptions& options = {});

// Case of ASCII letters ignored, every other byte compared as it is.
bool EqualIgnoringAsciiCase(const std::string& a, const std::string& b);
