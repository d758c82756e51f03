#include "app/peer/search/SearchServer.h"

#include "PeerTestSupport.h"
#include "app/files/LogEvent.h"
#include "app/files/PeerPath.h"
#include "app/files/ShareTable.h"
#include "app/files/SharedFileSystem.h"
#include "app/peer/PresenceDirectory.h"
#include "app/peer/search/SearchReply.h"
#include "app/peer/search/SearchReplyBudget.h"
#include "app/peer/search/SearchRequest.h"
#include "app/peer/wire/PeerConnection.h"
#include "support/RecordLayout.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

using LogLines = peertest::RecordedLog;

class FakePresence : public PresenceDirectory {
public:
    bool initialized = true;
    std::string myAddress = "127.0.0.200";
    std::string myName = "me@example.org";
    std::vector<std::string> friends;
    std::optional<std::vector<std::string>> anonymous;

    bool IsInitialized() override { return initialized; }
    std::string MyAddress() override { return myAddress; }
    std::string MyName() override { return myName; }
    std::vector<std::string> FriendAddresses() override { return friends; }
    std::optional<std::vector<std::string>> AnonymousAddresses(bool) override { return anonymous; }
};

struct TableHolder {
    std::shared_ptr<ShareTable> table = std::make_shared<ShareTable>();
};

void WriteText(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// A small MP3 file: some frame bytes and, when title or artist are given, an
// ID3v1 tag at its end.
void WriteMp3(const fs::path& path, const std::string& title, const std::string& artist,
              bool tagged = true) {
    std::string bytes(400, '\xff');
    if (tagged) {
        std::string tag(128, '\0');
        std::memcpy(tag.data(), "TAG", 3);
        std::memcpy(tag.data() + 3, title.data(), std::min<std::size_t>(title.size(), 30));
        std::memcpy(tag.data() + 33, artist.data(), std::min<std::size_t>(artist.size(), 30));
        tag[127] = 17;
        bytes += tag;
    }
    WriteText(path, bytes);
}

std::vector<std::string> Names(const std::vector<std::string>& paths) {
    std::vector<std::string> names;
    for (const auto& path : paths)
        names.push_back(fs::path(path).filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> Search(ShareTable* table, std::int32_t mode, const std::string& query,
                                std::vector<std::string>* titles = nullptr) {
    std::vector<std::string> paths;
    std::vector<std::string> found;
    SearchServer::SearchSharedFolders(table, mode, query, paths, found);
    EXPECT_EQ(paths.size(), found.size());
    if (titles)
        *titles = found;
    return paths;
}

TEST(SearchRequestTest, LaysOutTheHeaderLittleEndianAndCarriesAFullForwardedQuery) {
    SearchRequest request;
    request.mode = SearchRequest::kMatchArtist;
    request.hopCount = 3;
    request.originator = {10, 1, 2, 200};
    request.stamp = 0x01020304;
    request.query = std::string(160, 'q');
    auto origin = request.Encode();
    ASSERT_EQ(origin.size(), 166u);
    EXPECT_TRUE(testsupport::HoldsLayout(origin, {
                                                     {"mode", 0, 4, 2},
                                                     {"hopCount", 4, 4, 3},
                                                     {"originator's first byte", 8, 1, 10},
                                                     {"originator's second byte", 9, 1, 1},
                                                     {"originator's third byte", 10, 1, 2},
                                                     {"originator's last byte", 11, 1, 200},
                                                     {"stamp", 12, 4, 0x01020304},
                                                 }));
    // The originator leaves the field terminated; a forward may fill it.
    EXPECT_EQ(SearchRequest::Decode(origin)->query, std::string(149, 'q'));
    auto forwarded = SearchRequest::Decode(request.Encode(SearchRequest::kForwardedQueryText));
    ASSERT_TRUE(forwarded);
    EXPECT_EQ(forwarded->query, std::string(150, 'q'));
    EXPECT_EQ(forwarded->OriginatorText(), "10.1.2.200");
    EXPECT_EQ(forwarded->stamp, 0x01020304);
    origin.pop_back();
    EXPECT_FALSE(SearchRequest::Decode(origin));
}

TEST(SearchReplyTest, TablesRoundTripAndRefuseWrongSizes) {
    SearchReply reply;
    reply.responder = std::string(250, 'n');
    reply.paths = {"/a/b", std::string(300, 'p')};
    reply.titles = {"b", "t"};
    std::string responder;
    EXPECT_EQ(SearchReply::DecodeHeader(reply.EncodeHeader(), responder), 2);
    EXPECT_EQ(responder, std::string(199, 'n'));
    auto table = SearchReply::EncodeTable(reply.paths);
    ASSERT_EQ(table.size(), 2 * 261u);
    auto decoded = SearchReply::DecodeTable(table, 2);
    ASSERT_TRUE(decoded);
    EXPECT_EQ((*decoded)[1], std::string(260, 'p'));
    EXPECT_FALSE(SearchReply::DecodeTable(table, 3));
}

TEST(SearchQueryTest, StarsOpenTheEndsAndTheRestIsLowerCased) {
    EXPECT_EQ(SearchServer::QueryPattern("Song"), "^song$");
    EXPECT_EQ(SearchServer::QueryPattern("*Song*"), "song");
    EXPECT_EQ(SearchServer::QueryPattern("song*"), "^song");
    EXPECT_EQ(SearchServer::QueryPattern("*"), "$");
    EXPECT_EQ(SearchServer::QueryPattern(""), "");
}

TEST(SearchWalkTest, NameModeFollowsTheQueryRulesInsideSharedFoldersOnly) {
    testsupport::TempDir dir;
    fs::create_directories(dir.Path() / "shared/deep/er");
    fs::create_directories(dir.Path() / "private");
    for (auto name : {"Song", "Songs", "MySongs", "aXb", "a.b", "other"})
        WriteText(dir.Path() / "shared/deep" / name, "x");
    WriteText(dir.Path() / "shared/deep/er/song", "x");
    WriteText(dir.Path() / "private/song", "x");
    TableHolder holder;
    ASSERT_TRUE(holder.table->Add((dir.Path() / "shared").string() + "/"));

    EXPECT_EQ(Names(Search(holder.table.get(), 0, "song")),
              (std::vector<std::string>{"Song", "song"}));
    EXPECT_EQ(Names(Search(holder.table.get(), 0, "song*")),
              (std::vector<std::string>{"Song", "Songs", "song"}));
    EXPECT_EQ(Names(Search(holder.table.get(), 0, "*song*")),
              (std::vector<std::string>{"MySongs", "Song", "Songs", "song"}));
    EXPECT_EQ(Names(Search(holder.table.get(), 0, "a.b")),
              (std::vector<std::string>{"a.b", "aXb"}));
    EXPECT_TRUE(Search(holder.table.get(), 0, "").empty());
    EXPECT_TRUE(Search(holder.table.get(), 0, "a(b").empty());
    // Folders match too, after their content; the matched text is the name as written.
    std::vector<std::string> titles;
    auto paths = Search(holder.table.get(), 7, "*e*", &titles);
    ASSERT_EQ(paths.size(), 3u);
    EXPECT_EQ(paths[0], (dir.Path() / "shared/deep/er").string());
    EXPECT_EQ(paths[2], (dir.Path() / "shared/deep").string());
    EXPECT_EQ(titles[1], "other");
}

TEST(SearchWalkTest, TitleAndArtistModesReadTheTagsOfMp3FilesOnly) {
    testsupport::TempDir dir;
    fs::create_directories(dir.Path() / "music");
    WriteMp3(dir.Path() / "music/one.MP3", "  Hello  ", "The Band");
    WriteMp3(dir.Path() / "music/two.mp3", "Goodbye", "Band");
    WriteMp3(dir.Path() / "music/untagged.mp3", "", "", false);
    WriteMp3(dir.Path() / "music/tagged.wav", "Hello", "Band");
    WriteText(dir.Path() / "music/short.mp3", "TAG");
    TableHolder holder;
    ASSERT_TRUE(holder.table->Add((dir.Path() / "music").string() + "/"));

    std::vector<std::string> titles;
    EXPECT_EQ(Names(Search(holder.table.get(), 1, "hello", &titles)),
              (std::vector<std::string>{"one.MP3"}));
    EXPECT_EQ(titles, (std::vector<std::string>{"Hello"}));
    EXPECT_EQ(Names(Search(holder.table.get(), 2, "*band", &titles)),
              (std::vector<std::string>{"one.MP3", "two.mp3"}));
    EXPECT_EQ(Names(Search(holder.table.get(), 2, "band")), (std::vector<std::string>{"two.mp3"}));
    EXPECT_TRUE(Search(holder.table.get(), 1, "*").size() == 2u);
    EXPECT_TRUE(Search(holder.table.get(), 1, "one*").empty());
    // The name mode still finds the untagged file by its name.
    EXPECT_EQ(Names(Search(holder.table.get(), 0, "untagged.mp3")),
              (std::vector<std::string>{"untagged.mp3"}));
}

TEST(SearchWalkTest, ALinkBackToAParentFolderIsWalkedOnce) {
    testsupport::TempDir dir;
    fs::create_directories(dir.Path() / "shared/a");
    WriteText(dir.Path() / "shared/a/needle", "x");
    fs::create_directory_symlink(dir.Path() / "shared", dir.Path() / "shared/a/loop");
    TableHolder holder;
    ASSERT_TRUE(holder.table->Add((dir.Path() / "shared").string() + "/"));
    EXPECT_EQ(Search(holder.table.get(), 0, "needle").size(), 1u);
}

TEST(SearchWalkTest, NeitherALinkOutOfTheSharesNorANeverSharedFolderIsEntered) {
    testsupport::TempDir dir;
    fs::create_directories(dir.Path() / "shared/cfg/halvara");
    fs::create_directories(dir.Path() / "outside");
    fs::create_directories(dir.Path() / "other");
    WriteText(dir.Path() / "shared/cfg/halvara/secret-song", "x");
    WriteText(dir.Path() / "outside/outside-song", "x");
    WriteText(dir.Path() / "other/other-song", "x");
    fs::create_directory_symlink(dir.Path() / "outside", dir.Path() / "shared/out");
    fs::create_directory_symlink(dir.Path() / "other", dir.Path() / "shared/into-other");
    const char* saved = std::getenv("XDG_CONFIG_HOME");
    const std::string savedText = saved ? saved : "";
    setenv("XDG_CONFIG_HOME", (dir.Path() / "shared/cfg").c_str(), 1);
    TableHolder holder;
    ASSERT_TRUE(holder.table->Add((dir.Path() / "shared").string() + "/"));
    ASSERT_TRUE(holder.table->Add((dir.Path() / "other").string() + "/"));
    const auto songs = Search(holder.table.get(), 0, "*song");
    const auto links = Search(holder.table.get(), 0, "out");
    if (saved)
        setenv("XDG_CONFIG_HOME", savedText.c_str(), 1);
    else
        unsetenv("XDG_CONFIG_HOME");
    // The other share is reached through the link and by itself, and walked once.
    EXPECT_EQ(songs,
              (std::vector<std::string>{(dir.Path() / "shared/into-other/other-song").string()}));
    // The link itself is an item of the shared folder.
    EXPECT_EQ(links, (std::vector<std::string>{(dir.Path() / "shared/out").string()}));
}

// The names a peer's listing of folder shows, "." and ".." first.
std::vector<std::string> Listed(SharedFileSystem& view, const fs::path& folder) {
    std::vector<std::string> names;
    if (!view.FindFile(folder.string() + "/*", 0))
        return names;
    for (bool more = true; more;) {
        more = view.FindNextFile();
        names.push_back(fs::path(view.GetFilePath()).filename().string());
    }
    return names;
}

TEST(NeverSharedTest, ASharedHomeKeepsItsConfigurationAndSessionFoldersOutOfSight) {
    testsupport::TempDir dir;
    const fs::path home = fs::canonical(dir.Path()) / "home";
    for (const char* folder :
         {".config/halvara/registry", ".config/drovick", ".config/other", "run/halvara", "Music"})
        fs::create_directories(home / folder);
    WriteText(home / ".config/drovick/Drovick.settings", "x");
    WriteText(home / ".config/halvara/registry/halvara-song", "x");
    WriteText(home / "run/halvara/drovick-guard", "x");
    WriteText(home / "Music/halvara", "x"); // a file that merely bears the name
    fs::create_directory_symlink(home / ".config/drovick", home / "Music/settings-link");
    fs::create_symlink(home / ".config/drovick/Drovick.settings", home / "Music/settings-file");
    testsupport::ScopedEnvironment environment;
    environment.Set("HOME", home.string());
    environment.Set("XDG_CONFIG_HOME", (home / ".config").string());
    environment.Set("XDG_RUNTIME_DIR", (home / "run").string());
    TableHolder holder;
    ASSERT_TRUE(holder.table->Add(home.string() + "/"));

    EXPECT_EQ(Search(holder.table.get(), 0, "*halvara*"),
              (std::vector<std::string>{(home / "Music/halvara").string()}));
    EXPECT_EQ(Search(holder.table.get(), 0, "*drovick*"), std::vector<std::string>{});
    EXPECT_EQ(Search(holder.table.get(), 0, "*settings*"), std::vector<std::string>{});
    EXPECT_EQ(Names(Search(holder.table.get(), 0, "*")),
              (std::vector<std::string>{".config", "Music", "halvara", "other", "run"}));

    SharedFileSystem view(holder.table);
    EXPECT_EQ(Listed(view, home / ".config"), (std::vector<std::string>{".", "..", "other"}));
    EXPECT_EQ(Listed(view, home / "run"), (std::vector<std::string>{".", ".."}));
    EXPECT_EQ(Listed(view, home / "Music"), (std::vector<std::string>{".", "..", "halvara"}));
    EXPECT_EQ(Listed(view, home / ".config/drovick"), std::vector<std::string>{});
    EXPECT_TRUE(view.HasSubdirectories((home / ".config").string()));
    EXPECT_FALSE(view.HasSubdirectories((home / "run").string()));
    // What the transfer server asks before it sends a file.
    std::string canonical;
    EXPECT_FALSE(CanonicalizePeerPath(
        *holder.table, (home / ".config/drovick/Drovick.settings").string(), canonical));
    EXPECT_FALSE(CanonicalizePeerPath(
        *holder.table, (home / "Music/settings-link/Drovick.settings").string(), canonical));
}

TEST(SearchReplyBudgetTest, BoundsRepliesAndResultsPerAddressWithinTheWindowAndTheAddresses) {
    using namespace std::chrono_literals;
    SearchReplyBudget budget({3, 10, 60s, 2});
    const auto start = SearchReplyBudget::Clock::now();
    EXPECT_EQ(budget.Take("10.0.0.1", 4, start), 4u);
    EXPECT_EQ(budget.Take("10.0.0.1", 8, start + 1s), 6u); // cut to what is left
    EXPECT_FALSE(budget.HasRoom("10.0.0.1", start + 2s));
    EXPECT_EQ(budget.Take("10.0.0.1", 1, start + 2s), 0u);
    // However small, three replies are all.
    for (auto at : {2s, 3s, 4s})
        EXPECT_EQ(budget.Take("10.0.0.2", 1, start + at), 1u);
    EXPECT_FALSE(budget.HasRoom("10.0.0.2", start + 5s));
    // A third address waits until one of the two has been quiet a whole window.
    EXPECT_FALSE(budget.HasRoom("10.0.0.3", start + 30s));
    // The first reply left the window; the second still counts.
    EXPECT_EQ(budget.Take("10.0.0.1", 9, start + 60s), 4u);
    EXPECT_TRUE(budget.HasRoom("10.0.0.3", start + 64s));
}

// A search server on 127.0.0.1 with a listener that stands for the originator
// and one that stands for a friend's server.
class SearchServerFixture : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(m_dir.Path() / "shared/sub");
        WriteText(m_dir.Path() / "shared/sub/report.txt", "x");
        WriteText(m_dir.Path() / "shared/Report", "x");
        ASSERT_TRUE(m_holder.table->Add((m_dir.Path() / "shared").string() + "/"));
        m_log.Register(&m_lines);
        ASSERT_TRUE(m_results.Listen("127.0.0.1", 0));
        ASSERT_TRUE(m_friend.Listen("127.0.0.1", 0));
        m_presence.friends = {"0.0.0.0", "127.0.0.1"};
        SearchServer::Ports ports;
        ports.listen = testsupport::FreeTcpPort();
        ports.forward = m_friend.LocalPort();
        ports.reply = m_results.LocalPort();
        PeerServer::Timing timing;
        timing.acceptLimit = 200ms;
        m_server =
            std::make_unique<SearchServer>(m_holder.table, &m_log, &m_presence, ports, timing);
        ASSERT_TRUE(m_server->Start());
        ASSERT_TRUE(testsupport::WaitFor([&] { return m_server->IsListening(); }, 5s));
    }
    void TearDown() override {
        m_server.reset();
        m_log.Unregister(&m_lines);
    }

    SearchRequest Request(const std::string& query, std::int32_t hops = 0,
                          std::int32_t stamp = 1000) {
        SearchRequest request;
        request.mode = 0;
        request.hopCount = hops;
        request.originator = {127, 0, 0, 1};
        request.stamp = stamp;
        request.query = query;
        return request;
    }
    bool Send(const SearchRequest& request) {
        return DeliverSearchRequest("127.0.0.1", m_server->Port(), request,
                                    SearchRequest::kOriginQueryText, 1);
    }
    // The next reply at the originator's port, if one comes within the limit.
    std::optional<SearchReply> NextReply(std::chrono::milliseconds limit = 3s) {
        TimeOutSocket connection;
        m_results.SetTimeOut(limit);
        if (!m_results.Accept(connection))
            return std::nullopt;
        return ReceiveSearchReply(connection, 3s);
    }
    std::optional<SearchRequest> NextForward(std::chrono::milliseconds limit = 3s) {
        TimeOutSocket connection;
        m_friend.SetTimeOut(limit);
        std::vector<std::uint8_t> bytes;
        if (!m_friend.Accept(connection) ||
            !connection.ReceiveBlock(bytes, SearchRequest::kSize, 3s))
            return std::nullopt;
        return SearchRequest::Decode(bytes);
    }
    bool Served(int count) {
        return m_lines.WaitForCount("SearchServer: Returning query results", count);
    }

    testsupport::TempDir m_dir;
    TableHolder m_holder;
    LogEvent m_log;
    LogLines m_lines;
    FakePresence m_presence;
    TimeOutSocket m_results;
    TimeOutSocket m_friend;
    std::unique_ptr<SearchServer> m_server;
};

TEST_F(SearchServerFixture, AnswersTheOriginatorAndForwardsOneHopFurther) {
    ASSERT_TRUE(Send(Request("report*", 5)));
    auto forwarded = NextForward();
    ASSERT_TRUE(forwarded);
    EXPECT_EQ(forwarded->hopCount, 6);
    EXPECT_EQ(forwarded->query, "report*");
    EXPECT_EQ(forwarded->OriginatorText(), "127.0.0.1");
    auto reply = NextReply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->responder, "me@example.org");
    // Names in byte order, a folder's content before the folder's siblings after it.
    EXPECT_EQ(reply->paths,
              (std::vector<std::string>{(m_dir.Path() / "shared/Report").string(),
                                        (m_dir.Path() / "shared/sub/report.txt").string()}));
    EXPECT_EQ(reply->titles, (std::vector<std::string>{"Report", "report.txt"}));
    ASSERT_TRUE(Served(1));
    EXPECT_EQ(m_lines.Lines(), (std::vector<std::string>{
                                   "SearchServer: Got a search request",
                                   "SearchServer: Parsed request",
                                   "SearchServer: Request is valid",
                                   "SearchServer: Forwarding request",
                                   "SearchServer: Sending request to all online friends",
                                   "SearchServer: Friend: 127.0.0.1",
                                   "SearchServer: Compiling query results",
                                   "SearchServer: Returning query results",
                               }));
}

TEST_F(SearchServerFixture, DropsTooManyHopsRepeatsAndItsOwnRequestsSilently) {
    m_presence.anonymous = std::vector<std::string>{"0.0.0.0"};
    ASSERT_TRUE(Send(Request("report*", 6)));
    ASSERT_TRUE(m_lines.WaitForCount("SearchServer: Parsed request", 1));
    ASSERT_TRUE(Send(Request("report*", -1)));
    ASSERT_TRUE(m_lines.WaitForCount("SearchServer: Parsed request", 2));
    SearchRequest own = Request("report*");
    own.originator = {127, 0, 0, 200};
    ASSERT_TRUE(Send(own));
    ASSERT_TRUE(m_lines.WaitForCount("SearchServer: Parsed request", 3));

    ASSERT_TRUE(Send(Request("report*", 0, 50)));
    ASSERT_TRUE(NextReply());
    ASSERT_TRUE(NextForward());
    ASSERT_TRUE(Send(Request("report*", 2, 50))); // the same search by another path
    ASSERT_TRUE(Send(Request("report*", 0, 49)));
    ASSERT_TRUE(Send(Request("report*", 0, 51))); // a newer search
    ASSERT_TRUE(NextReply());
    ASSERT_TRUE(Served(2));
    EXPECT_FALSE(NextReply(300ms));
    EXPECT_EQ(m_lines.Count("SearchServer: Parsed request"), 7);
    EXPECT_EQ(m_lines.Count("SearchServer: Request is valid"), 2);
    EXPECT_EQ(m_lines.Count("SearchServer: Sending request to anonymous users"), 2);
    EXPECT_EQ(m_lines.Count("SearchServer: Anonymous acquaintance: 0.0.0.0"), 2);
}

TEST_F(SearchServerFixture, TheFortyFirstOriginatorPushesOutTheLeastRecentlySeen) {
    m_presence.friends.clear();
    // Nothing matches, so no reply goes to the made-up originators.
    auto from = [&](std::uint8_t last) {
        SearchRequest request = Request("nothing-matches", 0, 7);
        request.originator = {127, 0, 1, last};
        return request;
    };
    // Requests are served side by side: each is sent once the one before has
    // been taken in, so they are remembered in the order they were sent.
    int sent = 0;
    auto sendInOrder = [&](const SearchRequest& request) {
        return Send(request) && m_lines.WaitForCount("SearchServer: Parsed request", ++sent);
    };
    for (std::uint8_t i = 1; i <= 40; ++i)
        ASSERT_TRUE(sendInOrder(from(i)));
    ASSERT_TRUE(sendInOrder(from(1))); // still remembered: dropped, and not moved up
    ASSERT_TRUE(sendInOrder(from(41)));
    ASSERT_TRUE(sendInOrder(from(1))); // pushed out by the 41st: valid again
    ASSERT_TRUE(sendInOrder(from(3))); // the 1st came back in place of the 2nd; the 3rd stays
    ASSERT_TRUE(Served(42));
    EXPECT_EQ(m_lines.Count("SearchServer: Request is valid"), 42);
    EXPECT_FALSE(NextReply(200ms));
}

TEST_F(SearchServerFixture, AReplyIsCutAtItsLimitAndOneAddressGetsSoManyResultsAMinute) {
    m_presence.friends.clear();
    fs::create_directories(m_dir.Path() / "shared/many");
    for (int i = 0; i < 600; ++i)
        WriteText(m_dir.Path() / "shared/many" / ("report-" + std::to_string(i)), "x");
    constexpr int kFullReplies = SearchServer::kResultsPerAddress / SearchServer::kReplyResultLimit;
    const int requests = kFullReplies + 2;
    // One at a time: one address may only have so many connections served at once.
    for (int i = 0; i < requests; ++i) {
        ASSERT_TRUE(Send(Request("report*", 0, 100 + i)));
        ASSERT_TRUE(m_lines.WaitForCount("SearchServer: Parsed request", i + 1));
    }
    for (int i = 0; i < kFullReplies; ++i) {
        auto reply = NextReply();
        ASSERT_TRUE(reply) << i;
        EXPECT_EQ(reply->paths.size(), SearchServer::kReplyResultLimit);
    }
    ASSERT_TRUE(m_lines.WaitForCount(
        "SearchServer: Too many results for 127.0.0.1 this minute; not answering", 2));
    EXPECT_FALSE(NextReply(300ms));
    // Forwarding is not rationed: every new request still went on.
    EXPECT_EQ(m_lines.Count("SearchServer: Request is valid"), requests);
}

TEST_F(SearchServerFixture, AShortRequestIsLoggedAsUnparsedAndAnEmptyQueryAnswersNothing) {
    {
        auto connection = OpenConnection("127.0.0.1", m_server->Port());
        ASSERT_TRUE(connection);
        ASSERT_TRUE(connection->SendBlock(std::vector<std::uint8_t>(20, 0)));
        CloseConnection(connection);
    }
    ASSERT_TRUE(m_lines.WaitForCount("SearchServer: Could not parse request", 1));
    ASSERT_TRUE(Send(Request("", 0, 99)));
    ASSERT_TRUE(Served(1));
    EXPECT_FALSE(NextReply(300ms));
}

TEST(SearchServerPresenceTest, WithoutPresenceNothingIsForwardedAndTheResponderIsUnknown) {
    testsupport::TempDir dir;
    WriteText(dir.Path() / "song", "x");
    TableHolder holder;
    ASSERT_TRUE(holder.table->Add(dir.Path().string() + "/"));
    TimeOutSocket results;
    ASSERT_TRUE(results.Listen("127.0.0.1", 0));
    FakePresence presence;
    presence.initialized = false;
    presence.myAddress = "127.0.0.1"; // not consulted while not initialised
    presence.friends = {"127.0.0.1"};
    LogEvent log;
    LogLines lines;
    log.Register(&lines);
    SearchServer::Ports ports;
    ports.listen = testsupport::FreeTcpPort();
    ports.reply = results.LocalPort();
    ports.forward = ports.listen; // a forward would come back here
    {
        SearchServer server(holder.table, &log, &presence, ports);
        ASSERT_TRUE(server.Start());
        ASSERT_TRUE(testsupport::WaitFor([&] { return server.IsListening(); }, 5s));
        SearchRequest request;
        request.originator = {127, 0, 0, 1};
        request.query = "SONG";
        ASSERT_TRUE(DeliverSearchRequest("127.0.0.1", ports.listen, request, 149, 1));
        TimeOutSocket connection;
        results.SetTimeOut(3s);
        ASSERT_TRUE(results.Accept(connection));
        auto reply = ReceiveSearchReply(connection, 3s);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->responder, "(Unknown)");
        EXPECT_EQ(reply->titles, (std::vector<std::string>{"song"}));
    }
    log.Unregister(&lines);
    EXPECT_EQ(lines.Count("SearchServer: Got a search request"), 1);
    EXPECT_EQ(lines.Count("SearchServer: Forwarding request"), 0);
}

} // namespace
