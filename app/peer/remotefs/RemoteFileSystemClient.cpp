#include "app/peer/remotefs/RemoteFileSystemClient.h"

#include "app/files/LogEvent.h"
#include "app/peer/remotefs/NFSListingCheck.h"
#include "app/peer/wire/PeerConnection.h"

#include <algorithm>
#include <span>
#include <utility>

namespace {

// The event log shows one row per line, so the lines carry no line feed; the
// indentation tells the steps of a request from its head line.
constexpr const char* kCouldNotConnect = "   Error: Could not get a connection.";
constexpr const char* kSendRequestFailed = "   Error: Could not send request.";
constexpr const char* kSendVersionFailed = "   Error: Could not send version.";
constexpr const char* kSendIdentifierFailed = "   Error: Could not send identifier.";
constexpr const char* kNoReply = "   Error: Did not receive reply.";
constexpr const char* kSendPathFailed = "   Error: Could not send directory name.";
constexpr const char* kNoDirectoryName = "   Error: Could not get directory name.";
constexpr const char* kNoResponse = "   Error: Could not get response.";
constexpr const char* kSuccess = "   Success: Returning result.";
constexpr const char* kListingTooLarge = "   Error: Listing larger than allowed.";
constexpr const char* kListingMalformed = "   Error: Listing holds an item outside its folder.";

constexpr const char* kOfflineAddress = "0.0.0.0";

// Entries read per receive of a listing table: the buffer stays small whatever
// count the server announced.
constexpr std::size_t kListingPiece = 256;

std::string OperationName(std::int32_t code) {
    switch (NfsRequestClass(code)) {
    case 1:
    case 2:
    case 3:
        return "BoolOp";
    case 4:
    case 5:
        return "StringOp";
    default:
        return "UintOp";
    }
}

std::string HeadLine(std::int32_t code, const std::string& host) {
    return "Executing " + OperationName(code) + " (" + std::to_string(NfsRequestOperation(code)) +
           ") on (" + host + ").";
}

} // namespace

bool FitsPathField(const std::string& path) {
    return path.size() < kPathFieldWidth;
}

RemoteFileSystemClient::RemoteFileSystemClient(std::string host, int port, LogEvent* log,
                                               Limits limits)
    : m_host(std::move(host))
    , m_port(port)
    , m_log(log)
    , m_limits(limits) {}

void RemoteFileSystemClient::Log(const std::string& line) const {
    if (m_log != nullptr)
        (*m_log)(line);
}

std::unique_ptr<TimeOutSocket> RemoteFileSystemClient::Open(OpenLines lines) {
    int error = 0;
    auto connection = OpenConnection(m_host, m_port, &error);
    if (!connection) {
        Log("   Failure: Could not connect.");
        Log("   (Port " + std::to_string(m_port) + ", IP " + m_host +
            ", Err: " + std::to_string(error) + ")");
        if (lines.openFailed != nullptr)
            Log(lines.openFailed);
    }
    return connection;
}

bool RemoteFileSystemClient::Acquire() {
    Log("Acquiring new instance from (" + m_host + ").");
    // "0.0.0.0" is how an offline friend's address reads. Nobody connects to
    // it: here it would reach this computer's own server.
    int error = 0;
    auto connection = m_host == kOfflineAddress ? nullptr : OpenConnection(m_host, m_port, &error);
    if (!connection) {
        Log(kCouldNotConnect);
        return false;
    }
    if (!connection->SendInt32(kNfsNewClient, m_limits.callLimit)) {
        Finish(connection, kSendRequestFailed);
        return false;
    }
    if (!connection->SendInt32(kNfsVersion, m_limits.callLimit)) {
        Finish(connection, kSendVersionFailed);
        return false;
    }
    std::int32_t session = kNfsNoSession;
    std::int32_t version = 0;
    if (!connection->ReceiveInt32(session, m_limits.callLimit) ||
        !connection->ReceiveInt32(version, m_limits.callLimit)) {
        Finish(connection, kNoReply);
        return false;
    }
    // A full server answers -1: the object then stays without instance.
    m_instance = session < 0 ? kNfsNoSession : session;
    m_version = version;
    Log("   Success: Setting instance to (" + std::to_string(session) + ").");
    CloseConnection(connection);
    return HasInstance();
}

void RemoteFileSystemClient::Release() {
    if (!HasInstance())
        return;
    IntRequest(kNfsRelease, {});
    m_instance = kNfsNoSession;
}

bool RemoteFileSystemClient::Identify(TimeOutSocket& connection) {
    Log("Setting remote instance for (" + m_host + ").");
    if (!connection.SendInt32(kNfsOperation, m_limits.callLimit)) {
        Log(kSendRequestFailed);
        return false;
    }
    if (!connection.SendInt32(m_instance.load(), m_limits.callLimit)) {
        Log(kSendIdentifierFailed);
        return false;
    }
    std::int32_t known = 0;
    if (!connection.ReceiveInt32(known, m_limits.callLimit)) {
        Log(kNoReply);
        return false;
    }
    Log(kSuccess);
    return known != 0;
}

std::unique_ptr<TimeOutSocket> RemoteFileSystemClient::Begin(std::int32_t code, OpenLines lines) {
    auto connection = Open(lines);
    if (!connection)
        return nullptr;
    if (!Identify(*connection)) {
        if (lines.identifyFailed != nullptr)
            Log(lines.identifyFailed);
        CloseConnection(connection);
        return nullptr;
    }
    if (!connection->SendInt32(code, m_limits.callLimit)) {
        Finish(connection, kSendRequestFailed);
        return nullptr;
    }
    return connection;
}

bool RemoteFileSystemClient::SendPath(TimeOutSocket& connection, const std::string& path) {
    return connection.SendText(path, kPathFieldWidth, m_limits.callLimit);
}

void RemoteFileSystemClient::Finish(std::unique_ptr<TimeOutSocket>& connection,
                                    const char* errorLine) {
    CloseConnection(connection);
    Log(errorLine);
}

void RemoteFileSystemClient::Succeed(std::unique_ptr<TimeOutSocket>& connection) {
    CloseConnection(connection);
    Log(kSuccess);
}

std::optional<std::int32_t>
RemoteFileSystemClient::IntRequest(std::int32_t code, const std::vector<std::string>& paths) {
    if (!HasInstance())
        return std::nullopt;
    for (const std::string& path : paths)
        if (!FitsPathField(path))
            return std::nullopt;
    Log(HeadLine(code, m_host));
    auto connection = Begin(code);
    if (!connection)
        return std::nullopt;
    for (const std::string& path : paths) {
        if (!SendPath(*connection, path)) {
            Finish(connection, kSendPathFailed);
            return std::nullopt;
        }
    }
    std::int32_t answer = 0;
    if (!connection->ReceiveInt32(answer, m_limits.callLimit)) {
        Finish(connection, kNoReply);
        return std::nullopt;
    }
    Succeed(connection);
    return answer;
}

std::optional<std::string> RemoteFileSystemClient::TextRequest(std::int32_t code,
                                                               const std::string& path) {
    const bool withPath = NfsRequestClass(code) == 5;
    if (!HasInstance() || (withPath && !FitsPathField(path)))
        return std::nullopt;
    Log(HeadLine(code, m_host));
    auto connection = Begin(code);
    if (!connection)
        return std::nullopt;
    if (withPath && !SendPath(*connection, path)) {
        Finish(connection, kSendPathFailed);
        return std::nullopt;
    }
    std::string text;
    if (!connection->ReceiveText(text, kPathFieldWidth, m_limits.callLimit)) {
        Finish(connection, withPath ? kNoResponse : kNoDirectoryName);
        return std::nullopt;
    }
    Succeed(connection);
    return text;
}

std::optional<std::vector<std::uint8_t>> RemoteFileSystemClient::DriveList() {
    if (!HasInstance())
        return std::nullopt;
    Log(HeadLine(kNfsGetLogicalDrives, m_host));
    auto connection =
        Begin(kNfsGetLogicalDrives, {"Could not open connection.", "Could not identify instance."});
    if (!connection)
        return std::nullopt;
    std::vector<std::uint8_t> drives;
    if (!connection->ReceiveBlock(drives, kNfsDriveListSize, m_limits.callLimit)) {
        Finish(connection, kNoDirectoryName);
        return std::nullopt;
    }
    // The list always ends with two zero bytes, whatever the server sent.
    drives[kNfsDriveListSize - 1] = 0;
    drives[kNfsDriveListSize - 2] = 0;
    Succeed(connection);
    return drives;
}

bool RemoteFileSystemClient::Status(const std::string& path, FileStatus& status,
                                    std::int32_t& result) {
    if (!HasInstance() || !FitsPathField(path))
        return false;
    Log("Executing GetFileStatus on (" + m_host + ").");
    auto connection = Begin(kNfsGetStatus);
    if (!connection)
        return false;
    if (!SendPath(*connection, path)) {
        Finish(connection, kSendPathFailed);
        return false;
    }
    std::vector<std::uint8_t> record;
    if (!connection->ReceiveBlock(record, kFileStatusSize, m_limits.callLimit) ||
        !connection->ReceiveInt32(result, m_limits.callLimit)) {
        Finish(connection, kNoReply);
        return false;
    }
    status = DecodeFileStatus(std::span<const std::uint8_t, kFileStatusSize>(record));
    Succeed(connection);
    return true;
}

bool RemoteFileSystemClient::FileInfo(const std::string& path, std::uint32_t flags,
                                      ShellFileInfo& info, std::int32_t& result) {
    if (!HasInstance() || !FitsPathField(path))
        return false;
    Log("Executing FillFileInfo on (" + m_host + ").");
    auto connection = Begin(kNfsGetFileInfo);
    if (!connection)
        return false;
    if (!SendPath(*connection, path) ||
        !connection->SendInt32(static_cast<std::int32_t>(flags), m_limits.callLimit)) {
        Finish(connection, kSendPathFailed);
        return false;
    }
    std::vector<std::uint8_t> record;
    if (!connection->ReceiveBlock(record, kShellFileInfoSize, m_limits.callLimit) ||
        !connection->ReceiveInt32(result, m_limits.callLimit)) {
        Finish(connection, kNoReply);
        return false;
    }
    info = DecodeShellFileInfo(std::span<const std::uint8_t, kShellFileInfoSize>(record));
    Succeed(connection);
    return true;
}

bool RemoteFileSystemClient::Properties(NFSMachineDescription& description, std::int32_t& result) {
    if (!HasInstance())
        return false;
    // The machine description request shares its head line with the status request.
    Log("Executing GetFileStatus on (" + m_host + ").");
    auto connection = Begin(kNfsGetProperties);
    if (!connection)
        return false;
    std::vector<std::uint8_t> record;
    if (!connection->ReceiveBlock(record, kNfsMachineDescriptionSize, m_limits.callLimit) ||
        !connection->ReceiveInt32(result, m_limits.callLimit)) {
        Finish(connection, kNoReply);
        return false;
    }
    description = DecodeNFSMachineDescription(
        std::span<const std::uint8_t, kNfsMachineDescriptionSize>(record));
    Succeed(connection);
    return true;
}

bool RemoteFileSystemClient::ReceiveBounded(TimeOutSocket& connection, std::uint8_t* buffer,
                                            std::size_t count,
                                            std::chrono::steady_clock::time_point deadline) {
    using std::chrono::milliseconds;
    std::size_t received = 0;
    while (received < count) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline)
            return false;
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - now);
        connection.SetTimeOut(std::max(milliseconds(1), std::min(m_limits.callLimit, left)));
        const long got = connection.Receive(buffer + received, count - received);
        if (got <= 0)
            return false;
        received += static_cast<std::size_t>(got);
    }
    return true;
}

RemoteFileSystemClient::ListingReply RemoteFileSystemClient::Listing(const std::string& path) {
    using Outcome = FolderListing::Outcome;
    ListingReply reply;
    if (!FitsPathField(path)) {
        reply.outcome = Outcome::NotReadable;
        return reply;
    }
    if (!HasInstance())
        return reply;
    Log("Refreshing the file cache (" + m_host + ": " + path + ").");
    auto connection = Begin(kNfsListDirectory);
    if (!connection)
        return reply;
    if (!SendPath(*connection, path)) {
        Finish(connection, kSendPathFailed);
        return reply;
    }
    std::int32_t count = 0;
    if (!connection->ReceiveInt32(count, m_limits.countLimit)) {
        Finish(connection, kNoReply);
        return reply;
    }
    std::vector<NFSListingEntry>& entries = reply.entries;
    // Read as the unsigned number it is on the wire, a negative count is as
    // far over the limit as a huge one.
    if (count < 0 || count > m_limits.maxListingEntries) {
        Finish(connection, kListingTooLarge);
        reply.outcome = Outcome::TooLarge;
        return reply;
    }
    if (count > 0) {
        const auto total = static_cast<std::size_t>(count);
        const auto deadline = std::chrono::steady_clock::now() + m_limits.tableLimit;
        std::vector<std::uint8_t> piece(std::min(total, kListingPiece) * kNfsListingEntrySize);
        // Grows with what arrives, not with what was announced.
        entries.reserve(std::min(total, kListingPiece));
        std::size_t done = 0;
        while (done < total) {
            const std::size_t n = std::min(total - done, kListingPiece);
            if (!ReceiveBounded(*connection, piece.data(), n * kNfsListingEntrySize, deadline)) {
                Finish(connection, kNoReply);
                entries.clear();
                return reply;
            }
            for (std::size_t i = 0; i < n; ++i)
                entries.push_back(
                    DecodeNFSListingEntry(std::span<const std::uint8_t, kNfsListingEntrySize>(
                        piece.data() + i * kNfsListingEntrySize, kNfsListingEntrySize)));
            done += n;
        }
    }
    if (!AcceptListedEntries(path, entries)) {
        Finish(connection, kListingMalformed);
        entries.clear();
        return reply;
    }
    Succeed(connection);
    reply.outcome = Outcome::Complete;
    return reply;
}
