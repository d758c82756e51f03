#include "app/peer/remotefs/NFSServer.h"

#include "app/files/LogEvent.h"
#include "app/files/PeerPath.h"
#include "app/files/ShareTable.h"
#include "app/files/SharedFileSystem.h"
#include "app/peer/remotefs/NFSListingEntry.h"
#include "app/peer/remotefs/NFSMachineDescription.h"

#include <algorithm>
#include <array>
#include <limits>

namespace {

// The patterns that list the virtual root: "." and the shared folders.
bool ListsVirtualRoot(const std::string& pattern) {
    return pattern == "/" || pattern == "/*" || pattern == "/*.*";
}

bool HasWildcard(const std::string& text) {
    return text.find_first_of("*?") != std::string::npos;
}

} // namespace

NFSServer::NFSServer(std::shared_ptr<ShareTable> table, LogEvent* log, int port)
    : NFSServer(std::move(table), log, port, Timing{}, Limits{}) {}

NFSServer::NFSServer(std::shared_ptr<ShareTable> table, LogEvent* log, int port, Timing timing,
                     Limits limits)
    : PeerServer(port, timing)
    , m_table(std::move(table))
    , m_log(log)
    , m_limits(limits)
    , m_sessions({limits.sessionLimit, limits.sessionsPerAddress, limits.sessionIdleLimit}) {}

NFSServer::~NFSServer() {
    // The worker must be gone before the sessions and the table it uses.
    Stop(true);
}

bool NFSServer::Start() {
    if (!m_table)
        return false;
    return PeerServer::Start();
}

std::int32_t NFSServer::AgreedVersion(std::int32_t clientVersion) {
    // Unsigned, so a negative offer counts as a huge one and gets ours.
    return static_cast<std::uint32_t>(clientVersion) <= static_cast<std::uint32_t>(kNfsVersion)
               ? clientVersion
               : kNfsVersion;
}

void NFSServer::Log(const char* line) const {
    if (m_log)
        (*m_log)(line);
}

bool NFSServer::MayReach(const std::string& path) const {
    if (path == "/")
        return true;
    // The check decides; the file system then gets the path as the peer wrote
    // it, so listings answer in the peer's own terms and the share-filtered
    // view, which matches paths against the table as written, agrees.
    std::string canonical;
    return m_table && CanonicalizePeerPath(*m_table, path, canonical);
}

bool NFSServer::MayList(const std::string& pattern) const {
    if (ListsVirtualRoot(pattern))
        return true;
    const std::size_t slash = pattern.rfind('/');
    if (slash == std::string::npos)
        return false;
    // A wildcard names no file: the folder it searches must be reachable. A
    // last component without one ("..", a plain name) is checked whole.
    if (!HasWildcard(pattern.substr(slash + 1)))
        return MayReach(pattern);
    // The root itself is only ever listed virtually.
    return slash > 0 && MayReach(pattern.substr(0, slash + 1));
}

void NFSServer::ServeConnection(TimeOutSocket& connection) {
    Log("NFSServer: Got a request");

    std::int32_t type = 0;
    if (!connection.ReceiveInt32(type, m_limits.callLimit)) {
        Log("NFSServer: Could not get request type");
        return;
    }
    if (type == kNfsNewClient)
        ServeNewClient(connection);
    else if (type == kNfsOperation)
        ServeOperation(connection);
    else
        Log("NFSServer: Client did not identify himself");
}

void NFSServer::ServeNewClient(TimeOutSocket& connection) {
    Log("NFSServer: New client connection");
    std::int32_t clientVersion = 0;
    if (!connection.ReceiveInt32(clientVersion, m_limits.callLimit)) {
        Log("NFSServer: Could not receive client version");
        return;
    }
    const std::int32_t version = AgreedVersion(clientVersion);

    const std::int32_t id = m_sessions.Open(connection.PeerAddress(), version, m_table);
    if (!connection.SendInt32(id, m_limits.callLimit)) {
        Log("NFSServer: Could not send session id");
        // The client never learnt the id: nobody could use or release it.
        m_sessions.Release(id);
        return;
    }
    // After -1 the version carries no meaning but is still sent.
    connection.SendInt32(version, m_limits.callLimit);
}

void NFSServer::ServeOperation(TimeOutSocket& connection) {
    std::int32_t id = 0;
    if (!connection.ReceiveInt32(id, m_limits.callLimit)) {
        Log("NFSServer: Client not get client identity");
        return;
    }
    // Another address's session is refused as an unknown one.
    auto session = m_sessions.Find(id, connection.PeerAddress());
    if (!session) {
        Log("NFSServer: Client not get secury filesystem");
        connection.SendInt32(0, m_limits.callLimit);
        return;
    }
    if (!connection.SendInt32(1, m_limits.callLimit))
        return;
    std::int32_t code = 0;
    if (!connection.ReceiveInt32(code, m_limits.callLimit)) {
        Log("NFSServer: Client not get client request");
        return;
    }
    Log("NFSServer: Fulfilling client request");
    const bool done = Fulfil(connection, *session, code);
    // The session is idle again before the request is reported done, so a
    // new session that follows the report never finds it busy.
    session.Finish();
    if (done)
        Log("NFSServer: Done with request");
}

bool NFSServer::Fulfil(TimeOutSocket& connection, NFSSession& session, std::int32_t code) {
    SharedFileSystem& fs = *session.fileSystem;
    const auto limit = m_limits.callLimit;
    auto sendBool = [&](bool value) { return connection.SendInt32(value ? 1 : 0, limit); };
    auto receivePath = [&](std::string& path) {
        return connection.ReceiveText(path, kPathFieldWidth, limit);
    };
    // The session's file system is locked only around its calls: the fields
    // move over the network without the lock.
    auto locked = [&](auto call) {
        std::lock_guard lock(session.mutex);
        return call();
    };

    std::string path;
    switch (code) {
    case kNfsRelease:
        m_sessions.Release(session.id);
        return connection.SendInt32(1, limit);
    case kNfsIsHidden:
        return sendBool(locked([&] { return fs.IsHidden(); }));
    case kNfsIsDirectory:
        return sendBool(locked([&] { return fs.IsDirectory(); }));
    case kNfsIsDots:
        return sendBool(locked([&] { return fs.IsDots(); }));
    case kNfsFindNextFile:
        return sendBool(locked([&] { return fs.FindNextFile(); }));
    case kNfsIsRecycleBin:
        if (!receivePath(path))
            return false;
        return sendBool(MayReach(path) && locked([&] { return fs.IsRecycleBin(path); }));
    case kNfsFindFile:
        if (!receivePath(path))
            return false;
        return sendBool(locked([&] {
            // A refused pattern leaves no earlier listing to be read through
            // the item queries.
            return MayList(path) ? fs.FindFile(path, 0) : (fs.FindFile(std::string(), 0), false);
        }));
    case kNfsOpenFile:
        if (!receivePath(path))
            return false;
        return sendBool(MayReach(path) && locked([&] { return fs.OpenFile(nullptr, path); }));
    case kNfsMoveFile: {
        std::string destination;
        if (!receivePath(path) || !receivePath(destination))
            return false;
        return sendBool(MayReach(path) && MayReach(destination) &&
                        locked([&] { return fs.MoveFile(path, destination); }));
    }
    case kNfsGetRecycleBinPath:
        return connection.SendText(locked([&] { return fs.GetRecycleBinPath(); }), kPathFieldWidth,
                                   limit);
    case kNfsGetFilePath:
        return connection.SendText(locked([&] { return fs.GetFilePath(); }), kPathFieldWidth,
                                   limit);
    case kNfsGetLogicalDrives: {
        std::vector<std::uint8_t> drives(kNfsDriveListSize, 0);
        locked([&] {
            return fs.GetLogicalDriveStrings(static_cast<std::uint32_t>(drives.size()),
                                             reinterpret_cast<char*>(drives.data()));
        });
        drives[kNfsDriveListSize - 2] = 0;
        drives[kNfsDriveListSize - 1] = 0;
        return connection.SendBlock(drives, limit);
    }
    case kNfsResolveShortcut: {
        if (!receivePath(path))
            return false;
        std::string target;
        if (!MayReach(path) || !locked([&] { return fs.ResolveShortcut(nullptr, path, target); }))
            target.clear();
        return connection.SendText(target, kPathFieldWidth, limit);
    }
    case kNfsGetDriveType:
        if (!receivePath(path))
            return false;
        return connection.SendInt32(
            MayReach(path) ? locked([&] { return fs.GetDriveType(path); }) : kDriveNoRoot, limit);
    case kNfsGetStatus: {
        if (!receivePath(path))
            return false;
        FileStatus status;
        const bool result = MayReach(path) && locked([&] { return fs.GetStatus(path, status); });
        if (!result)
            status = FileStatus{};
        std::vector<std::uint8_t> record(kFileStatusSize);
        EncodeFileStatus(status, std::span<std::uint8_t, kFileStatusSize>(record));
        return connection.SendBlock(record, limit) && sendBool(result);
    }
    case kNfsGetFileInfo: {
        std::int32_t flags = 0;
        if (!receivePath(path) || !connection.ReceiveInt32(flags, limit))
            return false;
        ShellFileInfo info;
        int result = 0;
        if (MayReach(path))
            result = locked(
                [&] { return fs.GetFileInfo(path, info, static_cast<std::uint32_t>(flags)); });
        if (result == 0)
            info = ShellFileInfo{};
        std::vector<std::uint8_t> record(kShellFileInfoSize);
        EncodeShellFileInfo(info, std::span<std::uint8_t, kShellFileInfoSize>(record));
        return connection.SendBlock(record, limit) && connection.SendInt32(result, limit);
    }
    case kNfsListDirectory: {
        if (!receivePath(path))
            return false;
        std::int32_t count = 0;
        auto block = locked([&] { return Listing(fs, path, count); });
        if (!connection.SendInt32(count, limit))
            return false;
        return count == 0 || connection.SendBlock(block, limit);
    }
    case kNfsGetProperties: {
        std::vector<std::string> properties;
        const bool result = locked([&] { return fs.GetProperties(properties); });
        std::vector<std::uint8_t> record(kNfsMachineDescriptionSize);
        EncodeNFSMachineDescription(MachineDescriptionOf(properties),
                                    std::span<std::uint8_t, kNfsMachineDescriptionSize>(record));
        return connection.SendBlock(record, limit) && sendBool(result);
    }
    default:
        // Unknown operations of a known class and unknown classes get no
        // reply; the client's own time limit ends its wait.
        return true;
    }
}

std::vector<std::uint8_t> NFSServer::Listing(SharedFileSystem& fs, const std::string& pattern,
                                             std::int32_t& count) const {
    std::vector<std::uint8_t> block;
    count = 0;
    if (!MayList(pattern) || !fs.FindFile(pattern, 0)) {
        fs.FindFile(std::string(), 0);
        return block;
    }
    bool more = true;
    // The item on which FindNextFile answers false is still recorded.
    const std::int32_t limit = std::clamp(m_limits.listingEntryLimit, 0, kNfsListingEntryLimit);
    // Sized once: growing a table of megabytes entry by entry copies it over
    // and over.
    block.reserve(std::min(fs.ListedCount(), static_cast<std::size_t>(limit)) *
                  kNfsListingEntrySize);
    while (more && count < limit) {
        more = fs.FindNextFile();
        NFSListingEntry entry;
        entry.isHidden = fs.IsHidden();
        entry.isDirectory = fs.IsDirectory();
        entry.isDots = fs.IsDots();
        entry.path = fs.GetFilePath();
        SharedFileSystem::ItemAnswers answers = fs.AnswersForCurrent(kNfsListingInfoFlags);
        entry.hasSubdirectories = answers.hasSubdirectories;
        entry.statusResult = answers.statusResult;
        entry.status = std::move(answers.status);
        // The three records ask the same question, so one answer fills all.
        entry.infoResultB = answers.infoResult;
        entry.infoB = std::move(answers.info);
        entry.infoA = entry.infoB;
        entry.infoC = entry.infoB;
        entry.infoResultA = entry.infoResultB;
        entry.infoResultC = entry.infoResultB;

        block.resize(block.size() + kNfsListingEntrySize);
        EncodeNFSListingEntry(
            entry, std::span<std::uint8_t, kNfsListingEntrySize>(
                       block.data() + block.size() - kNfsListingEntrySize, kNfsListingEntrySize));
        ++count;
    }
    return block;
}
