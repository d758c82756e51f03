#pragma once

#include "app/peer/transfer/DigestCache.h"
#include "app/peer/transfer/ExtendedTransfer.h"
#include "app/peer/transfer/TransferPace.h"
#include "app/peer/wire/PeerServer.h"
#include "app/peer/wire/PeerWire.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

class LogEvent;
class ShareTable;

// Download exchange on one connection, shared by the server and the agent:
// the agent sends the requested path in a kTransferPathWidth field, the server
// answers the file size (int32, greater than 0) and then the file in blocks of
// exactly kTransferBlockSize bytes. There are size / kTransferBlockSize + 1
// blocks: the last one carries the tail followed by zero filler, and holds
// filler only when the size is an exact multiple of the block size.
inline constexpr std::size_t kTransferBlockSize = 10240;
// The source path the agent copies into the request field (a 261-byte field
// holds at most 260 characters).
inline constexpr std::size_t kTransferSourcePathText = 260;
// Sends in a row that may fail before the server gives a download up.
inline constexpr int kTransferSendAttempts = 6;

// Number of blocks a file of size bytes travels in.
inline constexpr std::int64_t TransferBlockCount(std::int64_t size) {
    return size / static_cast<std::int64_t>(kTransferBlockSize) + 1;
}

// Sends whole files from the shared folders to peers that ask for them, one
// download per connection, several side by side (PeerServer). Besides the
// classic exchange it answers the extended one (ExtendedTransfer.h): any
// size, from an offset, with the file's SHA-256 at the end when asked. A reader that
// takes less than minimumRate over a rate window is cut off, so a trickling
// reader cannot hold a worker for the hours a large file would take. Each step
// is one "TransferServer: " line in the event log.
//
// Every requested path goes through CanonicalizePeerPath, so only files that
// really lie inside a shared folder are served: "..", a symbolic link that
// leads out of the shares and absolute paths anywhere else are refused like
// any other path outside the shares.
class TransferServer : public PeerServer {
public:
    struct Limits {
        // How long the request may take to arrive: a peer that connects and
        // sends nothing holds the server for at most this long.
        std::chrono::milliseconds requestLimit = kPeerCallLimit;
        // Each attempt at sending one block (and the size word).
        std::chrono::milliseconds sendLimit = kPeerCallLimit;
        // 4 KiB/s is 32 kbit/s, below any link a friend downloads over; a
        // reader taking 2 KiB every 2 s is under it. Over 20 s, so that a
        // stall of a few seconds on a real link is forgiven.
        std::size_t minimumRate = 4096;
        std::chrono::milliseconds rateWindow{20000};
    };

    // Holds a reference on table while it lives (table may be null: then the
    // server refuses to start). log may be null: events are then dropped.
    TransferServer(std::shared_ptr<ShareTable> table, LogEvent* log,
                   int port = kTransferServerPort);
    TransferServer(std::shared_ptr<ShareTable> table, LogEvent* log, int port, Timing timing,
                   Limits limits);
    ~TransferServer() override;

    // Refused (false) without a share table, as there is nothing to serve, and
    // while the worker thread is recorded.
    bool Start();

    // Bytes of files sent through the extended exchange since the server was
    // made, so a resumed download can be seen to move only the remainder.
    std::uint64_t ExtendedBytesSent() const { return m_extendedBytesSent.load(); }

protected:
    void ServeConnection(TimeOutSocket& connection) override;

private:
    void Log(const std::string& line) const;
    // Where a peer's path leads once checked as the class comment says:
    // canonical is set only when the path names something inside the shares.
    enum class Lookup { Found, NotShared, Folder };
    Lookup FindSharedFile(const std::string& path, std::string& canonical) const;
    // Sends all count bytes, repeating what did not go out; false after
    // kTransferSendAttempts failures in a row, when the reader falls below the
    // pace or when the server is stopping.
    bool SendBytes(TimeOutSocket& connection, const std::uint8_t* data, std::size_t count,
                   TransferPace& pace);
    void ServeExtended(TimeOutSocket& connection, std::span<const std::uint8_t> field);
    // Answers an extended request with a refusal and closes.
    void RefuseExtended(TimeOutSocket& connection, ExtendedStatus status, const std::string& line);
    // Streams [offset, size) of the open file, hashing it into hash when
    // hash is given; false when the file ended early or the reader failed.
    bool StreamFile(TimeOutSocket& connection, int fd, std::uint64_t offset, std::uint64_t size,
                    Sha256* hash);

    const std::shared_ptr<ShareTable> m_table;
    LogEvent* m_log;
    const Limits m_limits;
    DigestCache m_digests;
    std::atomic<std::uint64_t> m_extendedBytesSent{0};
};
