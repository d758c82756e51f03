#include "app/peer/transfer/TransferAgentDownload.h"

#include "app/peer/transfer/ExtendedTransfer.h"
#include "app/peer/transfer/GrowingFileHash.h"
#include "app/peer/transfer/TransferServer.h"
#include "app/peer/wire/TimeOutSocket.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string LowerAscii(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](char c) { return LowerAscii(c); });
    return text;
}

bool WriteAll(int fd, const std::uint8_t* data, std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
        ssize_t wrote = write(fd, data + done, count - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return false;
        done += static_cast<std::size_t>(wrote);
    }
    return true;
}

// Cuts the file to length when it is longer. A file of that length already
// is left alone: ext4 writes back on close every file once truncated to 0,
// which held up the end of each new download by a flush of the whole file.
bool TruncateLonger(int fd, std::uint64_t length) {
    struct stat info {};
    if (fstat(fd, &info) != 0)
        return false;
    return static_cast<std::uint64_t>(info.st_size) <= length ||
           ftruncate(fd, static_cast<off_t>(length)) == 0;
}

struct OutputFile {
    int fd = -1;
    ~OutputFile() {
        if (fd >= 0)
            close(fd);
    }
};

// The request field: the source path as a 261-byte field would carry it (at
// most 260 characters), the rest of the 520 bytes zero.
std::vector<std::uint8_t> RequestField(const std::string& sourcePath) {
    std::vector<std::uint8_t> field(kTransferPathWidth, 0);
    std::size_t length =
        std::min({sourcePath.size(), kTransferSourcePathText, sourcePath.find('\0')});
    std::copy_n(sourcePath.begin(), length, field.begin());
    return field;
}

// What one receive of the extended stream takes at most: a 128th of the file
// within these bounds, so a small file still shows its progress in steps.
constexpr std::size_t kStreamChunkMin = 16 * 1024;
constexpr std::size_t kStreamChunkMax = 256 * 1024;
// The server hashes the part before the offset before it streams; the agent
// allows for that at this rate on top of its call limit, so a slow disk on
// the server is not taken for a dead peer.
constexpr std::uint64_t kSlowestHashRate = 32 * 1024 * 1024;

std::chrono::milliseconds HashAllowance(std::uint64_t bytes) {
    return std::chrono::milliseconds(bytes / (kSlowestHashRate / 1000));
}

// Everything one attempt needs besides the connection.
struct Attempt {
    const TransferItem& item;
    const std::atomic<bool>& running;
    const TransferProgress& progress;
    const TransferDownloadOptions& options;
    int fd;
};

// The classic blocks after a size word: size bytes of file in whole blocks,
// written from byte 0 of the destination, which is emptied first.
DownloadResult ReceiveClassicBlocks(TimeOutSocket& connection, const Attempt& attempt,
                                    std::int32_t size) {
    if (attempt.options.expectedSize && *attempt.options.expectedSize != std::uint64_t(size))
        return DownloadResult::SourceChanged;
    if (!TruncateLonger(attempt.fd, 0) || lseek(attempt.fd, 0, SEEK_SET) != 0)
        return DownloadResult::WriteFailed;
    std::array<std::uint8_t, kTransferBlockSize> block{};
    std::int64_t written = 0;
    while (written < size) {
        if (!attempt.running.load())
            return DownloadResult::Stopped;
        std::size_t got = 0;
        while (got < kTransferBlockSize) {
            connection.SetTimeOut(attempt.options.callLimit);
            long received = connection.Receive(block.data() + got, kTransferBlockSize - got);
            if (received <= 0)
                return attempt.running.load() ? DownloadResult::ReceiveFailed
                                              : DownloadResult::Stopped;
            got += static_cast<std::size_t>(received);
            if (attempt.progress)
                attempt.progress(written + static_cast<std::int64_t>(got), size);
        }
        std::size_t keep = static_cast<std::size_t>(
            std::min<std::int64_t>(size - written, static_cast<std::int64_t>(kTransferBlockSize)));
        if (!WriteAll(attempt.fd, block.data(), keep))
            return DownloadResult::WriteFailed;
        written += static_cast<std::int64_t>(keep);
    }
    return DownloadResult::Done;
}

// A classic size word that announced nothing: a file of 2 GiB or more the
// server cannot announce, when the agent knows the file is that large.
DownloadResult Refusal(const Attempt& attempt) {
    const auto& expected = attempt.options.expectedSize;
    return expected && *expected > std::uint64_t(std::numeric_limits<std::int32_t>::max())
               ? DownloadResult::TooLarge
               : DownloadResult::Refused;
}

DownloadResult ClassicExchange(const std::string& host, const Attempt& attempt) {
    TimeOutSocket connection;
    connection.WatchRunFlag(&attempt.running);
    if (!connection.Connect(host, attempt.options.port))
        return DownloadResult::CannotConnect;
    if (!connection.SendBlock(RequestField(attempt.item.sourcePath), attempt.options.callLimit))
        return DownloadResult::RequestFailed;
    std::int32_t size = 0;
    if (!connection.ReceiveInt32(size, attempt.options.callLimit) || size <= 0)
        return Refusal(attempt);
    return ReceiveClassicBlocks(connection, attempt, size);
}

// The stream after an extended reply header, then the digest when one follows.
DownloadOutcome ReceiveExtendedStream(TimeOutSocket& connection, const Attempt& attempt,
                                      const ExtendedReply& reply) {
    DownloadOutcome outcome;
    outcome.extended = true;
    outcome.size = reply.size;
    outcome.startOffset = reply.offset;
    auto fail = [&](DownloadResult result) {
        outcome.result = result;
        return outcome;
    };
    if (attempt.options.expectedSize && *attempt.options.expectedSize != reply.size)
        return fail(DownloadResult::SourceChanged);

    // The part already here is hashed while the server sends the rest, from
    // the saved state when there is one the part reaches.
    std::optional<GrowingFileHash> hash;
    if (reply.digestFollows) {
        const auto& from = attempt.options.hashFrom;
        hash.emplace(attempt.fd, attempt.running,
                     GrowingHashStart{from && from->bytes <= reply.offset ? from : std::nullopt,
                                      attempt.options.hashCheckpoint,
                                      attempt.options.checkpointEvery});
        outcome.hashedFrom = hash->StartedAt();
        hash->Written(reply.offset);
    }
    if (lseek(attempt.fd, static_cast<off_t>(reply.offset), SEEK_SET) < 0)
        return fail(DownloadResult::WriteFailed);

    const auto size = static_cast<std::int64_t>(reply.size);
    auto written = static_cast<std::int64_t>(reply.offset);
    if (attempt.progress)
        attempt.progress(written, size);
    std::vector<std::uint8_t> chunk(static_cast<std::size_t>(
        std::clamp<std::uint64_t>(reply.size / 128, kStreamChunkMin, kStreamChunkMax)));
    auto limit = attempt.options.callLimit + HashAllowance(reply.offset);
    while (written < size) {
        if (!attempt.running.load())
            return fail(DownloadResult::Stopped);
        connection.SetTimeOut(limit);
        limit = attempt.options.callLimit;
        const auto want = static_cast<std::size_t>(
            std::min<std::int64_t>(size - written, static_cast<std::int64_t>(chunk.size())));
        long received = connection.Receive(chunk.data(), want);
        if (received <= 0)
            return fail(attempt.running.load() ? DownloadResult::ReceiveFailed
                                               : DownloadResult::Stopped);
        const auto count = static_cast<std::size_t>(received);
        if (!WriteAll(attempt.fd, chunk.data(), count))
            return fail(DownloadResult::WriteFailed);
        written += static_cast<std::int64_t>(count);
        if (hash)
            hash->Written(static_cast<std::uint64_t>(written));
        if (attempt.progress)
            attempt.progress(written, size);
    }
    if (hash) {
        // Our hash catches up before the digest is read, so a connection
        // that ends without it still leaves every hash state of the part
        // handed out for the next attempt.
        const auto ours = hash->Finish(reply.size);
        if (!ours)
            return fail(attempt.running.load() ? DownloadResult::WriteFailed
                                               : DownloadResult::Stopped);
        std::vector<std::uint8_t> theirs;
        if (!connection.ReceiveBlock(theirs, kExtendedDigestSize, limit))
            return fail(DownloadResult::ReceiveFailed);
        const bool same = std::equal(ours->begin(), ours->end(), theirs.begin());
        outcome.digest =
            same ? DownloadOutcome::Digest::Verified : DownloadOutcome::Digest::Mismatch;
        if (!same)
            return fail(DownloadResult::DigestMismatch);
    }
    return fail(DownloadResult::Done);
}

// Asks with the extended request. Empty when the server does not speak it
// (it closed, or answered nothing the agent understands): the caller then
// asks again with the classic request.
std::optional<DownloadOutcome> ExtendedExchange(const std::string& host, const Attempt& attempt,
                                                std::uint64_t offset) {
    DownloadOutcome outcome;
    // The path is cut as the classic field cuts it, so whichever exchange
    // the server speaks, the same path is asked for.
    const std::string& path = attempt.item.sourcePath;
    ExtendedRequest request{
        path.substr(0, std::min({path.size(), kTransferSourcePathText, path.find('\0')})), offset,
        attempt.options.wantDigest};
    auto field = EncodeExtendedRequest(request);
    if (!field)
        return std::nullopt;
    TimeOutSocket connection;
    connection.WatchRunFlag(&attempt.running);
    if (!connection.Connect(host, attempt.options.port)) {
        outcome.result = DownloadResult::CannotConnect;
        return outcome;
    }
    if (!connection.SendBlock(*field, attempt.options.callLimit)) {
        outcome.result = DownloadResult::RequestFailed;
        return outcome;
    }
    std::vector<std::uint8_t> marker;
    if (!connection.ReceiveBlock(marker, kExtendedReplyMarker.size(), attempt.options.callLimit))
        return attempt.running.load() ? std::nullopt
                                      : std::optional(DownloadOutcome{DownloadResult::Stopped});
    if (!std::equal(marker.begin(), marker.end(), kExtendedReplyMarker.begin())) {
        // A server that answers any field with a classic size word: the
        // classic blocks follow on this connection.
        std::int32_t size = 0;
        DecodeInt32(marker, size);
        outcome.result =
            size <= 0 ? Refusal(attempt) : ReceiveClassicBlocks(connection, attempt, size);
        return outcome;
    }
    std::vector<std::uint8_t> rest;
    if (!connection.ReceiveBlock(rest, kExtendedReplySize - marker.size(),
                                 attempt.options.callLimit))
        return std::nullopt;
    marker.insert(marker.end(), rest.begin(), rest.end());
    ExtendedReply reply;
    if (!DecodeExtendedReply(marker, reply) || reply.status == ExtendedStatus::BadRequest)
        return std::nullopt;
    if (reply.status != ExtendedStatus::Ok || reply.offset != offset || reply.offset > reply.size) {
        outcome.result = DownloadResult::Refused;
        outcome.extended = true;
        return outcome;
    }
    return ReceiveExtendedStream(connection, attempt, reply);
}

} // namespace

bool EqualIgnoringAsciiCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return LowerAscii(x) == LowerAscii(y);
           });
}

const char* DownloadResultName(DownloadResult result) {
    switch (result) {
    case DownloadResult::Done:
        return "Done";
    case DownloadResult::WrongDirection:
        return "WrongDirection";
    case DownloadResult::CannotCreate:
        return "CannotCreate";
    case DownloadResult::NoAddress:
        return "NoAddress";
    case DownloadResult::CannotConnect:
        return "CannotConnect";
    case DownloadResult::RequestFailed:
        return "RequestFailed";
    case DownloadResult::Refused:
        return "Refused";
    case DownloadResult::ReceiveFailed:
        return "ReceiveFailed";
    case DownloadResult::WriteFailed:
        return "WriteFailed";
    case DownloadResult::Stopped:
        return "Stopped";
    case DownloadResult::SourceChanged:
        return "SourceChanged";
    case DownloadResult::DigestMismatch:
        return "DigestMismatch";
    case DownloadResult::TooLarge:
        return "TooLarge";
    }
    return "?";
}

DownloadResult DownloadTransferItem(const TransferItem& item, FriendResolver* friends,
                                    const std::atomic<bool>& running,
                                    const TransferProgress& progress,
                                    const TransferDownloadOptions& options) {
    return DownloadTransferItemEx(item, friends, running, progress, options).result;
}

DownloadOutcome DownloadTransferItemEx(const TransferItem& item, FriendResolver* friends,
                                       const std::atomic<bool>& running,
                                       const TransferProgress& progress,
                                       const TransferDownloadOptions& options) {
    DownloadOutcome outcome;
    // Only downloads: from another computer to this one.
    if (EqualIgnoringAsciiCase(item.sourceHost, kLocalHostAddress) ||
        !EqualIgnoringAsciiCase(item.destinationHost, kLocalHostAddress)) {
        outcome.result = DownloadResult::WrongDirection;
        return outcome;
    }

    // Kept up to the start offset (never further than it already reaches),
    // so a resume appends to what is there.
    OutputFile file;
    file.fd = open(item.destinationPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    struct stat info {};
    if (file.fd < 0 || fstat(file.fd, &info) != 0) {
        outcome.result = DownloadResult::CannotCreate;
        return outcome;
    }
    const std::uint64_t offset =
        std::min<std::uint64_t>(options.startOffset, static_cast<std::uint64_t>(info.st_size));
    if (!TruncateLonger(file.fd, offset)) {
        outcome.result = DownloadResult::CannotCreate;
        return outcome;
    }

    std::string host = item.sourceHost;
    if (host.find('@') != std::string::npos) {
        host = friends ? friends->AddressOf(LowerAscii(host)) : std::string();
        // "0.0.0.0" is an offline friend: nobody connects to it.
        if (!AddressBytes(host) || host == "0.0.0.0") {
            outcome.result = DownloadResult::NoAddress;
            return outcome;
        }
    }

    const Attempt attempt{item, running, progress, options, file.fd};
    std::optional<DownloadOutcome> extended;
    if (options.extended)
        extended = ExtendedExchange(host, attempt, offset);
    if (extended) {
        outcome = *extended;
    } else {
        // The classic exchange announces sizes in 32 bits and always starts at 0.
        outcome.result =
            options.expectedSize &&
                    *options.expectedSize > std::uint64_t(std::numeric_limits<std::int32_t>::max())
                ? DownloadResult::TooLarge
                : ClassicExchange(host, attempt);
    }
    if (outcome.result == DownloadResult::Done ||
        outcome.result == DownloadResult::DigestMismatch) {
        const int fd = file.fd;
        file.fd = -1;
        if (close(fd) != 0)
            outcome.result = DownloadResult::WriteFailed;
    }
    return outcome;
}
