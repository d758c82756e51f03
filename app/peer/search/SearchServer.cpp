#include "app/peer/search/SearchServer.h"

#include "app/files/LogEvent.h"
#include "app/files/Mp3Tag.h"
#include "app/files/NeverSharedPaths.h"
#include "app/files/PatternMatcher.h"
#include "app/files/PeerPath.h"
#include "app/files/ShareTable.h"
#include "app/peer/PresenceDirectory.h"
#include "app/peer/search/SearchReply.h"
#include "app/peer/transfer/TransferAgentDownload.h"
#include "app/peer/wire/PeerConnection.h"

#include <algorithm>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr char kUnknownResponder[] = "(Unknown)";
constexpr char kOfflineAddress[] = "0.0.0.0";

std::string LowerAscii(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string TrimBlanks(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

bool EndsWithMp3(const std::string& path) {
    return path.size() >= 4 && LowerAscii(path.substr(path.size() - 4)) == ".mp3";
}

// The tag of a regular file; a FIFO or device in a shared folder must not
// block the walk, so the file is opened without waiting and checked first.
bool ReadTag(const std::string& path, Mp3Tag& tag) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return false;
    struct stat info {};
    std::uint8_t bytes[Mp3Tag::kTagSize];
    bool found = false;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
        info.st_size >= static_cast<off_t>(Mp3Tag::kTagSize)) {
        const ssize_t got =
            pread(fd, bytes, sizeof bytes, info.st_size - static_cast<off_t>(sizeof bytes));
        found = got == static_cast<ssize_t>(sizeof bytes) && tag.Parse(bytes);
    }
    close(fd);
    return found;
}

// The last component of a path, a trailing separator removed first.
std::string ItemName(std::string path) {
    if (path.size() > 1 && path.back() == '/')
        path.pop_back();
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string WithoutSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

// One search over the shared folders.
//
// The walk reads each folder itself, with the entry types the folder already
// holds, instead of listing it through the share-filtered view: that view
// checks the whole path against the shares (resolving every link in it) and
// asks for the status of every entry, which made a search four times slower
// than find. What the view guarded is kept: a shared folder is checked whole
// before it is walked, folders are entered without following links, a link
// to a folder is entered only when it resolves inside a shared folder, and
// no never-shared folder is entered or even named.
class SharedFolderWalk {
public:
    SharedFolderWalk(ShareTable* table, std::int32_t mode, const std::string& pattern,
                     std::vector<std::string>& paths, std::vector<std::string>& titles,
                     const std::atomic<bool>* running)
        : m_table(table)
        , m_mode(mode)
        , m_matcher(pattern)
        , m_paths(paths)
        , m_titles(titles)
        , m_running(running) {}

    void WalkShare(const std::string& share) {
        if (share.empty() || Done())
            return;
        const std::string folder = WithoutSlash(share);
        std::string canonical;
        if (!CanonicalizePeerPath(*m_table, folder, canonical))
            return;
        Walk(folder, canonical, true);
    }

private:
    struct Item {
        std::string name;
        unsigned char type;
    };

    bool Done() const {
        return m_paths.size() >= SearchServer::kReplyResultLimit ||
               (m_running && !m_running->load());
    }

    // Walks folder (written as the peer sees it; resolved is where it really
    // is). followLink: the last component may be a link (it was checked).
    void Walk(const std::string& folder, const std::string& resolved, bool followLink) {
        if (Done() || m_never.Hides(folder, resolved))
            return;
        const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW);
        const int fd = open(folder.c_str(), flags);
        if (fd < 0)
            return;
        struct stat info {};
        // A folder reached again through a link is walked once, so a link to
        // a parent folder cannot make the walk go round for ever.
        if (fstat(fd, &info) != 0 || !m_visited.emplace(info.st_dev, info.st_ino).second) {
            close(fd);
            return;
        }
        std::vector<Item> items;
        if (DIR* dir = fdopendir(fd)) {
            while (const dirent* entry = readdir(dir)) {
                const std::string_view name = entry->d_name;
                if (name == "." || name == "..")
                    continue;
                items.push_back({std::string(name), entry->d_type});
            }
            closedir(dir);
        } else {
            close(fd);
            return;
        }
        // Byte order of the names, so every run answers alike.
        std::sort(items.begin(), items.end(),
                  [](const Item& a, const Item& b) { return a.name < b.name; });
        for (const Item& item : items) {
            if (Done())
                return;
            const std::string path = folder + "/" + item.name;
            const std::string real = resolved + "/" + item.name;
            unsigned char type = item.type;
            if (type == DT_UNKNOWN) {
                struct stat entry {};
                if (lstat(path.c_str(), &entry) == 0)
                    type = S_ISDIR(entry.st_mode)   ? DT_DIR
                           : S_ISLNK(entry.st_mode) ? DT_LNK
                                                    : DT_REG;
            }
            // A never-shared folder is neither entered nor matched: its name
            // alone says what runs here.
            if (type == DT_DIR) {
                if (m_never.Hides(path, real))
                    continue;
                Walk(path, real, false);
            } else if (type == DT_LNK) {
                if (m_never.HidesLink(path))
                    continue;
                struct stat target {};
                std::string canonical;
                if (stat(path.c_str(), &target) == 0 && S_ISDIR(target.st_mode) &&
                    CanonicalizePeerPath(*m_table, path, canonical))
                    Walk(path, canonical, true);
            }
            MatchItem(path);
        }
    }

    void MatchItem(const std::string& path) {
        if (Done() || !m_matcher.IsValid())
            return;
        std::string subject;
        if (m_mode == SearchRequest::kMatchTitle || m_mode == SearchRequest::kMatchArtist) {
            Mp3Tag tag;
            if (!EndsWithMp3(path) || !ReadTag(path, tag))
                return;
            subject = TrimBlanks(m_mode == SearchRequest::kMatchTitle ? tag.Title() : tag.Artist());
        } else {
            subject = ItemName(path);
        }
        if (!m_matcher.Match(LowerAscii(subject)))
            return;
        m_paths.push_back(path);
        m_titles.push_back(std::move(subject));
    }

    ShareTable* m_table;
    const std::int32_t m_mode;
    PatternMatcher m_matcher;
    std::vector<std::string>& m_paths;
    std::vector<std::string>& m_titles;
    const std::atomic<bool>* m_running;
    const NeverSharedPaths m_never;
    std::set<std::pair<dev_t, ino_t>> m_visited;
};

} // namespace

SearchServer::SearchServer(std::shared_ptr<ShareTable> table, LogEvent* log,
                           PresenceDirectory* presence)
    : SearchServer(std::move(table), log, presence, Ports{}, Timing{}) {}

SearchServer::SearchServer(std::shared_ptr<ShareTable> table, LogEvent* log,
                           PresenceDirectory* presence, Ports ports)
    : SearchServer(std::move(table), log, presence, ports, Timing{}) {}

SearchServer::SearchServer(std::shared_ptr<ShareTable> table, LogEvent* log,
                           PresenceDirectory* presence, Ports ports, Timing timing)
    : PeerServer(ports.listen, timing)
    , m_table(std::move(table))
    , m_log(log)
    , m_presence(presence)
    , m_ports(ports)
    , m_recent(kRecentRequests)
    , m_replies({kRepliesPerAddress, kResultsPerAddress, kReplyWindow, kReplyAddresses}) {}

SearchServer::~SearchServer() {
    // The worker must be gone before the table it walks.
    Stop(true);
}

bool SearchServer::Start() {
    if (!m_table)
        return false;
    return PeerServer::Start();
}

void SearchServer::Log(const std::string& line) const {
    if (m_log)
        (*m_log)(line);
}

std::string SearchServer::QueryPattern(const std::string& query) {
    if (query.empty())
        return {};
    std::string pattern = query;
    if (pattern.front() == '*')
        pattern.erase(0, 1);
    else
        pattern.insert(0, 1, '^');
    if (!pattern.empty() && pattern.back() == '*')
        pattern.pop_back();
    else
        pattern += '$';
    return LowerAscii(pattern);
}

void SearchServer::SearchSharedFolders(ShareTable* table, std::int32_t mode,
                                       const std::string& query, std::vector<std::string>& paths,
                                       std::vector<std::string>& titles,
                                       const std::atomic<bool>* running) {
    paths.clear();
    titles.clear();
    const std::string pattern = QueryPattern(query);
    if (!table || pattern.empty())
        return;
    SharedFolderWalk walk(table, mode, pattern, paths, titles, running);
    for (const std::string& folder : table->Entries())
        walk.WalkShare(folder);
}

void SearchServer::ServeConnection(TimeOutSocket& connection) {
    Log("SearchServer: Got a search request");
    if (!m_table) {
        connection.Close();
        Log("SearchServer: Can't get filesystem");
        return;
    }
    std::vector<std::uint8_t> header;
    std::vector<std::uint8_t> query;
    if (!connection.ReceiveBlock(header, SearchRequest::kHeaderSize, kPeerCallLimit) ||
        !connection.ReceiveBlock(query, SearchRequest::kSize - SearchRequest::kHeaderSize,
                                 kPeerCallLimit)) {
        Log("SearchServer: Could not parse request");
        connection.Close();
        return;
    }
    // Requests are never answered on the connection they came on.
    connection.Close();
    Log("SearchServer: Parsed request");
    header.insert(header.end(), query.begin(), query.end());
    const auto request = SearchRequest::Decode(header);
    if (!request)
        return;

    // A negative hop count would pass the limit and then travel for ever, so
    // it is dropped like one above the limit.
    if (request->hopCount > SearchRequest::kHopLimit || request->hopCount < 0)
        return;
    if (IsOwnRequest(*request))
        return;
    if (!RememberRequest(*request))
        return;
    Log("SearchServer: Request is valid");

    SearchRequest forwarded = *request;
    forwarded.hopCount = request->hopCount + 1;
    Forward(forwarded);

    // Forwarding is never rationed; only this server's own answers are
    // rationed, and an address that has had its share is not walked for.
    const std::string originator = request->OriginatorText();
    if (!m_replies.HasRoom(originator)) {
        LogOverBudget(originator);
        return;
    }
    Log("SearchServer: Compiling query results");
    std::vector<std::string> paths;
    std::vector<std::string> titles;
    SearchSharedFolders(m_table.get(), request->mode, request->query, paths, titles, RunFlag());
    Log("SearchServer: Returning query results");
    if (paths.empty())
        return;
    const std::size_t granted = m_replies.Take(originator, paths.size());
    if (granted == 0) {
        LogOverBudget(originator);
        return;
    }
    paths.resize(granted);
    titles.resize(granted);
    Reply(*request, paths, titles);
}

void SearchServer::LogOverBudget(const std::string& originator) const {
    Log("SearchServer: Too many results for " + originator + " this minute; not answering");
}

bool SearchServer::IsOwnRequest(const SearchRequest& request) {
    if (!m_presence || !m_presence->IsInitialized())
        return false;
    const std::string own = m_presence->MyAddress();
    return !own.empty() && EqualIgnoringAsciiCase(request.OriginatorText(), own);
}

bool SearchServer::RememberRequest(const SearchRequest& request) {
    const std::array<std::uint8_t, 4> offline{};
    std::lock_guard lock(m_recentMutex);
    auto entry = m_recent.end();
    if (request.originator != offline)
        entry = std::find_if(m_recent.begin(), m_recent.end(), [&](const RecentRequest& recent) {
            return recent.originator == request.originator;
        });
    if (entry != m_recent.end()) {
        if (entry->stamp >= request.stamp)
            return false;
        entry->stamp = request.stamp;
        std::rotate(m_recent.begin(), entry, entry + 1);
        return true;
    }
    // The least recently seen originator makes room at the front.
    m_recent.pop_back();
    m_recent.insert(m_recent.begin(), RecentRequest{request.originator, request.stamp});
    return true;
}

void SearchServer::Forward(const SearchRequest& request) {
    if (!m_presence || !m_presence->IsInitialized())
        return;
    Log("SearchServer: Forwarding request");
    Log("SearchServer: Sending request to all online friends");
    for (const std::string& address : m_presence->FriendAddresses()) {
        if (address.empty() || address == kOfflineAddress)
            continue;
        Log("SearchServer: Friend: " + address);
        ForwardTo(address, request);
    }
    const auto anonymous = m_presence->AnonymousAddresses(false);
    if (!anonymous)
        return;
    Log("SearchServer: Sending request to anonymous users");
    for (const std::string& address : *anonymous) {
        Log("SearchServer: Anonymous acquaintance: " + address);
        if (!address.empty() && address != kOfflineAddress)
            ForwardTo(address, request);
    }
}

void SearchServer::ForwardTo(const std::string& address, const SearchRequest& request) {
    // One attempt: a friend who cannot be reached is skipped, and one who
    // never answers costs a connect limit, not a minute.
    DeliverSearchRequest(address, m_ports.forward, request, SearchRequest::kForwardedQueryText, 1,
                         RunFlag());
}

void SearchServer::Reply(const SearchRequest& request, const std::vector<std::string>& paths,
                         const std::vector<std::string>& titles) {
    auto connection = OpenSearchConnection(request.OriginatorText(), m_ports.reply, kReplyAttempts,
                                           kPeerCallLimit, RunFlag());
    if (!connection)
        return;
    SearchReply reply;
    std::string name =
        m_presence && m_presence->IsInitialized() ? m_presence->MyName() : std::string();
    reply.responder = name.empty() ? kUnknownResponder : name;
    reply.paths = paths;
    reply.titles = titles;
    SendSearchReply(*connection, reply, kPeerCallLimit);
    CloseConnection(connection);
}
