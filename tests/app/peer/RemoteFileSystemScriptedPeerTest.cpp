// RemoteFileSystem against a scripted peer that answers exactly what each
// test tells it to, including replies no honest server sends.

#include "PeerTestSupport.h"
#include "app/files/LogEvent.h"
#include "app/peer/remotefs/NFSListingEntry.h"
#include "app/peer/remotefs/NFSProtocol.h"
#include "app/peer/remotefs/RemoteFileSystem.h"
#include "app/peer/wire/TimeOutSocket.h"

#include <atomic>
#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

// The largest single allocation of this program since the last reset, so a
// test can tell that a lying count did not size a buffer.
namespace {
std::atomic<std::size_t> g_largestAllocation{0};
}

void* operator new(std::size_t size) {
    std::size_t seen = g_largestAllocation.load();
    while (size > seen && !g_largestAllocation.compare_exchange_weak(seen, size)) {
    }
    if (void* block = std::malloc(size == 0 ? 1 : size))
        return block;
    throw std::bad_alloc();
}
void operator delete(void* block) noexcept {
    std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}

namespace {

struct Request {
    std::int32_t code = 0;
    std::vector<std::string> paths;
};

// Accepts connections on a loopback port and serves them on its own thread:
// type 1 gets the configured session id, type 2 is identified (or refused)
// and its request handed to the script.
class ScriptedPeer {
public:
    using Script = std::function<void(std::int32_t code, TimeOutSocket& connection)>;

    ScriptedPeer() {
        EXPECT_TRUE(m_listener.Listen("127.0.0.1", 0));
        m_listener.WatchRunFlag(&m_running);
        m_thread = std::thread([this] { Run(); });
    }
    ~ScriptedPeer() {
        m_running = false;
        m_thread.join();
    }

    int Port() const { return m_listener.LocalPort(); }
    void SetSession(std::int32_t id) { m_session = id; }
    void SetKnowsInstance(bool knows) { m_knows = knows; }
    void SetScript(Script script) {
        std::lock_guard lock(m_mutex);
        m_script = std::move(script);
    }
    int Connections() const { return m_connections.load(); }
    std::vector<Request> Requests() const {
        std::lock_guard lock(m_mutex);
        return m_requests;
    }
    // For scripts: reads one path field and records it with the request.
    static std::string ReadPath(TimeOutSocket& connection, ScriptedPeer& peer) {
        std::string path;
        connection.ReceiveText(path, kPathFieldWidth);
        std::lock_guard lock(peer.m_mutex);
        peer.m_requests.back().paths.push_back(path);
        return path;
    }

private:
    void Run() {
        while (m_running) {
            TimeOutSocket connection;
            m_listener.SetTimeOut(100ms);
            if (!m_listener.Accept(connection))
                continue;
            connection.WatchRunFlag(&m_running);
            Serve(connection);
        }
    }

    void Serve(TimeOutSocket& connection) {
        ++m_connections;
        std::int32_t type = 0;
        if (!connection.ReceiveInt32(type))
            return;
        if (type == kNfsNewClient) {
            std::int32_t version = 0;
            connection.ReceiveInt32(version);
            connection.SendInt32(m_session.load());
            connection.SendInt32(kNfsVersion);
            return;
        }
        std::int32_t instance = 0;
        connection.ReceiveInt32(instance);
        connection.SendInt32(m_knows ? 1 : 0);
        std::int32_t code = 0;
        if (!m_knows || !connection.ReceiveInt32(code))
            return;
        Script script;
        {
            std::lock_guard lock(m_mutex);
            m_requests.push_back({code, {}});
            script = m_script;
        }
        if (script)
            script(code, connection);
    }

    TimeOutSocket m_listener;
    std::atomic<bool> m_running{true};
    std::atomic<std::int32_t> m_session{4};
    std::atomic<bool> m_knows{true};
    std::atomic<int> m_connections{0};
    mutable std::mutex m_mutex;
    Script m_script;
    std::vector<Request> m_requests;
    std::thread m_thread;
};

NFSListingEntry Entry(const std::string& path, bool directory = false) {
    NFSListingEntry entry;
    entry.path = path;
    entry.isDots = path == "." || path.ends_with("/..");
    entry.isDirectory = directory;
    entry.status.fullPath = path;
    entry.status.size = static_cast<std::int32_t>(path.size());
    entry.statusResult = 1;
    entry.infoA.displayName = "A";
    entry.infoB.displayName = "B";
    entry.infoC.displayName = "C";
    entry.infoResultA = entry.infoResultB = entry.infoResultC = 1;
    return entry;
}

void SendListing(TimeOutSocket& connection, std::int32_t announced,
                 const std::vector<NFSListingEntry>& entries) {
    connection.SendInt32(announced);
    std::vector<std::uint8_t> block(entries.size() * kNfsListingEntrySize);
    for (std::size_t i = 0; i < entries.size(); ++i)
        EncodeNFSListingEntry(entries[i],
                              std::span<std::uint8_t, kNfsListingEntrySize>(
                                  block.data() + i * kNfsListingEntrySize, kNfsListingEntrySize));
    if (!block.empty())
        connection.SendBlock(block);
}

// A peer that lists `listed` for every 0x713 and answers `found` to 0x20A.
ScriptedPeer::Script Lister(ScriptedPeer& peer, std::int32_t announced,
                            std::vector<NFSListingEntry> listed, std::int32_t found = 1) {
    return [&peer, announced, listed, found](std::int32_t code, TimeOutSocket& connection) {
        if (code == kNfsRelease) {
            connection.SendInt32(1);
            return;
        }
        ScriptedPeer::ReadPath(connection, peer);
        if (code == kNfsListDirectory)
            SendListing(connection, announced, listed);
        else if (code == kNfsFindFile)
            connection.SendInt32(found);
    };
}

std::vector<std::string> WalkPaths(RemoteFileSystem& remote) {
    std::vector<std::string> paths;
    bool more = true;
    while (more) {
        more = remote.FindNextFile();
        if (!remote.GetFilePath().empty())
            paths.push_back(remote.GetFilePath());
    }
    return paths;
}

RemoteFileSystem::Limits QuickLimits() {
    RemoteFileSystem::Limits limits;
    limits.callLimit = 1s;
    limits.countLimit = 1s;
    limits.tableLimit = 2s;
    return limits;
}

const std::vector<NFSListingEntry> kMusic{Entry("."), Entry("/m/.."), Entry("/m/one.mp3"),
                                          Entry("/m/two", true)};

TEST(RemoteFileSystemScriptedPeer, WalkShowsEveryItemButTheFirstAndStopsOnTheLast) {
    ScriptedPeer peer;
    peer.SetScript(Lister(peer, 4, kMusic));
    RemoteFileSystem remote("127.0.0.1", nullptr, nullptr, peer.Port(), QuickLimits());
    ASSERT_EQ(remote.Instance(), 4);
    EXPECT_FALSE(remote.IsDirectory()); // nothing current before the walk
    ASSERT_TRUE(remote.FindFile("/m/*.*", 0));
    EXPECT_EQ(WalkPaths(remote), (std::vector<std::string>{"/m/..", "/m/one.mp3", "/m/two"}));
    EXPECT_EQ(remote.GetFilePath(), "/m/two"); // the last item stays current
    EXPECT_TRUE(remote.IsDirectory());
    EXPECT_FALSE(remote.FindNextFile());
    EXPECT_EQ(remote.GetFilePath(), "/m/two");

    const auto requests = peer.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].code, kNfsListDirectory);
    EXPECT_EQ(requests[1].code, kNfsFindFile);
    EXPECT_EQ(requests[1].paths, std::vector<std::string>{"/m/*.*"});

    // A listing of one item: nothing to show.
    peer.SetScript(Lister(peer, 1, {Entry(".")}));
    ASSERT_TRUE(remote.FindFile("/empty/*", 0));
    EXPECT_FALSE(remote.FindNextFile());
    EXPECT_EQ(remote.GetFilePath(), "");
    EXPECT_FALSE(remote.IsDots());
}

TEST(RemoteFileSystemScriptedPeer, ListFolderIsOneRequestAndLeavesOutTheDotsByFlagOrName) {
    ScriptedPeer peer;
    // A peer that writes its paths with backslashes and does not flag the dots.
    peer.SetScript(Lister(
        peer, 4,
        {Entry("C:\\m\\."), Entry("C:\\m\\.."), Entry("C:\\m\\a.b"), Entry("C:\\m\\x", true)}));
    RemoteFileSystem remote("127.0.0.1", nullptr, nullptr, peer.Port(), QuickLimits());
    const FolderListing listing = remote.ListFolder("C:\\m\\*.*");
    EXPECT_EQ(listing.outcome, FolderListing::Outcome::Complete);
    EXPECT_EQ(listing.entries,
              (std::vector<FolderEntry>{{"C:\\m\\a.b", false, false}, {"C:\\m\\x", true, false}}));
    peer.SetScript(Lister(peer, 4, kMusic));
    EXPECT_EQ(remote.ListFolder("/m/*").entries,
              (std::vector<FolderEntry>{{"/m/one.mp3", false, false}, {"/m/two", true, false}}));
    const auto requests = peer.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].code, kNfsListDirectory);
    EXPECT_EQ(requests[1].code, kNfsListDirectory);
}

TEST(RemoteFileSystemScriptedPeer, FailedRefreshKeepsThePreviousListing) {
    ScriptedPeer peer;
    peer.SetScript(Lister(peer, 4, kMusic));
    LogEvent log;
    RemoteFileSystem remote("127.0.0.1", &log, nullptr, peer.Port(), QuickLimits());
    ASSERT_TRUE(remote.FindFile("/m/*", 0));
    ASSERT_EQ(WalkPaths(remote).size(), 3u);

    // Announces three entries, sends one and closes: the reply is dropped.
    // The walk position stays too: a walk goes on from where the last one ended.
    peer.SetScript(Lister(peer, 3, {Entry(".")}, 0));
    EXPECT_FALSE(remote.FindFile("/other/*", 0)); // the server's own answer
    EXPECT_EQ(WalkPaths(remote), (std::vector<std::string>{"/m/two"}));
    FileStatus status;
    EXPECT_TRUE(remote.GetStatus("/m/one.mp3", status));

    // Sends no count at all; the find request still answers true.
    peer.SetScript([&peer](std::int32_t code, TimeOutSocket& connection) {
        ScriptedPeer::ReadPath(connection, peer);
        if (code == kNfsFindFile)
            connection.SendInt32(1);
    });
    EXPECT_TRUE(remote.FindFile("/third/*", 0));
    EXPECT_EQ(WalkPaths(remote), (std::vector<std::string>{"/m/two"}));

    // A good listing with count 0 empties the cache.
    peer.SetScript(Lister(peer, 0, {}, 0));
    EXPECT_FALSE(remote.FindFile("/gone/*", 0));
    EXPECT_TRUE(WalkPaths(remote).empty());
    EXPECT_FALSE(remote.GetStatus("/m/one.mp3", status)); // asked the peer, which said nothing
}

TEST(RemoteFileSystemScriptedPeer, LyingCountsAllocateNothingLarge) {
    ScriptedPeer peer;
    peer.SetScript(Lister(peer, 4, kMusic));
    RemoteFileSystem remote("127.0.0.1", nullptr, nullptr, peer.Port(), QuickLimits());
    ASSERT_TRUE(remote.FindFile("/m/*", 0));
    ASSERT_EQ(WalkPaths(remote).size(), 3u);

    for (std::int32_t announced : {0x7FFFFFFF, kNfsListingEntryLimit + 1, kNfsListingEntryLimit}) {
        SCOPED_TRACE(announced);
        peer.SetScript(Lister(peer, announced, {Entry("."), Entry("/x/y")}));
        g_largestAllocation = 0;
        EXPECT_TRUE(remote.FindFile("/x/*", 0));
        // A client that trusted the count would have asked for 26 MB or more.
        EXPECT_LT(g_largestAllocation.load(), 1u << 20);
        EXPECT_EQ(WalkPaths(remote),
                  std::vector<std::string>{"/m/two"}); // the previous listing stays
        EXPECT_EQ(remote.ListFolder("/x/*").outcome, announced > kNfsListingEntryLimit
                                                         ? FolderListing::Outcome::TooLarge
                                                         : FolderListing::Outcome::Unreachable);
        EXPECT_LT(g_largestAllocation.load(), 1u << 20);
    }
}

// Whatever a friend sends for a listing, the folder shows empty and the event
// log says why; nothing of it is kept.
TEST(RemoteFileSystemScriptedPeer, MalformedListingsGiveAnEmptyFolderAndALogLine) {
    ScriptedPeer peer;
    LogEvent log;
    peertest::RecordedLog lines;
    log.Register(&lines);
    RemoteFileSystem remote("127.0.0.1", &log, nullptr, peer.Port(), QuickLimits());
    using Outcome = FolderListing::Outcome;
    const std::string tooLarge = "   Error: Listing larger than allowed.";
    const std::string outside = "   Error: Listing holds an item outside its folder.";
    const std::string brokenOff = "   Error: Did not receive reply.";

    std::vector<std::uint8_t> garbage(3 * kNfsListingEntrySize);
    std::mt19937 random(14);
    for (auto& byte : garbage)
        byte = static_cast<std::uint8_t>(random());
    struct Case {
        const char* what;
        ScriptedPeer::Script script;
        Outcome outcome;
        std::string line;
    };
    const std::vector<Case> cases{
        {"negative count", Lister(peer, -1, {}), Outcome::TooLarge, tooLarge},
        {"most negative count", Lister(peer, INT32_MIN, kMusic), Outcome::TooLarge, tooLarge},
        {"an item elsewhere", Lister(peer, 2, {Entry("."), Entry("/etc/passwd")}),
         Outcome::Unreachable, outside},
        {"a sibling folder", Lister(peer, 2, {Entry("/m/."), Entry("/mx/a")}),
         Outcome::Unreachable, outside},
        {"an empty path", Lister(peer, 2, {Entry("."), Entry("")}), Outcome::Unreachable,
         outside},
        {"the folder itself", Lister(peer, 2, {Entry("."), Entry("/m/")}), Outcome::Unreachable,
         outside},
        {"bytes at random",
         [&peer, &garbage](std::int32_t code, TimeOutSocket& connection) {
             ScriptedPeer::ReadPath(connection, peer);
             if (code != kNfsListDirectory)
                 return;
             connection.SendInt32(3);
             connection.SendBlock(garbage);
         },
         Outcome::Unreachable, outside},
        {"a table cut short", Lister(peer, 3, {Entry("."), Entry("/m/a")}), Outcome::Unreachable,
         brokenOff},
    };
    for (const Case& each : cases) {
        SCOPED_TRACE(each.what);
        peer.SetScript(each.script);
        lines.Clear();
        const FolderListing listing = remote.ListFolder("/m/*");
        EXPECT_EQ(listing.outcome, each.outcome);
        EXPECT_TRUE(listing.entries.empty());
        ASSERT_FALSE(lines.Lines().empty());
        EXPECT_EQ(lines.Lines().back(), each.line); // the request ends on it
        FileStatus status;
        EXPECT_FALSE(remote.GetStatus("/etc/passwd", status)); // asked, not taken from the reply
    }
    log.Unregister(&lines);
}

// A name of 255 bytes does not fit the entry's path field below most folders;
// the display name field holds it, and the path is made whole from it.
TEST(RemoteFileSystemScriptedPeer, APathTheFieldCutIsMadeWholeFromTheDisplayName) {
    const std::string folder = "/" + std::string(40, 'f') + "/";
    const std::string name = std::string(250, 'n') + ".mp3";
    NFSListingEntry longName = Entry(folder + name);
    longName.infoA.displayName = longName.infoB.displayName = longName.infoC.displayName = name;
    // A display name that does not continue the cut path leaves it as it came.
    NFSListingEntry mismatched = Entry(folder + std::string(300, 'm'));
    mismatched.infoB.displayName = "other";
    ScriptedPeer peer;
    peer.SetScript(Lister(peer, 3, {Entry("."), longName, mismatched}));
    RemoteFileSystem remote("127.0.0.1", nullptr, nullptr, peer.Port(), QuickLimits());

    const FolderListing listing = remote.ListFolder(folder + "*");
    ASSERT_EQ(listing.outcome, FolderListing::Outcome::Complete);
    ASSERT_EQ(listing.entries.size(), 2u);
    EXPECT_EQ(listing.entries[0].path, folder + name);
    EXPECT_EQ(listing.entries[1].path, (folder + std::string(300, 'm')).substr(0, 259));
    FileStatus status;
    ASSERT_TRUE(remote.GetStatus(folder + name, status));
    EXPECT_EQ(status.fullPath, folder + name);
    EXPECT_EQ(peer.Requests().size(), 1u); // the listing answered the status
}

TEST(RemoteFileSystemScriptedPeer, SilentPeerIsGivenUpWithinTheLimits) {
    ScriptedPeer peer;
    peer.SetScript(Lister(peer, 4, kMusic));
    RemoteFileSystem remote("127.0.0.1", nullptr, nullptr, peer.Port(), QuickLimits());
    // Sends half an entry, then waits without closing.
    peer.SetScript([&peer](std::int32_t code, TimeOutSocket& connection) {
        ScriptedPeer::ReadPath(connection, peer);
        if (code != kNfsListDirectory)
            return;
        connection.SendInt32(2);
        std::vector<std::uint8_t> half(kNfsListingEntrySize / 2, 0);
        connection.SendBlock(half);
        std::this_thread::sleep_for(3s);
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(remote.FindFile("/slow/*", 0));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 6s);
}

TEST(RemoteFileSystemScriptedPeer, ListViewWorkerAsksWhileTheListingIsReplaced) {
    ScriptedPeer peer;
    peer.SetScript(Lister(peer, 4, kMusic));
    RemoteFileSystem remote("127.0.0.1", nullptr, nullptr, peer.Port(), QuickLimits());
    ASSERT_TRUE(remote.FindFile("/m/*", 0));
    std::atomic<bool> done{false};
    std::atomic<int> answered{0};
    // Every path asked for is in every listing, so no question leaves the cache.
    std::thread worker([&] {
        while (!done) {
            FileStatus status;
            ShellFileInfo info;
            if (remote.GetStatus("/m/one.mp3", status) && status.fullPath == "/m/one.mp3" &&
                remote.GetFileInfo("/m/two/", info, kInfoOpenIcon) == 1 && info.displayName == "C")
                ++answered;
        }
    });
    for (int i = 0; i < 20; ++i) {
        EXPECT_TRUE(remote.FindFile("/m/*", 0));
        EXPECT_EQ(WalkPaths(remote).size(), 3u);
    }
    // On a busy machine the worker may not have run yet; give it a moment.
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (answered.load() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    done = true;
    worker.join();
    EXPECT_GT(answered.load(), 0);
    for (const Request& request : peer.Requests())
        EXPECT_TRUE(request.code == kNfsListDirectory || request.code == kNfsFindFile);
}

TEST(RemoteFileSystemScriptedPeer, FullServerLeavesTheObjectWithoutTraffic) {
    ScriptedPeer peer;
    peer.SetSession(kNfsNoSession);
    peer.SetScript(Lister(peer, 4, kMusic));
    {
        RemoteFileSystem remote("127.0.0.1", nullptr, nullptr, peer.Port(), QuickLimits());
        EXPECT_FALSE(remote.HasInstance());
        EXPECT_FALSE(remote.FindFile("/m/*", 0));
        FileStatus status;
        EXPECT_FALSE(remote.GetStatus("/m/one.mp3", status));
        ShellFileInfo info;
        EXPECT_EQ(remote.GetFileInfo("/m/one.mp3", info, 0), 0);
        EXPECT_EQ(remote.GetDriveType("/"), 0);
        EXPECT_FALSE(remote.MoveFile("/a", "/b"));
    }
    EXPECT_EQ(peer.Connections(), 1); // the acquisition only, no release
}

TEST(RemoteFileSystemScriptedPeer, UnknownInstanceFailsAtIdentification) {
    ScriptedPeer peer;
    peer.SetScript(Lister(peer, 4, kMusic));
    RemoteFileSystem remote("127.0.0.1", nullptr, nullptr, peer.Port(), QuickLimits());
    peer.SetKnowsInstance(false); // as after the friend's program restarted
    EXPECT_FALSE(remote.FindFile("/m/*", 0));
    EXPECT_TRUE(peer.Requests().empty());
    std::string target = "x";
    EXPECT_FALSE(remote.ResolveShortcut(nullptr, "/m/link", target));
    EXPECT_EQ(target, "");
}

TEST(RemoteFileSystemScriptedPeer, PathsTravelAsGivenOrNotAtAll) {
    ScriptedPeer peer;
    std::vector<std::int32_t> flagsSeen;
    peer.SetScript([&peer, &flagsSeen](std::int32_t code, TimeOutSocket& connection) {
        if (code == kNfsRelease)
            return;
        ScriptedPeer::ReadPath(connection, peer);
        if (code == kNfsGetFileInfo) {
            std::int32_t flags = 0;
            connection.ReceiveInt32(flags);
            flagsSeen.push_back(flags);
            ShellFileInfo info;
            info.iconHandle = 99;
            info.displayName = std::string(400, 'n'); // longer than its field
            std::vector<std::uint8_t> record(kShellFileInfoSize);
            EncodeShellFileInfo(info, std::span<std::uint8_t, kShellFileInfoSize>(record));
            connection.SendBlock(record);
            connection.SendInt32(1);
        } else if (code == kNfsResolveShortcut) {
            connection.SendBlock(std::vector<std::uint8_t>(kPathFieldWidth, 'T')); // unterminated
        }
    });
    RemoteFileSystem remote("127.0.0.1", nullptr, nullptr, peer.Port(), QuickLimits());
    ShellFileInfo info;
    ASSERT_EQ(remote.GetFileInfo("/m/dir/", info, kInfoSmallIcon), 1);
    EXPECT_EQ(info.iconHandle, 0u);
    EXPECT_EQ(info.displayName.size(), kDisplayNameWidth - 1);
    // Same path and a subset of the flags: the memo answers.
    ASSERT_EQ(remote.GetFileInfo("/m/dir", info, kInfoDisplayName), 1);
    ASSERT_EQ(remote.GetFileInfo("/m/dir", info, kInfoAttributes), 1); // not in the memo
    EXPECT_EQ(flagsSeen, (std::vector<std::int32_t>{0x601, 0xE00}));

    std::string target;
    ASSERT_TRUE(remote.ResolveShortcut(nullptr, "/m/link", target));
    EXPECT_EQ(target.size(), kPathFieldWidth);

    // A path the field would cut never leaves.
    EXPECT_FALSE(remote.FindFile("/" + std::string(kPathFieldWidth, 'p'), 0));
    const auto requests = peer.Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[2].code, kNfsResolveShortcut);
    EXPECT_EQ(requests[0].paths, std::vector<std::string>{"/m/dir"});
}

} // namespace
