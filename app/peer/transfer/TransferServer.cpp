#include "app/peer/transfer/TransferServer.h"

#include "app/files/LogEvent.h"
#include "app/files/PeerPath.h"
#include "app/files/SafeText.h"
#include "app/files/ShareTable.h"
#include "app/files/SharedFileSystem.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// Reads up to count bytes, as many as the file still has; a read error ends it
// like the end of the file.
std::size_t ReadUpTo(int fd, std::uint8_t* buffer, std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
        ssize_t got = read(fd, buffer + done, count - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

// Closes the file on every way out of a download.
struct OpenFile {
    int fd = -1;
    ~OpenFile() {
        if (fd >= 0)
            close(fd);
    }
};

} // namespace

TransferServer::TransferServer(std::shared_ptr<ShareTable> table, LogEvent* log, int port)
    : TransferServer(std::move(table), log, port, Timing{}, Limits{}) {}

TransferServer::TransferServer(std::shared_ptr<ShareTable> table, LogEvent* log, int port,
                               Timing timing, Limits limits)
    : PeerServer(port, timing)
    , m_table(std::move(table))
    , m_log(log)
    , m_limits(limits) {}

TransferServer::~TransferServer() {
    // The worker must not serve a connection with a table already given back.
    Stop(true);
}

bool TransferServer::Start() {
    if (!m_table)
        return false;
    return PeerServer::Start();
}

void TransferServer::Log(const std::string& line) const {
    if (m_log)
        (*m_log)(line);
}

bool TransferServer::SendBytes(TimeOutSocket& connection, const std::uint8_t* data,
                               std::size_t count, TransferPace& pace) {
    std::size_t done = 0;
    int failures = 0;
    while (done < count) {
        // No attempt waits past the pace's window, where the rate is judged.
        const auto untilWindowEnd = std::chrono::duration_cast<std::chrono::milliseconds>(
            pace.WindowEnd() - std::chrono::steady_clock::now());
        connection.SetTimeOut(
            std::max(std::min(untilWindowEnd, m_limits.sendLimit), std::chrono::milliseconds(1)));
        std::size_t sent = connection.Send(data + done, count - done);
        done += sent;
        pace.Sent(sent);
        if (!pace.Keeps())
            return false;
        if (done == count)
            break;
        // Only what did not go out is sent again: repeating bytes the peer
        // already has would shift the rest of the file. A send that moved
        // some bytes counts as a success.
        failures = sent > 0 ? 0 : failures + 1;
        if (failures >= kTransferSendAttempts || !IsRunning())
            return false;
    }
    return true;
}

TransferServer::Lookup TransferServer::FindSharedFile(const std::string& path,
                                                      std::string& canonical) const {
    // The path is the peer's: it is served only when it still lies inside a
    // shared folder once "." and ".." and every symbolic link are taken into
    // account. A path that does not exist is refused here as well.
    if (!m_table->IsShared(path) || !CanonicalizePeerPath(*m_table, path, canonical))
        return Lookup::NotShared;
    SharedFileSystem view(m_table);
    return view.IsFolder(canonical) ? Lookup::Folder : Lookup::Found;
}

void TransferServer::ServeConnection(TimeOutSocket& connection) {
    Log("TransferServer: Got connection");

    // The accepted connection has a time limit: a peer that connects and says
    // nothing must not hold a worker.
    std::vector<std::uint8_t> field;
    std::string path;
    if (!connection.ReceiveBlock(field, kTransferPathWidth, m_limits.requestLimit) ||
        !DecodeTextField(field, kTransferPathWidth, path)) {
        connection.Close();
        Log("TransferServer: Lost connection");
        return;
    }
    if (IsExtendedRequest(field)) {
        ServeExtended(connection, field);
        return;
    }
    Log("TransferServer: Request for " + path);

    std::string canonical;
    const Lookup found = FindSharedFile(path, canonical);
    if (found != Lookup::Found) {
        connection.Close();
        Log(found == Lookup::NotShared ? "TransferServer: File is not shared"
                                       : "TransferServer: File is a directory");
        return;
    }

    // The size is taken from the disk in 64 bits: the size word is 32-bit
    // signed, so a file of 2 GiB or more cannot be announced and is refused
    // rather than sent with a wrong size.
    struct stat info {};
    if (stat(canonical.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0) {
        connection.Close();
        Log("TransferServer: Can't get file size");
        return;
    }
    if (info.st_size > std::numeric_limits<std::int32_t>::max()) {
        connection.Close();
        Log("TransferServer: File is too large to send (2 GiB or more)");
        return;
    }
    const auto size = static_cast<std::int32_t>(info.st_size);

    if (!connection.SendInt32(size, m_limits.sendLimit)) {
        connection.Close();
        Log("TransferServer: Can't send file size");
        return;
    }

    OpenFile file;
    file.fd = open(canonical.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    struct stat opened {};
    if (file.fd < 0 || fstat(file.fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        connection.Close();
        Log("TransferServer: Can't open the file");
        return;
    }

    Log("TransferServer: Sending the file...");
    // Never more than the announced size is read, so a file that grows while
    // it is sent still travels in the number of blocks the size promised; one
    // that shrinks ends early and the agent sees a short transfer.
    std::array<std::uint8_t, kTransferBlockSize> block{};
    TransferPace pace(m_limits.minimumRate, m_limits.rateWindow);
    std::int64_t remaining = size;
    while (true) {
        std::size_t want = static_cast<std::size_t>(
            std::min<std::int64_t>(remaining, static_cast<std::int64_t>(kTransferBlockSize)));
        std::size_t got = ReadUpTo(file.fd, block.data(), want);
        std::memset(block.data() + got, 0, kTransferBlockSize - got);
        remaining -= static_cast<std::int64_t>(got);
        if (!SendBytes(connection, block.data(), kTransferBlockSize, pace)) {
            connection.Close();
            Log("TransferServer: Couldn't finish transmission");
            return;
        }
        if (got < kTransferBlockSize)
            break;
    }
    close(file.fd);
    file.fd = -1;
    connection.Close();
    Log("TransferServer: Finished transmission");
}

namespace {

// What one read and send of the extended stream moves: large enough that a
// fast link is not held up by system calls, small enough for many workers.
constexpr std::size_t kStreamChunk = 256 * 1024;

std::int64_t ModifiedNs(const struct stat& info) {
    return static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

} // namespace

void TransferServer::RefuseExtended(TimeOutSocket& connection, ExtendedStatus status,
                                    const std::string& line) {
    Log(line);
    ExtendedReply reply;
    reply.status = status;
    const auto header = EncodeExtendedReply(reply);
    connection.SetTimeOut(m_limits.sendLimit);
    connection.Send(header.data(), header.size());
    connection.Close();
}

bool TransferServer::StreamFile(TimeOutSocket& connection, int fd, std::uint64_t offset,
                                std::uint64_t size, Sha256* hash) {
    std::vector<std::uint8_t> chunk(kStreamChunk);
    TransferPace pace(m_limits.minimumRate, m_limits.rateWindow);
    // Never more than the announced size is read, as in the classic
    // exchange; a file that shrinks ends the stream early.
    while (offset < size) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(size - offset, chunk.size()));
        ssize_t got = pread(fd, chunk.data(), want, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0 || !IsRunning())
            return false;
        const auto count = static_cast<std::size_t>(got);
        if (hash)
            hash->Add(chunk.data(), count);
        if (!SendBytes(connection, chunk.data(), count, pace))
            return false;
        m_extendedBytesSent += count;
        offset += count;
    }
    return true;
}

void TransferServer::ServeExtended(TimeOutSocket& connection, std::span<const std::uint8_t> field) {
    ExtendedRequest request;
    if (auto why = DecodeExtendedRequest(field, request)) {
        RefuseExtended(connection, ExtendedStatus::BadRequest,
                       "TransferServer: Refused an extended request: " + *why);
        return;
    }
    // The path stays raw bytes for the file system; the log shows it harmless.
    Log("TransferServer: Extended request for " + SafeText(request.path) + " from byte " +
        std::to_string(request.offset) + (request.wantDigest ? " with digest" : ""));

    std::string canonical;
    const Lookup found = FindSharedFile(request.path, canonical);
    if (found == Lookup::NotShared) {
        RefuseExtended(connection, ExtendedStatus::NotShared, "TransferServer: File is not shared");
        return;
    }
    if (found == Lookup::Folder) {
        RefuseExtended(connection, ExtendedStatus::NotAFile, "TransferServer: File is a directory");
        return;
    }

    // Size and time come from the opened file, so they describe the bytes sent.
    OpenFile file;
    file.fd = open(canonical.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    struct stat info {};
    if (file.fd < 0) {
        RefuseExtended(connection, ExtendedStatus::CannotRead,
                       "TransferServer: Can't open the file");
        return;
    }
    // Empty files are refused as the classic exchange refuses them.
    if (fstat(file.fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0) {
        RefuseExtended(connection, ExtendedStatus::NotAFile, "TransferServer: Can't get file size");
        return;
    }
    const auto size = static_cast<std::uint64_t>(info.st_size);
    if (request.offset > size) {
        RefuseExtended(connection, ExtendedStatus::BadOffset,
                       "TransferServer: Refused an extended request: offset " +
                           std::to_string(request.offset) + " is past the end (" +
                           std::to_string(size) + " bytes)");
        return;
    }

    const DigestCache::Key key{canonical, size, ModifiedNs(info)};
    std::optional<Sha256::Digest> kept;
    if (request.wantDigest)
        kept = m_digests.Find(key);

    ExtendedReply reply;
    reply.digestFollows = request.wantDigest;
    reply.size = size;
    reply.offset = request.offset;
    const auto header = EncodeExtendedReply(reply);
    connection.SetTimeOut(m_limits.sendLimit);
    if (connection.Send(header.data(), header.size()) != header.size()) {
        connection.Close();
        Log("TransferServer: Can't send file size");
        return;
    }

    Log("TransferServer: Sending the file...");
    // Without a kept digest the whole file is hashed: the part before the
    // offset from the disk first, the rest while it is sent.
    std::optional<Sha256> hash;
    if (request.wantDigest && !kept)
        hash.emplace();
    const bool sent =
        (!hash ||
         Sha256::AddFileRange(*hash, file.fd, 0, request.offset, [this] { return IsRunning(); })) &&
        StreamFile(connection, file.fd, request.offset, size, hash ? &*hash : nullptr);
    if (!sent) {
        connection.Close();
        Log("TransferServer: Couldn't finish transmission");
        return;
    }
    if (request.wantDigest) {
        const Sha256::Digest digest = kept ? *kept : hash->Finish();
        // Kept only when the file did not change while it was read.
        struct stat after {};
        if (hash && fstat(file.fd, &after) == 0 && after.st_size == info.st_size &&
            ModifiedNs(after) == key.modifiedNs)
            m_digests.Keep(key, digest);
        connection.SetTimeOut(m_limits.sendLimit);
        if (connection.Send(digest.data(), digest.size()) != digest.size()) {
            connection.Close();
            Log("TransferServer: Couldn't finish transmission");
            return;
        }
    }
    connection.Close();
    Log("TransferServer: Finished transmission of " + std::to_string(size - request.offset) +
        " bytes from byte " + std::to_string(request.offset));
}
