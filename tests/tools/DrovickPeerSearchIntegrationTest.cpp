// drovick-peer search against three users serving real MP3 files, each on its
// own loopback address, and the search server inside drovick-peer serve.

#include "DrovickPeerUsers.h"
#include "FakeService.h"

#include <algorithm>
#include <atomic>
#include <set>

namespace {

using namespace drovickpeertest;

// A song of these tests: its own frame bytes and, with a title, a tag.
std::string Mp3(const std::string& title, const std::string& artist, unsigned seed) {
    return Mp3File("\xFF\xFB\x90\x00" + RandomBytes(3000 + seed * 17, seed), title, artist, 12);
}

// The searching user's presence service: the user is id 7 at its own address,
// friend 42 is online at the friend's address, and the anonymous
// acquaintances of Drovick are the given addresses. Unregistered, the
// library gives up at once, so a search goes to the --to computers only.
class SearcherPresence {
public:
    SearcherPresence(const User& user, std::string friendAddress, std::string anonymous)
        : m_ownAddress(user.Address())
        , m_friendAddress(std::move(friendAddress))
        , m_anonymous(std::move(anonymous)) {
        setenv("XDG_RUNTIME_DIR", user.Runtime().c_str(), 1);
        m_service = std::make_unique<FakeService>(
            [this](const BridgeRecord& request) { return Answer(request); });
    }

    void SetRegistered(bool registered) { m_registered = registered; }
    std::vector<BridgeRecord> Requests() const { return m_service->Requests(); }

private:
    std::vector<BridgeRecord> Answer(const BridgeRecord& request) const {
        const int first = request.I32At(4);
        switch (request.Code()) {
        case kCmdIsRegistered:
            return {FakeService::Reply(request, m_registered ? 1 : 0)};
        case kCmdGetMyID:
            return {FakeService::Reply(request, 7)};
        case kCmdGetFriend:
            return {FriendReply(request, {7, 42})};
        case kCmdGetIP:
            return {AddressReply(request, first == 7 ? m_ownAddress : m_friendAddress)};
        case kCmdGetAnonAcquaintances: {
            const auto addresses = Lines(m_anonymous);
            std::vector<BridgeRecord> replies{
                FakeService::Reply(request, 1, static_cast<int>(addresses.size()))};
            for (const std::string& address : addresses) {
                BridgeRecord block;
                block.SetTextAt(0, address, 64);
                replies.push_back(block);
            }
            return replies;
        }
        default:
            return {FakeService::Reply(request, 1)};
        }
    }

    const std::string m_ownAddress;
    const std::string m_friendAddress;
    const std::string m_anonymous; // one address a line
    std::atomic<bool> m_registered{false};
    std::unique_ptr<FakeService> m_service;
};

struct Row {
    std::string title, name, host, location, address;
};

// The final, numbered list of a search's output.
std::vector<Row> FinalRows(const std::string& output) {
    std::vector<Row> rows;
    for (const std::string& line : Lines(output)) {
        std::vector<std::string> fields;
        std::size_t start = 0;
        for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
            fields.push_back(line.substr(start, tab - start));
        fields.push_back(line.substr(start));
        if (fields.size() == 6 && fields[0] == std::to_string(rows.size() + 1))
            rows.push_back({fields[1], fields[2], fields[3], fields[4], fields[5]});
    }
    return rows;
}

class ThreeServers : public ::testing::Test {
protected:
    void SetUp() override {
        // One set of search ports for everybody, as on the Internet; each
        // listens on every address, so none may be a port a user's own
        // servers were given (a free port is only free until somebody binds it).
        std::set<int> taken;
        for (const User* user : {&m_a, &m_b, &m_c, &m_searcher})
            taken.insert({user->NfsPort(), user->TransferPort()});
        auto sharedPort = [&](const User& user) {
            int port = testsupport::FreeTcpPort(user.Address());
            while (taken.contains(port))
                port = testsupport::FreeTcpPort(user.Address());
            taken.insert(port);
            return port;
        };
        m_searchPort = sharedPort(m_a);
        m_resultPort = sharedPort(m_searcher);
        m_messengerPort = sharedPort(m_a);

        const fs::path root = fs::canonical(m_files.Path());
        m_shareA = root / "a" / "music";
        m_shareB = root / "b";
        m_shareC = root / "c";
        fs::create_directories(m_shareA / "songs");
        fs::create_directories(m_shareB);
        fs::create_directories(m_shareC / "deep");
        m_mySong = Mp3("  Hello  ", "The Band", 1);
        WriteFile(m_shareA / "songs" / "My Song.mp3", m_mySong);
        WriteFile(m_shareA / "notes.txt", "no song here");
        m_bSong = Mp3("Goodbye", "the band", 2);
        WriteFile(m_shareB / "song.mp3", m_bSong);
        WriteFile(m_shareB / "untagged-song.mp3", Mp3("", "", 3));
        WriteFile(m_shareC / "deep" / "Songbook.mp3", Mp3("Hello Again", "Someone", 4));

        StartServing(m_a, m_shareA, m_serveA);
        StartServing(m_b, m_shareB, m_serveB);
        StartServing(m_c, m_shareC, m_serveC);
        for (auto* serve : {&m_serveA, &m_serveB, &m_serveC})
            ASSERT_TRUE(testsupport::WaitFor(
                [&] {
                    const std::string output = (*serve)->Output();
                    return Contains(output, "SearchServer listening on") &&
                           Contains(output, "InstantMessageServer listening on");
                },
                15s))
                << (*serve)->Output();
    }

    void StartServing(const User& user, const fs::path& share,
                      std::unique_ptr<ChildProcess>& serve) {
        ASSERT_EQ(user.Run({"share", share.string()}).code, 0);
        serve = std::make_unique<ChildProcess>(
            testsupport::BuildBin("drovick-peer"),
            std::vector<std::string>{"serve", "--nfs-port", std::to_string(user.NfsPort()),
                                     "--transfer-port", std::to_string(user.TransferPort()),
                                     "--search-port", std::to_string(m_searchPort), "--result-port",
                                     std::to_string(m_resultPort), "--messenger-port",
                                     std::to_string(m_messengerPort)},
            user.Environment());
    }

    // A search by the fourth user; nothing is launched behind the scripted service.
    Result Search(std::vector<std::string> words, bool toEverybody = true) {
        std::vector<std::string> arguments{"search",
                                           "--seconds",
                                           "2",
                                           "--search-port",
                                           std::to_string(m_searchPort),
                                           "--result-port",
                                           std::to_string(m_resultPort)};
        if (toEverybody)
            for (const User* user : {&m_a, &m_b, &m_c})
                arguments.insert(arguments.end(), {"--to", user->Address()});
        arguments.insert(arguments.end(), words.begin(), words.end());
        return m_searcher.Run(arguments, {{"HALVSERVE_PATH", "/bin/true"}});
    }

    static std::vector<std::string> Names(const std::vector<Row>& rows) {
        std::vector<std::string> names;
        for (const Row& row : rows)
            names.push_back(row.name + "@" + row.address);
        return names;
    }

    testsupport::TempDir m_files;
    testsupport::TempDir m_downloads;
    fs::path m_shareA, m_shareB, m_shareC;
    std::string m_mySong, m_bSong;
    User m_a{"127.0.0.2"};
    User m_b{"127.0.0.3"};
    User m_c{"127.0.0.4"};
    User m_searcher{"127.0.0.5"};
    int m_searchPort = 0;
    int m_resultPort = 0;
    int m_messengerPort = 0;
    SearcherPresence m_presence{m_searcher, m_a.Address(), m_c.Address() + "\n0.0.0.0"};
    std::unique_ptr<ChildProcess> m_serveA, m_serveB, m_serveC;
};

std::vector<std::string> Sorted(std::vector<std::string> items) {
    std::sort(items.begin(), items.end());
    return items;
}

TEST_F(ThreeServers, FindsMatchesAtEveryServerWithItsAddress) {
    Result found = Search({"*song*"});
    ASSERT_EQ(found.code, 0) << found.output;
    EXPECT_TRUE(Contains(found.output, "searching only the --to computers")) << found.output;
    const auto rows = FinalRows(found.output);
    // Folders match by name as files do; a text file's name is not a song's.
    EXPECT_EQ(Sorted(Names(rows)),
              Sorted({"songs@127.0.0.2", "My Song.mp3@127.0.0.2", "song.mp3@127.0.0.3",
                      "untagged-song.mp3@127.0.0.3", "Songbook.mp3@127.0.0.4"}))
        << found.output;
    for (const Row& row : rows) {
        EXPECT_EQ(row.host, "(Unknown)");
        if (row.name == "My Song.mp3") {
            EXPECT_EQ(row.location, (m_shareA / "songs").string());
            EXPECT_EQ(row.title, "My Song.mp3");
        }
        if (row.name == "Songbook.mp3") {
            EXPECT_EQ(row.location, (m_shareC / "deep").string());
        }
    }
    // Sorted by title, descending, letter case ignored.
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(rows.front().title, "untagged-song.mp3");
    EXPECT_EQ(rows.back().title, "My Song.mp3");
    // Every row was printed as it arrived, before the final list.
    EXPECT_TRUE(Contains(found.output, "Songbook.mp3\t(Unknown)\t" + (m_shareC / "deep").string() +
                                           "\t127.0.0.4\n"))
        << found.output;

    // An unstarred query must match the whole name.
    Result exact = Search({"song"});
    EXPECT_TRUE(FinalRows(exact.output).empty()) << exact.output;
}

TEST_F(ThreeServers, TitleAndArtistModesMatchTheTags) {
    Result title = Search({"--title", "hello"});
    ASSERT_EQ(title.code, 0) << title.output;
    auto rows = FinalRows(title.output);
    ASSERT_EQ(rows.size(), 1u) << title.output;
    // The tag's blanks are trimmed from what is shown.
    EXPECT_EQ(rows[0].title, "Hello");
    EXPECT_EQ(rows[0].name, "My Song.mp3");
    EXPECT_EQ(rows[0].address, "127.0.0.2");

    Result open = Search({"--title", "hello*"});
    EXPECT_EQ(Sorted(Names(FinalRows(open.output))),
              Sorted({"My Song.mp3@127.0.0.2", "Songbook.mp3@127.0.0.4"}))
        << open.output;

    Result artist = Search({"--artist", "THE BAND"});
    ASSERT_EQ(artist.code, 0) << artist.output;
    rows = FinalRows(artist.output);
    // The untagged file is never a match in a tag mode.
    EXPECT_EQ(Sorted(Names(rows)), Sorted({"My Song.mp3@127.0.0.2", "song.mp3@127.0.0.3"}))
        << artist.output;
    for (const Row& row : rows)
        EXPECT_TRUE(row.title == "The Band" || row.title == "the band") << row.title;

    Result both = Search({"--title", "--artist", "x"});
    EXPECT_EQ(both.code, 2);
}

TEST_F(ThreeServers, AnEmptyQueryIsSentAndAnsweredByNobody) {
    Result empty = Search({""});
    ASSERT_EQ(empty.code, 0) << empty.output;
    EXPECT_TRUE(FinalRows(empty.output).empty()) << empty.output;
    EXPECT_TRUE(Contains(empty.output, "0 results")) << empty.output;
    // Each server got it and looked, and found nothing to answer.
    for (auto* serve : {&m_serveA, &m_serveB, &m_serveC})
        EXPECT_TRUE(Contains((*serve)->Output(), "SearchServer: Returning query results"))
            << (*serve)->Output();
}

TEST_F(ThreeServers, ARowIsDownloadedWhole) {
    const fs::path folder = m_downloads.Path();
    Result got = Search({"--get", "1", folder.string(), "--transfer-port",
                         std::to_string(m_b.TransferPort()), "song.mp3"});
    ASSERT_EQ(got.code, 0) << got.output;
    EXPECT_EQ(ReadFile(folder / "song.mp3"), m_bSong);
    EXPECT_TRUE(Contains(m_serveB->Output(), "TransferServer: ")) << m_serveB->Output();
    // Nothing but the file is left behind.
    int files = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder))
        ++files;
    EXPECT_EQ(files, 1);

    // Without DEST the word after the row is the query, and the file goes to
    // the settings' download folder, the home folder by default.
    Result home =
        Search({"--get", "1", "--transfer-port", std::to_string(m_b.TransferPort()), "song.mp3"});
    ASSERT_EQ(home.code, 0) << home.output;
    EXPECT_EQ(ReadFile(m_searcher.Home() / "song.mp3"), m_bSong);

    Result missing = Search({"--get", "9", folder.string(), "song.mp3"});
    EXPECT_EQ(missing.code, 1);
    EXPECT_TRUE(Contains(missing.output, "there is no row 9")) << missing.output;
}

TEST_F(ThreeServers, FriendsAndAnonymousAcquaintancesThroughThePresenceService) {
    m_presence.SetRegistered(true);
    // No --to: the friend is the first user, the acquaintances the third and
    // an offline one; the second is nobody's.
    Result found = Search({"*.mp3"}, false);
    ASSERT_EQ(found.code, 0) << found.output;
    EXPECT_EQ(Sorted(Names(FinalRows(found.output))),
              Sorted({"My Song.mp3@127.0.0.2", "Songbook.mp3@127.0.0.4"}))
        << found.output;
    EXPECT_TRUE(Contains(found.output, "RaskSearch: Sending to friend 127.0.0.2")) << found.output;
    EXPECT_TRUE(Contains(found.output, "RaskSearch: Sending to anonymous user 0.0.0.0"))
        << found.output;
    // The list is sized first with a refresh, then fetched without one.
    std::vector<int> refreshes;
    for (const BridgeRecord& request : m_presence.Requests())
        if (request.Code() == kCmdGetAnonAcquaintances) {
            EXPECT_EQ(request.I32At(4), 155);
            refreshes.push_back(request.I32At(8));
        }
    EXPECT_EQ(refreshes, (std::vector<int>{1, 0}));

    m_presence.SetRegistered(false);
    Result refused = Search({"*.mp3"}, false);
    EXPECT_EQ(refused.code, 1);
    EXPECT_TRUE(Contains(refused.output, "Halvara is not initialized")) << refused.output;
}

} // namespace

namespace {

// The first serving user's presence service: the user is alice@example.com,
// id 7 at the first user's address, with one friend online at the second
// user's address and no anonymous acquaintances.
class ServerPresence {
public:
    ServerPresence(const User& user, std::string friendAddress, const User& restoreTo)
        : m_ownAddress(user.Address())
        , m_friendAddress(std::move(friendAddress))
        , m_restoreTo(restoreTo.Runtime()) {
        setenv("XDG_RUNTIME_DIR", user.Runtime().c_str(), 1);
        m_service = std::make_unique<FakeService>(
            [this](const BridgeRecord& request) { return Answer(request); });
    }
    // The fake finds its own session again on the way out, then the searcher's
    // fake gets its session back for its own end.
    ~ServerPresence() {
        m_service.reset();
        setenv("XDG_RUNTIME_DIR", m_restoreTo.c_str(), 1);
    }

private:
    std::vector<BridgeRecord> Answer(const BridgeRecord& request) const {
        const int first = request.I32At(4);
        switch (request.Code()) {
        case kCmdGetMyID:
            return {FakeService::Reply(request, 7)};
        case kCmdGetFriend:
            return {FriendReply(request, {7, 42})};
        case kCmdGetIP:
            return {AddressReply(request, first == 7 ? m_ownAddress : m_friendAddress)};
        case kCmdGetProfile:
            return {
                ProfileReply(request, "", first == 7 ? "alice@example.com" : "bob@example.com")};
        case kCmdGetAnonAcquaintances:
            return {FakeService::Reply(request, 1, 0)};
        default:
            return {FakeService::Reply(request, 1)};
        }
    }

    const std::string m_ownAddress;
    const std::string m_friendAddress;
    const fs::path m_restoreTo;
    std::unique_ptr<FakeService> m_service;
};

TEST_F(ThreeServers, AServerForwardsToItsFriendsAndNamesItsUser) {
    // The first user's serve is still waiting for a presence service; it
    // finds this one and from then on forwards.
    ServerPresence presence(m_a, m_b.Address(), m_searcher);
    ASSERT_TRUE(testsupport::WaitFor(
        [&] { return Contains(m_serveA->Output(), "presence service answered"); }, 15s))
        << m_serveA->Output();

    Result found = m_searcher.Run({"search", "--seconds", "2", "--search-port",
                                   std::to_string(m_searchPort), "--result-port",
                                   std::to_string(m_resultPort), "--to", m_a.Address(), "*.mp3"},
                                  {{"HALVSERVE_PATH", "/bin/true"}});
    ASSERT_EQ(found.code, 0) << found.output;
    const auto rows = FinalRows(found.output);
    // The second user's files came through the first, the third's not at all.
    EXPECT_EQ(Sorted(Names(rows)), Sorted({"My Song.mp3@127.0.0.2", "song.mp3@127.0.0.3",
                                           "untagged-song.mp3@127.0.0.3"}))
        << found.output;
    for (const Row& row : rows)
        EXPECT_EQ(row.host, row.address == "127.0.0.2" ? "alice@example.com" : "(Unknown)");
    EXPECT_TRUE(Contains(m_serveA->Output(), "SearchServer: Friend: 127.0.0.3"))
        << m_serveA->Output();
    // Nobody forwards without a presence service.
    EXPECT_FALSE(Contains(m_serveB->Output(), "SearchServer: Forwarding request"))
        << m_serveB->Output();
}

} // namespace
