// File names Linux allows and windows rarely meet (spaces, quotes, line feeds,
// bytes that are not UTF-8, wildcard characters, 255 bytes) listed from a
// friend's real file server and fetched from its real transfer server, both on
// a loopback address of their own: what arrives must be byte for byte what the
// friend has, under the name the friend gave it.

#include "PeerTestSupport.h"
#include "app/files/ShareTable.h"
#include "app/peer/remotefs/NFSServer.h"
#include "app/peer/remotefs/RemoteFileSystem.h"
#include "app/peer/transfer/TransferAgentDownload.h"
#include "app/peer/transfer/TransferServer.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr char kFriend[] = "127.0.0.6";

std::string LastComponent(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

TEST(OddNames, ListAndTransferByteForByte) {
    testsupport::TempDir temp;
    testsupport::ScopedEnvironment environment;
    environment.Set("HALVARA_ADDRESS", kFriend);
    const fs::path share = temp.Path() / "share";
    const fs::path received = temp.Path() / "received";
    fs::create_directories(share);
    fs::create_directories(received);

    // A transfer item carries at most 260 characters of path: the longest
    // name that fits below this share travels, one of 255 bytes only lists.
    const std::string longest(260 - share.string().size() - 1, 'l');
    const std::string longer = std::string(251, 'x') + ".bin";
    const std::vector<std::string> names{"with space.txt",
                                         "  leading and trailing  ",
                                         "double\"quote",
                                         "it's",
                                         "new\nline",
                                         "tab\there",
                                         "caf\xe9 latin-1",
                                         "\xff\xfe\x80 bytes",
                                         "star*question?[bracket]",
                                         "back\\slash",
                                         "-starts-with-dash",
                                         longest,
                                         longer};
    for (unsigned seed = 0; seed < names.size(); ++seed)
        peertest::WriteFile(share / names[seed], peertest::RandomBytes(1000 + 997 * seed, seed));

    auto table = std::make_shared<ShareTable>();
    ASSERT_TRUE(table->Add(share.string()));
    PeerServer::Timing timing;
    timing.acceptLimit = 200ms;
    const int listingPort = testsupport::FreeTcpPort(kFriend);
    NFSServer files(table, nullptr, listingPort, timing, NFSServer::Limits{});
    const int transferPort = testsupport::FreeTcpPort(kFriend);
    TransferServer transfers(table, nullptr, transferPort, timing, TransferServer::Limits{});
    ASSERT_TRUE(files.Start());
    ASSERT_TRUE(transfers.Start());
    ASSERT_TRUE(testsupport::WaitFor(
        [&] { return files.IsListening() && transfers.IsListening(); }, 5s));

    RemoteFileSystem remote(kFriend, nullptr, nullptr, listingPort);
    const FolderListing listing = remote.ListFolder(share.string() + "/*");
    ASSERT_EQ(listing.outcome, FolderListing::Outcome::Complete);
    std::vector<std::string> listed;
    for (const FolderEntry& entry : listing.entries)
        listed.push_back(LastComponent(entry.path));
    std::vector<std::string> expected = names;
    std::sort(expected.begin(), expected.end());
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, expected);

    const std::atomic<bool> running{true};
    TransferDownloadOptions options;
    options.port = transferPort;
    for (const FolderEntry& entry : listing.entries) {
        const std::string name = LastComponent(entry.path);
        SCOPED_TRACE(name);
        ShellFileInfo info;
        ASSERT_NE(remote.GetFileInfo(entry.path, info, kInfoDisplayName), 0);
        EXPECT_EQ(info.displayName, name);
        FileStatus status;
        ASSERT_TRUE(remote.GetStatus(entry.path, status));
        EXPECT_EQ(static_cast<std::uintmax_t>(status.size), fs::file_size(share / name));

        const TransferItem item{entry.path, kFriend, (received / name).string(),
                                kLocalHostAddress};
        const DownloadResult result = DownloadTransferItem(item, nullptr, running, {}, options);
        if (name == longer) {
            // Cut to 260 characters the path names nothing the friend has.
            EXPECT_EQ(result, DownloadResult::Refused);
            continue;
        }
        ASSERT_EQ(result, DownloadResult::Done) << DownloadResultName(result);
        EXPECT_EQ(peertest::ReadFile(received / name), peertest::ReadFile(share / name));
    }
}

} // namespace
