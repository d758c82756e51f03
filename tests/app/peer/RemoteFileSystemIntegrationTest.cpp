// RemoteFileSystem against a real NFSServer on a loopback address, serving
// real files from a temporary folder.

#include "PeerTestSupport.h"
#include "app/files/IconIndexCache.h"
#include "app/files/LogEvent.h"
#include "app/files/ShareTable.h"
#include "app/peer/remotefs/NFSProtocol.h"
#include "app/peer/remotefs/NFSServer.h"
#include "app/peer/remotefs/RemoteFileSystem.h"
#include "app/peer/wire/PeerConnection.h"
#include "tests/support/TestSupport.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

using LogLines = peertest::RecordedLog;

struct Item {
    std::string path;
    bool directory = false;
    bool hidden = false;
    bool operator==(const Item&) const = default;
};

// The walk every explorer pane makes: FindFile, then FindNextFile until it
// answers false, skipping the dots.
std::vector<Item> Walk(FileSystem& files, const std::string& pattern) {
    std::vector<Item> items;
    if (!files.FindFile(pattern, 0))
        return items;
    bool more = true;
    while (more) {
        more = files.FindNextFile();
        if (files.IsDots() || files.GetFilePath().empty())
            continue;
        items.push_back({files.GetFilePath(), files.IsDirectory(), files.IsHidden()});
    }
    std::sort(items.begin(), items.end(),
              [](const Item& a, const Item& b) { return a.path < b.path; });
    return items;
}

void WriteFile(const fs::path& path, std::size_t size) {
    std::ofstream out(path, std::ios::binary);
    out << std::string(size, 'x');
}

class RemoteFileSystemWithServer : public ::testing::Test {
protected:
    void SetUp() override {
        m_share = m_temp.Path() / "share";
        m_outside = m_temp.Path() / "outside";
        fs::create_directories(m_share / "sub");
        fs::create_directories(m_outside);
        WriteFile(m_share / "a.txt", 1500);
        WriteFile(m_share / "b.mp3", 10);
        WriteFile(m_share / ".hidden", 1);
        WriteFile(m_share / "sub" / "c.txt", 3);
        WriteFile(m_outside / "secret.txt", 5);

        auto table = std::make_shared<ShareTable>();
        ASSERT_TRUE(table->Add(m_share.string()));
        m_port = testsupport::FreeTcpPort();
        NFSServer::Timing timing;
        timing.acceptLimit = 200ms;
        m_server =
            std::make_unique<NFSServer>(table, &m_serverLog, m_port, timing, NFSServer::Limits{});
        ASSERT_TRUE(m_server->Start());
        ASSERT_TRUE(testsupport::WaitFor([&] { return m_server->IsListening(); }, 5s));
        m_log.Register(&m_lines);
    }

    void TearDown() override {
        m_log.Unregister(&m_lines);
        if (m_server)
            m_server->Stop(true);
    }

    std::unique_ptr<RemoteFileSystem> Connect(IconIndexCache* icons = nullptr) {
        return std::make_unique<RemoteFileSystem>("127.0.0.1", &m_log, icons, m_port);
    }

    std::string Share() const { return m_share.string(); }

    testsupport::TempDir m_temp;
    fs::path m_share;
    fs::path m_outside;
    int m_port = 0;
    LogEvent m_serverLog;
    LogEvent m_log;
    LogLines m_lines;
    std::unique_ptr<NFSServer> m_server;
};

TEST_F(RemoteFileSystemWithServer, BrowsesASharedFolderAndItsSubfolder) {
    auto remote = Connect();
    ASSERT_TRUE(remote->HasInstance());
    EXPECT_EQ(remote->Version(), kNfsVersion);

    const std::vector<Item> expected{{Share() + "/.hidden", false, true},
                                     {Share() + "/a.txt", false, false},
                                     {Share() + "/b.mp3", false, false},
                                     {Share() + "/sub", true, false}};
    EXPECT_EQ(Walk(*remote, Share() + "/*.*"), expected);

    // The walk's questions come from the listing: no request is made for them.
    m_lines.Clear();
    FileStatus status;
    ASSERT_TRUE(remote->GetStatus(Share() + "/a.txt", status));
    EXPECT_EQ(status.size, 1500);
    ASSERT_TRUE(remote->GetStatus(Share() + "/sub/", status)); // one trailing "/" dropped
    EXPECT_TRUE(status.attribute & kAttributeDirectory);
    EXPECT_FALSE(remote->HasSubdirectories(Share() + "/sub"));
    ShellFileInfo info;
    EXPECT_NE(remote->GetFileInfo(Share() + "/b.mp3", info, kInfoDisplayName), 0);
    EXPECT_EQ(info.displayName, "b.mp3");
    EXPECT_TRUE(remote->IsFolder(Share() + "/sub"));
    EXPECT_FALSE(remote->IsFolder(Share() + "/a.txt"));
    EXPECT_TRUE(m_lines.Lines().empty());

    EXPECT_EQ(Walk(*remote, Share() + "/sub/*"),
              (std::vector<Item>{{Share() + "/sub/c.txt", false, false}}));
    // Out of the listing now: asked over the network.
    m_lines.Clear();
    ASSERT_TRUE(remote->GetStatus(Share() + "/a.txt", status));
    EXPECT_EQ(status.size, 1500);
    EXPECT_EQ(m_lines.Count("Executing GetFileStatus on (127.0.0.1)."), 1);
}

// A window's worker lists while the same object's walk stands in another
// folder; each result reaches the window's thread (here the test's) as a value.
TEST_F(RemoteFileSystemWithServer, WorkersListFoldersForAnotherThreadWhileAWalkGoesOn) {
    auto remote = Connect();
    ASSERT_TRUE(remote->HasInstance());
    ASSERT_TRUE(remote->FindFile(Share() + "/sub/*", 0));
    ASSERT_TRUE(remote->FindNextFile()); // the "." item, never shown
    ASSERT_TRUE(remote->FindNextFile());
    ASSERT_EQ(remote->GetFilePath(), Share() + "/sub/..");

    std::vector<std::thread> workers;
    auto listOnWorker = [&](const std::string& pattern) {
        std::promise<FolderListing> handed;
        std::future<FolderListing> received = handed.get_future();
        workers.emplace_back([&remote, pattern, handed = std::move(handed)]() mutable {
            handed.set_value(remote->ListFolder(pattern));
        });
        return received;
    };
    auto root = listOnWorker("/*.*");
    auto share = listOnWorker(Share() + "/*.*");
    auto outside = listOnWorker(m_outside.string() + "/*.*");
    // Every request has its time limits, so the workers end.
    for (std::thread& worker : workers)
        worker.join();

    const FolderListing shares = root.get();
    EXPECT_EQ(shares.outcome, FolderListing::Outcome::Complete);
    EXPECT_EQ(shares.entries, (std::vector<FolderEntry>{{Share(), true, false}}));
    const FolderListing items = share.get();
    EXPECT_EQ(items.outcome, FolderListing::Outcome::Complete);
    EXPECT_EQ(items.entries, (std::vector<FolderEntry>{{Share() + "/.hidden", false, true},
                                                       {Share() + "/a.txt", false, false},
                                                       {Share() + "/b.mp3", false, false},
                                                       {Share() + "/sub", true, false}}));
    const FolderListing refused = outside.get();
    EXPECT_EQ(refused.outcome, FolderListing::Outcome::NotReadable);
    EXPECT_TRUE(refused.entries.empty());

    // The walk goes on where it stood, and neither its items nor those of
    // the latest listing cost a request.
    ASSERT_TRUE(remote->ListFolder(Share() + "/*").Listed());
    m_lines.Clear();
    EXPECT_FALSE(remote->FindNextFile());
    EXPECT_EQ(remote->GetFilePath(), Share() + "/sub/c.txt");
    FileStatus status;
    ASSERT_TRUE(remote->GetStatus(Share() + "/sub/c.txt", status));
    EXPECT_EQ(status.size, 3);
    ASSERT_TRUE(remote->GetStatus(Share() + "/a.txt", status));
    EXPECT_EQ(status.size, 1500);
    EXPECT_TRUE(m_lines.Lines().empty());
}

TEST_F(RemoteFileSystemWithServer, VirtualRootListsTheSharedFolders) {
    auto remote = Connect();
    EXPECT_EQ(Walk(*remote, "/*.*"), (std::vector<Item>{{Share(), true, false}}));
    EXPECT_TRUE(remote->HasSubdirectories(Share()));

    char drives[16] = {};
    // "/", its NUL and the list's closing NUL, as the local disks answer.
    EXPECT_EQ(remote->GetLogicalDriveStrings(sizeof drives, drives), 2u);
    EXPECT_EQ(std::string(drives), "/");
    EXPECT_EQ(drives[2], '\0');
    char tiny[1] = {'#'};
    EXPECT_EQ(remote->GetLogicalDriveStrings(sizeof tiny, tiny), 3u); // needs more room
    EXPECT_EQ(tiny[0], '#');
}

TEST_F(RemoteFileSystemWithServer, RefusesAFolderOutsideTheShares) {
    auto remote = Connect();
    ASSERT_FALSE(Walk(*remote, Share() + "/*").empty());
    EXPECT_FALSE(remote->FindFile(m_outside.string() + "/*", 0));
    // The server's empty answer replaced the listing: nothing of the share is
    // left to walk, and nothing of the outside folder leaks in.
    EXPECT_FALSE(remote->FindNextFile());
    EXPECT_EQ(remote->GetFilePath(), "");
    FileStatus status;
    EXPECT_FALSE(remote->GetStatus((m_outside / "secret.txt").string(), status));
    EXPECT_EQ(status.fullPath, "");
    std::string target = "unchanged";
    EXPECT_TRUE(remote->ResolveShortcut(nullptr, (m_outside / "secret.txt").string(), target));
    EXPECT_EQ(target, "");
    EXPECT_FALSE(remote->MoveFile(Share() + "/a.txt", Share() + "/moved.txt"));
    EXPECT_TRUE(fs::exists(m_share / "a.txt"));
    EXPECT_FALSE(remote->OpenFile(nullptr, Share() + "/a.txt"));
}

TEST_F(RemoteFileSystemWithServer, FileInformationFromListingMemoAndServer) {
    IconIndexCache icons;
    ASSERT_TRUE(icons.Store("x.txt", 7, kIconSmall));
    ASSERT_TRUE(icons.Store("x.mp3", 9, kIconLarge));
    icons.SetDefault(IconIndexCache::kRowFolder, kIconSmall, 3);
    auto remote = Connect(&icons);
    ASSERT_FALSE(Walk(*remote, Share() + "/*").empty());

    // From the listing, with this computer's icons.
    ShellFileInfo info;
    info.iconHandle = 55;
    EXPECT_NE(remote->GetFileInfo(Share() + "/a.txt", info, kInfoIcon | kInfoSmallIcon), 0);
    EXPECT_EQ(info.iconHandle, 0u);
    EXPECT_EQ(info.iconIndex, 7);
    EXPECT_NE(remote->GetFileInfo(Share() + "/sub/", info, kInfoIcon | kInfoSmallIcon), 0);
    EXPECT_EQ(info.iconIndex, 3);

    // Not in the listing: the server is asked once, then the memo answers
    // while it holds every flag asked for.
    const std::string deep = Share() + "/sub/c.txt";
    m_lines.Clear();
    EXPECT_NE(remote->GetFileInfo(deep, info, kInfoAttributes), 0);
    EXPECT_EQ(info.displayName, "c.txt");
    EXPECT_FALSE(info.typeName.empty()); // the type name comes with every request
    EXPECT_NE(remote->GetFileInfo(deep, info, kInfoTypeName), 0);
    EXPECT_EQ(m_lines.Count("Executing FillFileInfo on (127.0.0.1)."), 1);
    EXPECT_NE(remote->GetFileInfo(deep, info, kInfoIcon | kInfoSmallIcon), 0);
    EXPECT_EQ(info.iconIndex, 7);
    // The icon's folder check asks without the icon flag: the memo answers it.
    EXPECT_EQ(m_lines.Count("Executing FillFileInfo on (127.0.0.1)."), 2);
    EXPECT_EQ(remote->GetFileInfo((m_outside / "secret.txt").string(), info, kInfoDisplayName), 0);
}

TEST_F(RemoteFileSystemWithServer, InstancesAreAcquiredIdentifiedAndReleased) {
    auto first = Connect();
    auto second = Connect();
    EXPECT_EQ(first->Instance(), 0);
    EXPECT_EQ(second->Instance(), 1);
    const std::vector<std::string> acquired = m_lines.Lines();
    ASSERT_GE(acquired.size(), 2u);
    EXPECT_EQ(acquired[0], "Acquiring new instance from (127.0.0.1).");
    EXPECT_EQ(acquired[1], "   Success: Setting instance to (0).");

    std::vector<std::string> properties{"old"};
    ASSERT_TRUE(second->GetProperties(properties));
    ASSERT_EQ(properties.size(), 3u);
    EXPECT_FALSE(properties[0].empty());
    EXPECT_EQ(second->GetMachineName(), "Remote machine");
    EXPECT_EQ(second->GetKind(), kFileSystemRemote);
    EXPECT_NE(second->GetDriveType(Share()), 0);

    m_lines.Clear();
    first.reset();
    EXPECT_EQ(m_lines.Lines(), (std::vector<std::string>{
                                   "Executing BoolOp (3) on (127.0.0.1).",
                                   "Setting remote instance for (127.0.0.1).",
                                   "   Success: Returning result.",
                                   "   Success: Returning result.",
                               }));
    // The server no longer knows the released instance.
    auto raw = OpenConnection("127.0.0.1", m_port);
    ASSERT_TRUE(raw);
    ASSERT_TRUE(raw->SendInt32(kNfsOperation));
    ASSERT_TRUE(raw->SendInt32(0));
    std::int32_t known = -1;
    ASSERT_TRUE(raw->ReceiveInt32(known));
    EXPECT_EQ(known, 0);
}

TEST_F(RemoteFileSystemWithServer, AnOfflineFriendIsNeverConnected) {
    // The server listens on every local address, so "0.0.0.0" would reach it.
    RemoteFileSystem remote("0.0.0.0", &m_log, nullptr, m_port);
    EXPECT_FALSE(remote.HasInstance());
    EXPECT_FALSE(remote.FindFile(Share() + "/*", 0));
    EXPECT_EQ(m_lines.Lines(), (std::vector<std::string>{"Acquiring new instance from (0.0.0.0).",
                                                         "   Error: Could not get a connection."}));
}

TEST_F(RemoteFileSystemWithServer, WithoutAServerEveryOperationFailsAtOnce) {
    m_server->Stop(true);
    m_server.reset();
    m_lines.Clear();
    auto remote = Connect();
    EXPECT_FALSE(remote->HasInstance());
    EXPECT_EQ(m_lines.Lines(), (std::vector<std::string>{"Acquiring new instance from (127.0.0.1).",
                                                         "   Error: Could not get a connection."}));
    m_lines.Clear();
    EXPECT_FALSE(remote->FindFile(Share() + "/*", 0));
    FileStatus status;
    EXPECT_FALSE(remote->GetStatus(Share() + "/a.txt", status));
    ShellFileInfo info;
    EXPECT_EQ(remote->GetFileInfo(Share() + "/a.txt", info, kInfoDisplayName), 0);
    EXPECT_EQ(remote->GetRecycleBinPath(), "");
    std::vector<std::string> properties;
    EXPECT_FALSE(remote->GetProperties(properties));
    EXPECT_EQ(remote->ListFolder(Share() + "/*").outcome, FolderListing::Outcome::Unreachable);
    char drives[8] = {};
    EXPECT_EQ(remote->GetLogicalDriveStrings(sizeof drives, drives), 0u);
    // Only the drive list says it was asked.
    EXPECT_EQ(m_lines.Lines(), (std::vector<std::string>{"Executing GetLogicalDriveStrings."}));
}

} // namespace
