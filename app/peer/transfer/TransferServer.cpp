#include "app/peer/transfer/TransferServer.h"

#include "app/files/LogEvent.h"
#include "app/files/PeerPath.h"
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

bool TransferServer::SendBlock(TimeOutSocket& connection, const std::uint8_t* block,
                               TransferPace& pace) {
    std::size_t done = 0;
    int failures = 0;
    while (done < kTransferBlockSize) {
        // No attempt waits past the pace's window, where the rate is judged.
        const auto untilWindowEnd = std::chrono::duration_cast<std::chrono::milliseconds>(
            pace.WindowEnd() - std::chrono::steady_clock::now());
        connection.SetTimeOut(
            std::max(std::min(untilWindowEnd, m_limits.sendLimit), std::chrono::milliseconds(1)));
        std::size_t sent = connection.Send(block + done, kTransferBlockSize - done);
        done += sent;
        pace.Sent(sent);
        if (!pace.Keeps())
            return false;
        if (done == kTransferBlockSize)
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

void TransferServer::ServeConnection(TimeOutSocket& connection) {
    Log("TransferServer: Got connection");

    // The accepted connection has a time limit: a peer that connects and says
    // nothing must not hold a worker.
    std::string path;
    if (!connection.ReceiveText(path, kTransferPathWidth, m_limits.requestLimit)) {
        connection.Close();
        Log("TransferServer: Lost connection");
        return;
    }
    Log("TransferServer: Request for " + path);

    // The path is the peer's: it is served only when it still lies inside a
    // shared folder once "." and ".." and every symbolic link are taken into
    // account. A path that does not exist is refused here as well.
    std::string canonical;
    if (!m_table->IsShared(path) || !CanonicalizePeerPath(*m_table, path, canonical)) {
        connection.Close();
        Log("TransferServer: File is not shared");
        return;
    }

    SharedFileSystem view(m_table);
    if (view.IsFolder(canonical)) {
        connection.Close();
        Log("TransferServer: File is a directory");
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
        if (!SendBlock(connection, block.data(), pace)) {
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
