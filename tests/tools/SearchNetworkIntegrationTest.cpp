// The search chain and its modes, end to end with the real programs. One
// program, and each network starts once for all of its cases:
// - four users of one machine with the real directory, presence services and
//   `drovick-peer serve`: Ada has Bo among her friends, Bo has Cy, Cy has Di,
//   all made with `halvara add`. A search from Ada travels along those
//   friendships; the servers drop repeated and over-travelled requests;
//   messages go to a friend by e-mail address and to a computer by address.
// - three users serving with no presence service, and a fourth who searches
//   them by address with a scripted presence service: what `drovick-peer
//   search` finds and shows in each mode, a download, the friends and
//   acquaintances the presence service names, and a server that finds its
//   presence service late and from then on forwards and names its user.

#include "DrovickPeerUsers.h"
#include "FakeService.h"
#include "SearchNetwork.h"

#include <set>

namespace {

using namespace searchnetwork;

// One network for every case of a suite: starting the users with their
// services and servers is what takes the time. A case fails at once when the
// network could not start.
template <typename Network>
class StartedOnce : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_network = new Network;
        s_ready = s_network->Start(s_why);
    }
    static void TearDownTestSuite() {
        delete s_network;
        s_network = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(s_ready) << s_why; }

    Network& Net() { return *s_network; }

    static inline Network* s_network = nullptr;
    static inline bool s_ready = false;
    static inline std::string s_why;
};

class FourUsers : public StartedOnce<SearchNetwork> {
protected:
    PresenceUser& User(std::size_t index) { return Net().User(index); }
};

TEST_F(FourUsers, ASearchTravelsAlongTheFriendshipsAndNamesEachHost) {
    Outcome found = Net().Search({"*song*"});
    ASSERT_EQ(found.code, 0) << found.err;
    const auto rows = FinalRows(found.out);
    EXPECT_EQ(Found(rows), Sorted({"Blue Song.mp3@127.0.0.3", "song-two.mp3@127.0.0.4",
                                   "Deep Song.mp3@127.0.0.5", "bare-song.mp3@127.0.0.5"}))
        << found.out << found.err;
    for (const Row& row : rows) {
        const std::size_t owner = row.address == "127.0.0.3"   ? kBo
                                  : row.address == "127.0.0.4" ? kCy
                                                               : kDi;
        EXPECT_EQ(row.host, User(owner).EMail()) << row.name;
        EXPECT_EQ(row.title, row.name);
        if (row.name == "song-two.mp3") {
            EXPECT_EQ(row.location, (Net().Share(kCy) / "sub").string());
        }
    }
    // Ada asked her friend Bo only; Bo forwarded to Cy, Cy to Di, Di to nobody.
    EXPECT_TRUE(Contains(Net().Serve(kBo).Output(), "SearchServer: Friend: 127.0.0.4"))
        << Net().Serve(kBo).Output();
    EXPECT_TRUE(Contains(Net().Serve(kCy).Output(), "SearchServer: Friend: 127.0.0.5"))
        << Net().Serve(kCy).Output();
    EXPECT_FALSE(Contains(Net().Serve(kDi).Output(), "SearchServer: Friend: "))
        << Net().Serve(kDi).Output();
    EXPECT_FALSE(Contains(Net().Serve(kAda).Output(), "SearchServer: Got a search request"))
        << Net().Serve(kAda).Output();

    // An unstarred name must match whole.
    Outcome whole = Net().Search({"blue song.mp3"});
    EXPECT_EQ(Found(FinalRows(whole.out)), std::vector<std::string>{"Blue Song.mp3@127.0.0.3"})
        << whole.out;
}

TEST_F(FourUsers, TitleAndArtistModesReadTheTags) {
    Outcome title = Net().Search({"--title", "morning*"});
    ASSERT_EQ(title.code, 0) << title.err;
    auto rows = FinalRows(title.out);
    EXPECT_EQ(Found(rows), Sorted({"Blue Song.mp3@127.0.0.3", "Deep Song.mp3@127.0.0.5"}))
        << title.out;
    for (const Row& row : rows)
        // The tag's blanks are not part of what matched.
        EXPECT_EQ(row.title, row.name == "Deep Song.mp3" ? "Morning Dew" : "Morning Light");

    Outcome artist = Net().Search({"--artist", "THE WALKERS"});
    ASSERT_EQ(artist.code, 0) << artist.err;
    rows = FinalRows(artist.out);
    EXPECT_EQ(Found(rows), Sorted({"Blue Song.mp3@127.0.0.3", "Deep Song.mp3@127.0.0.5"}))
        << artist.out;
    for (const Row& row : rows)
        EXPECT_EQ(row.title, row.name == "Deep Song.mp3" ? "the walkers" : "The Walkers");

    // A file name that matches is no title.
    Outcome byName = Net().Search({"--title", "*song*"});
    EXPECT_EQ(Found(FinalRows(byName.out)), std::vector<std::string>{"song-two.mp3@127.0.0.4"})
        << byName.out;
}

TEST_F(FourUsers, AnEmptyQueryIsLookedAtAndAnsweredByNobody) {
    std::vector<std::size_t> before;
    for (std::size_t i : {kBo, kCy, kDi})
        before.push_back(
            Occurrences(Net().Serve(i).Output(), "SearchServer: Returning query results"));
    Outcome empty = Net().Search({""});
    ASSERT_EQ(empty.code, 0) << empty.err;
    EXPECT_TRUE(FinalRows(empty.out).empty()) << empty.out;
    std::size_t index = 0;
    for (std::size_t i : {kBo, kCy, kDi}) {
        EXPECT_EQ(Occurrences(Net().Serve(i).Output(), "SearchServer: Returning query results"),
                  before[index] + 1)
            << Net().Serve(i).Output();
        ++index;
    }
}

TEST_F(FourUsers, ARowIsDownloadedByteForByte) {
    testsupport::TempDir downloads;
    Outcome got = Net().Search({"--get", "1", downloads.Path().string(), "deep song.mp3"});
    ASSERT_EQ(got.code, 0) << got.out << got.err;
    EXPECT_EQ(ReadFile(downloads.Path() / "Deep Song.mp3"), Net().DeepSong());
    std::size_t files = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(downloads.Path()))
        ++files;
    EXPECT_EQ(files, 1u);
}

TEST_F(FourUsers, ARepeatedRequestIsAnsweredOnceAndSixHopsAreTooMany) {
    ResultCatcher catcher(Net().ResultPort());
    ASSERT_TRUE(catcher.Listening());
    const std::string bo = User(kBo).Address();
    const auto stamp = static_cast<std::int32_t>(std::time(nullptr));

    // The same request twice: each server answers the first only.
    const std::string request = SearchRequestBytes(0, 0, stamp, "*song*");
    ASSERT_TRUE(SendRaw(bo, Net().SearchPort(), request));
    ASSERT_TRUE(SendRaw(bo, Net().SearchPort(), request));
    EXPECT_TRUE(Eventually([&] { return catcher.Replies().size() >= 3; }, 15s));
    std::this_thread::sleep_for(2s);
    EXPECT_EQ(catcher.Replies().size(), 3u);
    for (std::size_t i : {kBo, kCy, kDi})
        EXPECT_EQ(catcher.FromResponder(User(i).EMail()), 1u) << User(i).EMail();
    for (const Reply& reply : catcher.Replies())
        EXPECT_EQ(reply.count, reply.responder == User(kDi).EMail() ? 2 : 1);

    // A request that has travelled six hops is dropped after parsing.
    const std::string boBefore = Net().Serve(kBo).Output();
    ASSERT_TRUE(SendRaw(bo, Net().SearchPort(), SearchRequestBytes(0, 6, stamp + 1, "*song*")));
    EXPECT_TRUE(testsupport::WaitFor(
        [&] {
            return Occurrences(Net().Serve(kBo).Output(), "SearchServer: Parsed request") >
                   Occurrences(boBefore, "SearchServer: Parsed request");
        },
        10s));
    std::this_thread::sleep_for(2s);
    EXPECT_EQ(catcher.Replies().size(), 3u);
    EXPECT_EQ(Occurrences(Net().Serve(kBo).Output(), "SearchServer: Request is valid"),
              Occurrences(boBefore, "SearchServer: Request is valid"));

    // Five hops are served, and forwarded as six, which Cy drops.
    const std::string cyBefore = Net().Serve(kCy).Output();
    ASSERT_TRUE(SendRaw(bo, Net().SearchPort(), SearchRequestBytes(0, 5, stamp + 2, "*song*")));
    EXPECT_TRUE(Eventually([&] { return catcher.Replies().size() >= 4; }, 15s));
    std::this_thread::sleep_for(2s);
    EXPECT_EQ(catcher.Replies().size(), 4u);
    EXPECT_EQ(catcher.FromResponder(User(kBo).EMail()), 2u);
    EXPECT_GT(Occurrences(Net().Serve(kCy).Output(), "SearchServer: Parsed request"),
              Occurrences(cyBefore, "SearchServer: Parsed request"));
    EXPECT_EQ(Occurrences(Net().Serve(kCy).Output(), "SearchServer: Request is valid"),
              Occurrences(cyBefore, "SearchServer: Request is valid"))
        << Net().Serve(kCy).Output();
}

TEST_F(FourUsers, MessagesByEMailAndByAddressWithTheirEcho) {
    const std::string port = std::to_string(Net().MessengerPort());
    Outcome byMail = Net().Peer(kAda, {"send", User(kBo).EMail(), "Hello Bo", "--port", port});
    ASSERT_EQ(byMail.code, 0) << byMail.err;
    EXPECT_EQ(byMail.out, "To " + User(kBo).EMail() + ": Hello Bo\n");
    const std::string shown = "message from Ada Lind (127.0.0.2): ";
    EXPECT_TRUE(testsupport::WaitFor(
        [&] { return Contains(Net().Serve(kBo).Output(), shown + "Hello Bo\n"); }, 10s))
        << Net().Serve(kBo).Output();

    Outcome byAddress =
        Net().Peer(kAda, {"send", User(kBo).Address(), "By address", "--port", port});
    ASSERT_EQ(byAddress.code, 0) << byAddress.err;
    EXPECT_EQ(byAddress.out, "To 127.0.0.3: By address\n");
    EXPECT_TRUE(testsupport::WaitFor(
        [&] { return Contains(Net().Serve(kBo).Output(), shown + "By address\n"); }, 10s))
        << Net().Serve(kBo).Output();

    // Cy is not Ada's friend, so her address cannot be found by e-mail.
    Outcome notFriend = Net().Peer(kAda, {"send", User(kCy).EMail(), "Hi Cy", "--port", port});
    EXPECT_EQ(notFriend.code, 1);
    EXPECT_FALSE(Contains(Net().Serve(kCy).Output(), "Hi Cy"));

    // One byte short is dropped; the whole packet is shown.
    std::string shortPacket = MessageBytes("Mallory", "short packet");
    shortPacket.pop_back();
    ASSERT_TRUE(SendRaw(User(kBo).Address(), Net().MessengerPort(), shortPacket));
    ASSERT_TRUE(SendRaw(User(kBo).Address(), Net().MessengerPort(),
                        MessageBytes("Mallory", "whole packet")));
    EXPECT_TRUE(testsupport::WaitFor(
        [&] {
            return Contains(Net().Serve(kBo).Output(),
                            "message from Mallory (127.0.0.6): whole packet\n");
        },
        10s))
        << Net().Serve(kBo).Output();
    EXPECT_FALSE(Contains(Net().Serve(kBo).Output(), "short packet"));
}

} // namespace

namespace {

using namespace searchnetwork;
using drovickpeertest::AddressReply;
using drovickpeertest::FriendReply;
using drovickpeertest::ProfileReply;
using drovickpeertest::Result;
using ServingUser = drovickpeertest::User;

// The searching user's presence service: the user is id 7 at its own address,
// friend 42 is online at the friend's address, and the anonymous
// acquaintances of Drovick are the given addresses. Unregistered, the
// library gives up at once, so a search goes to the --to computers only.
class SearcherPresence {
public:
    SearcherPresence(const ServingUser& user, std::string friendAddress, std::string anonymous)
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

// The three serving users with their shares and programs, and the searcher.
class ThreeServerNetwork {
public:
    bool Start(std::string& why) {
        // One set of search ports for everybody, as on the Internet; each
        // listens on every address, so none may be a port a user's own
        // servers were given (a free port is only free until somebody binds it).
        std::set<int> taken;
        for (const ServingUser* user : {&a, &b, &c, &searcher})
            taken.insert({user->NfsPort(), user->TransferPort()});
        auto sharedPort = [&](const ServingUser& user) {
            int port = testsupport::FreeTcpPort(user.Address());
            while (taken.contains(port))
                port = testsupport::FreeTcpPort(user.Address());
            taken.insert(port);
            return port;
        };
        searchPort = sharedPort(a);
        resultPort = sharedPort(searcher);
        messengerPort = sharedPort(a);

        const fs::path root = fs::canonical(m_files.Path());
        shareA = root / "a" / "music";
        shareB = root / "b";
        shareC = root / "c";
        fs::create_directories(shareA / "songs");
        fs::create_directories(shareB);
        fs::create_directories(shareC / "deep");
        WriteFile(shareA / "songs" / "My Song.mp3", Mp3("  Hello  ", "The Band", 1));
        WriteFile(shareA / "notes.txt", "no song here");
        bSong = Mp3("Goodbye", "the band", 2);
        WriteFile(shareB / "song.mp3", bSong);
        WriteFile(shareB / "untagged-song.mp3", Mp3("", "", 3));
        WriteFile(shareC / "deep" / "Songbook.mp3", Mp3("Hello Again", "Someone", 4));

        // The first user's serve waits for a presence service as long as the
        // suite runs: the last case gives it one.
        serveA = StartServing(a, shareA, {{"HALVARA_BRIDGE_START_LIMIT_MS", "600000"}});
        serveB = StartServing(b, shareB);
        serveC = StartServing(c, shareC);
        for (ChildProcess* serve : {serveA.get(), serveB.get(), serveC.get()}) {
            if (!serve)
                return Fail(why, "share failed");
            const bool up = testsupport::WaitFor(
                [&] {
                    const std::string output = serve->Output();
                    return Contains(output, "SearchServer listening on") &&
                           Contains(output, "InstantMessageServer listening on");
                },
                15s);
            if (!up)
                return Fail(why, serve->Output());
        }
        return true;
    }

    // A search by the fourth user; nothing is launched behind the scripted service.
    Result Search(std::vector<std::string> words, bool toEverybody = true) {
        std::vector<std::string> arguments{"search",
                                           "--seconds",
                                           "2",
                                           "--search-port",
                                           std::to_string(searchPort),
                                           "--result-port",
                                           std::to_string(resultPort)};
        if (toEverybody)
            for (const ServingUser* user : {&a, &b, &c})
                arguments.insert(arguments.end(), {"--to", user->Address()});
        arguments.insert(arguments.end(), words.begin(), words.end());
        return searcher.Run(arguments, {{"HALVSERVE_PATH", "/bin/true"}});
    }

    fs::path shareA, shareB, shareC;
    std::string bSong;
    ServingUser a{"127.0.0.2"};
    ServingUser b{"127.0.0.3"};
    ServingUser c{"127.0.0.4"};
    ServingUser searcher{"127.0.0.5"};
    int searchPort = 0;
    int resultPort = 0;
    int messengerPort = 0;
    SearcherPresence presence{searcher, a.Address(), c.Address() + "\n0.0.0.0"};
    std::unique_ptr<ChildProcess> serveA, serveB, serveC;

private:
    static bool Fail(std::string& why, const std::string& reason) {
        why = reason;
        return false;
    }

    std::unique_ptr<ChildProcess>
    StartServing(const ServingUser& user, const fs::path& share,
                 const std::map<std::string, std::string>& extra = {}) {
        if (user.Run({"share", share.string()}).code != 0)
            return nullptr;
        auto environment = user.Environment();
        for (const auto& [name, value] : extra)
            environment[name] = value;
        return std::make_unique<ChildProcess>(
            testsupport::BuildBin("drovick-peer"),
            std::vector<std::string>{"serve", "--nfs-port", std::to_string(user.NfsPort()),
                                     "--transfer-port", std::to_string(user.TransferPort()),
                                     "--search-port", std::to_string(searchPort), "--result-port",
                                     std::to_string(resultPort), "--messenger-port",
                                     std::to_string(messengerPort)},
            environment);
    }

    testsupport::TempDir m_files;
};

// The cases run in their order, the one that gives the first server its
// presence service last.
class ThreeServers : public StartedOnce<ThreeServerNetwork> {};

TEST_F(ThreeServers, FindsMatchesAtEveryServerWithItsAddress) {
    Result found = Net().Search({"*song*"});
    ASSERT_EQ(found.code, 0) << found.output;
    EXPECT_TRUE(Contains(found.output, "searching only the --to computers")) << found.output;
    const auto rows = FinalRows(found.output);
    // Folders match by name as files do; a text file's name is not a song's.
    EXPECT_EQ(Found(rows), Sorted({"songs@127.0.0.2", "My Song.mp3@127.0.0.2", "song.mp3@127.0.0.3",
                                   "untagged-song.mp3@127.0.0.3", "Songbook.mp3@127.0.0.4"}))
        << found.output;
    for (const Row& row : rows) {
        EXPECT_EQ(row.host, "(Unknown)");
        if (row.name == "My Song.mp3") {
            EXPECT_EQ(row.location, (Net().shareA / "songs").string());
            EXPECT_EQ(row.title, "My Song.mp3");
        }
        if (row.name == "Songbook.mp3") {
            EXPECT_EQ(row.location, (Net().shareC / "deep").string());
        }
    }
    // Sorted by title, descending, letter case ignored.
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(rows.front().title, "untagged-song.mp3");
    EXPECT_EQ(rows.back().title, "My Song.mp3");
    // Every row was printed as it arrived, before the final list.
    EXPECT_TRUE(Contains(found.output, "Songbook.mp3\t(Unknown)\t" +
                                           (Net().shareC / "deep").string() + "\t127.0.0.4\n"))
        << found.output;

    // An unstarred query must match the whole name.
    Result exact = Net().Search({"song"});
    EXPECT_TRUE(FinalRows(exact.output).empty()) << exact.output;
}

TEST_F(ThreeServers, TitleAndArtistModesMatchTheTags) {
    Result title = Net().Search({"--title", "hello"});
    ASSERT_EQ(title.code, 0) << title.output;
    auto rows = FinalRows(title.output);
    ASSERT_EQ(rows.size(), 1u) << title.output;
    // The tag's blanks are trimmed from what is shown.
    EXPECT_EQ(rows[0].title, "Hello");
    EXPECT_EQ(rows[0].name, "My Song.mp3");
    EXPECT_EQ(rows[0].address, "127.0.0.2");

    Result open = Net().Search({"--title", "hello*"});
    EXPECT_EQ(Found(FinalRows(open.output)),
              Sorted({"My Song.mp3@127.0.0.2", "Songbook.mp3@127.0.0.4"}))
        << open.output;

    Result artist = Net().Search({"--artist", "THE BAND"});
    ASSERT_EQ(artist.code, 0) << artist.output;
    rows = FinalRows(artist.output);
    // The untagged file is never a match in a tag mode.
    EXPECT_EQ(Found(rows), Sorted({"My Song.mp3@127.0.0.2", "song.mp3@127.0.0.3"}))
        << artist.output;
    for (const Row& row : rows)
        EXPECT_TRUE(row.title == "The Band" || row.title == "the band") << row.title;

    Result both = Net().Search({"--title", "--artist", "x"});
    EXPECT_EQ(both.code, 2);
}

TEST_F(ThreeServers, AnEmptyQueryIsSentAndAnsweredByNobody) {
    const std::string looked = "SearchServer: Returning query results";
    std::vector<std::size_t> before;
    for (ChildProcess* serve : {Net().serveA.get(), Net().serveB.get(), Net().serveC.get()})
        before.push_back(Occurrences(serve->Output(), looked));
    Result empty = Net().Search({""});
    ASSERT_EQ(empty.code, 0) << empty.output;
    EXPECT_TRUE(FinalRows(empty.output).empty()) << empty.output;
    EXPECT_TRUE(Contains(empty.output, "0 results")) << empty.output;
    // Each server got it and looked, and found nothing to answer.
    std::size_t index = 0;
    for (ChildProcess* serve : {Net().serveA.get(), Net().serveB.get(), Net().serveC.get()})
        EXPECT_EQ(Occurrences(serve->Output(), looked), before[index++] + 1) << serve->Output();
}

TEST_F(ThreeServers, ARowIsDownloadedWhole) {
    testsupport::TempDir downloads;
    const fs::path folder = downloads.Path();
    Result got = Net().Search({"--get", "1", folder.string(), "--transfer-port",
                               std::to_string(Net().b.TransferPort()), "song.mp3"});
    ASSERT_EQ(got.code, 0) << got.output;
    EXPECT_EQ(ReadFile(folder / "song.mp3"), Net().bSong);
    EXPECT_TRUE(Contains(Net().serveB->Output(), "TransferServer: ")) << Net().serveB->Output();
    // Nothing but the file is left behind.
    int files = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder))
        ++files;
    EXPECT_EQ(files, 1);

    // Without DEST the word after the row is the query, and the file goes to
    // the settings' download folder, the home folder by default.
    Result home = Net().Search(
        {"--get", "1", "--transfer-port", std::to_string(Net().b.TransferPort()), "song.mp3"});
    ASSERT_EQ(home.code, 0) << home.output;
    EXPECT_EQ(ReadFile(Net().searcher.Home() / "song.mp3"), Net().bSong);

    Result missing = Net().Search({"--get", "9", folder.string(), "song.mp3"});
    EXPECT_EQ(missing.code, 1);
    EXPECT_TRUE(Contains(missing.output, "there is no row 9")) << missing.output;
}

TEST_F(ThreeServers, FriendsAndAnonymousAcquaintancesThroughThePresenceService) {
    const std::size_t asked = Net().presence.Requests().size();
    Net().presence.SetRegistered(true);
    // No --to: the friend is the first user, the acquaintances the third and
    // an offline one; the second is nobody's.
    Result found = Net().Search({"*.mp3"}, false);
    ASSERT_EQ(found.code, 0) << found.output;
    EXPECT_EQ(Found(FinalRows(found.output)),
              Sorted({"My Song.mp3@127.0.0.2", "Songbook.mp3@127.0.0.4"}))
        << found.output;
    EXPECT_TRUE(Contains(found.output, "RaskSearch: Sending to friend 127.0.0.2")) << found.output;
    EXPECT_TRUE(Contains(found.output, "RaskSearch: Sending to anonymous user 0.0.0.0"))
        << found.output;
    // The list is sized first with a refresh, then fetched without one.
    std::vector<int> refreshes;
    const std::vector<BridgeRecord> requests = Net().presence.Requests();
    for (std::size_t i = asked; i < requests.size(); ++i)
        if (const BridgeRecord& request = requests[i]; request.Code() == kCmdGetAnonAcquaintances) {
            EXPECT_EQ(request.I32At(4), 155);
            refreshes.push_back(request.I32At(8));
        }
    EXPECT_EQ(refreshes, (std::vector<int>{1, 0}));

    Net().presence.SetRegistered(false);
    Result refused = Net().Search({"*.mp3"}, false);
    EXPECT_EQ(refused.code, 1);
    EXPECT_TRUE(Contains(refused.output, "Halvara is not initialized")) << refused.output;
}

// The first serving user's presence service: the user is alice@example.com,
// id 7 at the first user's address, with one friend online at the second
// user's address and no anonymous acquaintances.
class ServerPresence {
public:
    ServerPresence(const ServingUser& user, std::string friendAddress, const ServingUser& restoreTo)
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
    ServerPresence presence(Net().a, Net().b.Address(), Net().searcher);
    ASSERT_TRUE(testsupport::WaitFor(
        [&] { return Contains(Net().serveA->Output(), "presence service answered"); }, 15s))
        << Net().serveA->Output();

    Result found = Net().searcher.Run(
        {"search", "--seconds", "2", "--search-port", std::to_string(Net().searchPort),
         "--result-port", std::to_string(Net().resultPort), "--to", Net().a.Address(), "*.mp3"},
        {{"HALVSERVE_PATH", "/bin/true"}});
    ASSERT_EQ(found.code, 0) << found.output;
    const auto rows = FinalRows(found.output);
    // The second user's files came through the first, the third's not at all.
    EXPECT_EQ(Found(rows), Sorted({"My Song.mp3@127.0.0.2", "song.mp3@127.0.0.3",
                                   "untagged-song.mp3@127.0.0.3"}))
        << found.output;
    for (const Row& row : rows)
        EXPECT_EQ(row.host, row.address == "127.0.0.2" ? "alice@example.com" : "(Unknown)");
    EXPECT_TRUE(Contains(Net().serveA->Output(), "SearchServer: Friend: 127.0.0.3"))
        << Net().serveA->Output();
    // Nobody forwards without a presence service.
    EXPECT_FALSE(Contains(Net().serveB->Output(), "SearchServer: Forwarding request"))
        << Net().serveB->Output();
}

} // namespace
