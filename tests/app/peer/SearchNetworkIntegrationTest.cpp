#include "ForkedPeer.h"
#include "PeerTestSupport.h"
#include "app/files/LogEvent.h"
#include "app/files/ShareTable.h"
#include "app/peer/PresenceDirectory.h"
#include "app/peer/search/NetworkSearch.h"
#include "app/peer/search/SearchReply.h"
#include "app/peer/search/SearchServer.h"
#include "app/peer/transfer/TransferAgentQueue.h"
#include "app/peer/transfer/TransferServer.h"
#include "app/peer/wire/PeerConnection.h"
#include "platform/ByteOrder.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

class FakePresence : public PresenceDirectory {
public:
    bool initialized = true;
    std::string myAddress;
    std::string myName;
    std::vector<std::string> friends;
    std::optional<std::vector<std::string>> anonymous;

    bool IsInitialized() override { return initialized; }
    std::string MyAddress() override { return myAddress; }
    std::string MyName() override { return myName; }
    std::vector<std::string> FriendAddresses() override { return friends; }
    std::optional<std::vector<std::string>> AnonymousAddresses(bool) override { return anonymous; }
};

// Event lines of a server in another process, appended to a file.
class FileLog : public LogReceiver {
public:
    explicit FileLog(fs::path path)
        : m_path(std::move(path)) {}
    void AppendEvent(const std::string& line) override {
        const int fd = open(m_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0)
            return;
        const std::string text = line + "\n";
        [[maybe_unused]] ssize_t ignored = write(fd, text.data(), text.size());
        close(fd);
    }

private:
    fs::path m_path;
};

int CountLines(const fs::path& path, const std::string& line) {
    std::ifstream in(path);
    int count = 0;
    for (std::string read; std::getline(in, read);)
        count += read == line;
    return count;
}

void WriteText(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

void WriteTaggedMp3(const fs::path& path, const std::string& title) {
    std::string bytes(300, '\xff');
    std::string tag(128, '\0');
    std::memcpy(tag.data(), "TAG", 3);
    std::memcpy(tag.data() + 3, title.data(), std::min<std::size_t>(title.size(), 30));
    WriteText(path, bytes + tag);
}

// A search server in a process of its own, bound to its own loopback address.
struct ServerSpec {
    std::string address;
    std::string name;
    fs::path share;
    std::vector<std::string> friends;
};

std::unique_ptr<ForkedPeer> ForkSearchServer(const ServerSpec& spec, int port, int replyPort,
                                             const fs::path& logFile) {
    return std::make_unique<ForkedPeer>([=] {
        setenv("HALVARA_ADDRESS", spec.address.c_str(), 1);
        auto table = std::make_shared<ShareTable>();
        table->Add(spec.share.string() + "/");
        LogEvent log;
        FileLog lines(logFile);
        log.Register(&lines);
        FakePresence presence;
        presence.myAddress = spec.address;
        presence.myName = spec.name;
        presence.friends = spec.friends;
        SearchServer::Ports ports;
        ports.listen = port;
        ports.forward = port;
        ports.reply = replyPort;
        PeerServer::Timing timing;
        timing.acceptLimit = 200ms;
        SearchServer server(table, &log, &presence, ports, timing);
        server.Start();
        // Ends when the test kills the process.
        while (true)
            std::this_thread::sleep_for(1s);
    });
}

NetworkSearch::Options OriginOptions(const std::string& address, int serverPort, int resultPort) {
    NetworkSearch::Options options;
    options.serverPort = serverPort;
    options.resultPort = resultPort;
    options.listenAddress = address;
    options.acceptLimit = 200ms;
    return options;
}

bool WaitUntilListening(const std::string& address, int port) {
    return testsupport::WaitFor([&] { return testsupport::CanConnect(address, port, 200ms); }, 10s);
}

// The next whole second, so that a second search from one originator carries
// a newer stamp than the first.
void WaitForNextSecond() {
    const std::time_t now = std::time(nullptr);
    while (std::time(nullptr) == now)
        std::this_thread::sleep_for(20ms);
}

TEST(SearchNetworkTest, ARequestTravelsAlongAChainOfFriendsAndEachServerAnswersOnce) {
    testsupport::TempDir dir;
    const int port = testsupport::FreeTcpPort("127.0.0.2");
    const int resultPort = testsupport::FreeTcpPort("127.0.0.5");
    std::vector<ServerSpec> specs = {
        {"127.0.0.2", "alpha@example.org", dir.Path() / "a", {"127.0.0.3"}},
        {"127.0.0.3", "beta@example.org", dir.Path() / "b", {"127.0.0.4"}},
        // The chain closes: the request comes back to the first server.
        {"127.0.0.4", "gamma@example.org", dir.Path() / "c", {"0.0.0.0", "127.0.0.2"}},
    };
    fs::create_directories(dir.Path() / "a");
    fs::create_directories(dir.Path() / "b");
    fs::create_directories(dir.Path() / "c/deep");
    WriteText(dir.Path() / "a/Report-alpha.txt", "a");
    WriteText(dir.Path() / "b/report-beta.txt", "b");
    WriteText(dir.Path() / "b/notes.txt", "b");
    WriteText(dir.Path() / "c/deep/report-gamma.txt", "c");
    std::vector<std::unique_ptr<ForkedPeer>> servers;
    for (const auto& spec : specs)
        servers.push_back(
            ForkSearchServer(spec, port, resultPort, dir.Path() / (spec.address + ".log")));
    for (const auto& spec : specs)
        ASSERT_TRUE(WaitUntilListening(spec.address, port));

    FakePresence presence;
    presence.myAddress = "127.0.0.5";
    presence.friends = {"127.0.0.2"};
    presence.anonymous = std::vector<std::string>{"0.0.0.0"};
    LogEvent log;
    peertest::RecordedLog lines;
    log.Register(&lines);
    {
        NetworkSearch search(&presence, &log, nullptr,
                             OriginOptions("127.0.0.5", port, resultPort));
        ASSERT_TRUE(search.Start(0, "report*"));
        EXPECT_FALSE(search.Start(0, "again"));
        ASSERT_TRUE(testsupport::WaitFor([&] { return search.Results().Count() >= 3; }, 20s));
        // The first server gets the request back from the last one and drops it.
        const fs::path firstLog = dir.Path() / "127.0.0.2.log";
        // (The probe that waited for each server shows up as an unparsed request.)
        ASSERT_TRUE(testsupport::WaitFor(
            [&] { return CountLines(firstLog, "SearchServer: Parsed request") == 2; }, 10s));
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(CountLines(firstLog, "SearchServer: Request is valid"), 1);
        EXPECT_TRUE(search.Stop(true));

        auto rows = search.Results().Rows();
        ASSERT_EQ(rows.size(), 3u);
        EXPECT_EQ(rows[0].fileTitle, "report-gamma.txt");
        EXPECT_EQ(rows[0].host, "gamma@example.org");
        EXPECT_EQ(rows[0].location, (dir.Path() / "c/deep").string());
        EXPECT_EQ(rows[1].fileTitle, "report-beta.txt");
        EXPECT_EQ(rows[1].host, "beta@example.org");
        EXPECT_EQ(rows[2].fileTitle, "Report-alpha.txt");
        EXPECT_EQ(rows[2].fileName, "Report-alpha.txt");
        EXPECT_EQ(rows[2].host, "alpha@example.org");
        EXPECT_EQ(rows[2].location, (dir.Path() / "a").string());
        EXPECT_FALSE(rows[2].hostAddress.empty());
    }
    log.Unregister(&lines);
    EXPECT_EQ(lines.Count("RaskSearch: Sending request to friends"), 1);
    EXPECT_EQ(lines.Count("RaskSearch: Sending to friend 127.0.0.2"), 1);
    EXPECT_EQ(lines.Count("RaskSearch: Sending request to anonymous users"), 1);
    EXPECT_EQ(lines.Count("RaskSearch: Sending to anonymous user 0.0.0.0"), 1);
    EXPECT_EQ(lines.Count("RaskSearch: Received response"), 3);
    EXPECT_EQ(CountLines(dir.Path() / "127.0.0.4.log", "SearchServer: Friend: 127.0.0.2"), 1);
}

TEST(SearchNetworkTest, AnEmptyQueryAnswersNothingWhileASongTitleIsFound) {
    testsupport::TempDir dir;
    const int port = testsupport::FreeTcpPort("127.0.0.2");
    const int resultPort = testsupport::FreeTcpPort("127.0.0.5");
    fs::create_directories(dir.Path() / "music");
    WriteTaggedMp3(dir.Path() / "music/track01.mp3", " Hello World ");
    const fs::path serverLog = dir.Path() / "server.log";
    auto server = ForkSearchServer({"127.0.0.2", "alpha@example.org", dir.Path() / "music", {}},
                                   port, resultPort, serverLog);
    ASSERT_TRUE(WaitUntilListening("127.0.0.2", port));

    FakePresence presence;
    presence.myAddress = "127.0.0.5";
    presence.friends = {"127.0.0.2"};
    NetworkSearch search(&presence, nullptr, nullptr, OriginOptions("127.0.0.5", port, resultPort));
    ASSERT_TRUE(search.Start(1, ""));
    ASSERT_TRUE(testsupport::WaitFor(
        [&] { return CountLines(serverLog, "SearchServer: Returning query results") == 1; }, 10s));
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(search.Results().Count(), 0u);
    search.NewSearch();

    WaitForNextSecond();
    ASSERT_TRUE(search.Start(1, "hello*"));
    ASSERT_TRUE(testsupport::WaitFor([&] { return search.Results().Count() == 1; }, 10s));
    const auto row = search.Results().Rows().at(0);
    EXPECT_EQ(row.fileTitle, "Hello World");
    EXPECT_EQ(row.fileName, "track01.mp3");
    search.NewSearch();
    EXPECT_EQ(search.Results().Count(), 0u);
}

class FailureRecorder : public NetworkSearchObserver {
public:
    void SearchFailed(const std::string& message) override {
        std::lock_guard lock(m_mutex);
        m_messages.push_back(message);
    }
    std::vector<std::string> Messages() {
        std::lock_guard lock(m_mutex);
        return m_messages;
    }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_messages;
};

TEST(SearchNetworkTest, WithoutThePresenceLibraryTheSearchEndsWithItsMessage) {
    FakePresence presence;
    presence.initialized = false;
    FailureRecorder recorder;
    NetworkSearch search(&presence, nullptr, &recorder, OriginOptions("127.0.0.1", 1, 0));
    ASSERT_TRUE(search.Start(0, "x"));
    ASSERT_TRUE(testsupport::WaitFor([&] { return !search.IsActive(); }, 5s));
    EXPECT_EQ(recorder.Messages(),
              (std::vector<std::string>{"Halvara is not initialized;\ncannot run RaskSearch."}));
    EXPECT_FALSE(search.RequestSent());
}

std::vector<std::uint8_t> Header(std::int32_t count, const std::string& name) {
    platform::ByteWriter writer;
    writer.WriteI32(count);
    writer.WriteFixedText(name, 200);
    return writer.Take();
}

void SendRaw(int port, const std::vector<std::uint8_t>& bytes) {
    auto connection = OpenConnection("127.0.0.1", port);
    ASSERT_TRUE(connection);
    connection->SendBlock(bytes);
    CloseConnection(connection);
}

TEST(SearchNetworkTest, RepliesThatLieAboutTheirCountAreDroppedAndTheRestSorted) {
    FakePresence presence;
    presence.myAddress = "127.0.0.1";
    LogEvent log;
    peertest::RecordedLog lines;
    log.Register(&lines);
    {
        NetworkSearch search(&presence, &log, nullptr, OriginOptions("127.0.0.1", 1, 0));
        ASSERT_TRUE(search.Start(0, "x"));
        ASSERT_TRUE(testsupport::WaitFor([&] { return search.RequestSent(); }, 5s));
        const int port = search.ListeningPort();

        // A count that would need half a terabyte, one above what any server
        // sends, a negative one, and one far larger than the bytes that follow.
        SendRaw(port, Header(0x7fffffff, "liar"));
        SendRaw(port, Header(kSearchReplyResultLimit + 1, "liar"));
        SendRaw(port, Header(-5, "liar"));
        auto shortReply = Header(kSearchReplyResultLimit, "liar");
        shortReply.resize(shortReply.size() + 5000, 'x');
        SendRaw(port, shortReply);
        // Paths but no titles.
        auto half = Header(2, "liar");
        auto paths = SearchReply::EncodeTable({"/a/b", "/a/c"});
        half.insert(half.end(), paths.begin(), paths.end());
        SendRaw(port, half);

        SearchReply good;
        good.responder = "honest@example.org";
        good.paths = {"/s/one", "noseparator", "/s/three"};
        good.titles = {"b", "C", "a"};
        auto bytes = good.EncodeHeader();
        for (const auto& table :
             {SearchReply::EncodeTable(good.paths), SearchReply::EncodeTable(good.titles)})
            bytes.insert(bytes.end(), table.begin(), table.end());
        SendRaw(port, bytes);

        ASSERT_TRUE(testsupport::WaitFor([&] { return search.Results().Count() == 3; }, 5s));
        ASSERT_TRUE(testsupport::WaitFor(
            [&] { return lines.Count("RaskSearch: Received response") == 6; }, 5s));
        search.Stop(true);
        const auto rows = search.Results().Rows();
        ASSERT_EQ(rows.size(), 3u);
        EXPECT_EQ(rows[0].fileTitle, "C");
        EXPECT_EQ(rows[0].fileName, "noseparator");
        EXPECT_EQ(rows[0].location, "noseparator");
        EXPECT_EQ(rows[1].fileTitle, "b");
        EXPECT_EQ(rows[1].location, "/s");
        EXPECT_EQ(rows[1].fileName, "one");
        EXPECT_EQ(rows[2].fileTitle, "a");
        EXPECT_EQ(rows[2].host, "honest@example.org");
        EXPECT_EQ(rows[2].hostAddress, "127.0.0.1");
    }
    log.Unregister(&lines);
}

TEST(SearchDownloadTest, AStrangersFileNameCannotLeadTheDownloadOutOfItsFolder) {
    testsupport::TempDir dir;
    const fs::path share = dir.Path() / "share";
    const fs::path downloads = dir.Path() / "downloads";
    const fs::path outside = dir.Path() / "outside";
    fs::create_directories(share);
    fs::create_directories(downloads);
    fs::create_directories(outside);
    WriteText(share / "ok.txt", "the shared content");
    WriteText(share / "link.txt", "would overwrite the target of the link");
    WriteText(outside / "target", "untouched");
    fs::create_symlink(outside / "target", downloads / "link.txt");

    const int transferPort = testsupport::FreeTcpPort("127.0.0.2");
    ForkedPeer server([&] {
        setenv("HALVARA_ADDRESS", "127.0.0.2", 1);
        auto table = std::make_shared<ShareTable>();
        table->Add(share.string() + "/");
        TransferServer transfer(table, nullptr, transferPort);
        transfer.Start();
        while (true)
            std::this_thread::sleep_for(1s);
    });
    ASSERT_TRUE(WaitUntilListening("127.0.0.2", transferPort));

    NetworkSearchResults results;
    SearchReply reply;
    reply.responder = "stranger@example.org";
    reply.paths = {share.string() + "/..",       "..",
                   share.string() + "/.",        share.string() + "/",
                   share.string() + "/link.txt", share.string() + "/ok.txt"};
    reply.titles = {"1", "2", "3", "4", "5", "6"};
    results.AddReply(reply, "127.0.0.2");

    TransferDownloadOptions options;
    options.port = transferPort;
    TransferAgentQueue agent(nullptr, nullptr, options);
    // Rows are sorted by title, descending: "6" (ok.txt) comes first.
    const auto rows = results.Rows();
    ASSERT_EQ(rows.size(), 6u);
    ASSERT_EQ(rows[0].fileName, "ok.txt");
    for (std::size_t row = 1; row < rows.size(); ++row)
        EXPECT_FALSE(results.Download(row, agent, downloads.string())) << rows[row].fileName;
    EXPECT_FALSE(results.Download(0, agent, ""));
    EXPECT_FALSE(results.Download(99, agent, downloads.string()));
    ASSERT_TRUE(results.Download(0, agent, downloads.string()));
    ASSERT_TRUE(testsupport::WaitFor(
        [&] {
            std::ifstream in(downloads / "ok.txt");
            std::stringstream text;
            text << in.rdbuf();
            return text.str() == "the shared content";
        },
        10s));
    agent.StopWorker(true);

    std::string target;
    EXPECT_FALSE(NetworkSearchResults::DownloadTarget(downloads.string(), "a/b", target));
    EXPECT_TRUE(NetworkSearchResults::DownloadTarget(downloads.string() + "/", "a\\b", target));
    EXPECT_EQ(target, (downloads / "a\\b").string());

    // Nothing but the downloaded file and the planted link in the folder, and
    // nothing new anywhere around it.
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(downloads))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"link.txt", "ok.txt"}));
    std::vector<std::string> top;
    for (const auto& entry : fs::directory_iterator(dir.Path()))
        top.push_back(entry.path().filename().string());
    std::sort(top.begin(), top.end());
    EXPECT_EQ(top, (std::vector<std::string>{"downloads", "outside", "share"}));
    std::ifstream in(outside / "target");
    std::string text;
    std::getline(in, text);
    EXPECT_EQ(text, "untouched");
}

} // namespace
