// Four users of one machine with the real directory, presence services and
// `drovick-peer serve`: Ada has Bo among her friends, Bo has Cy, Cy has Di,
// all made with `halvara add`. A search from Ada travels along those
// friendships; the servers drop repeated and over-travelled requests; messages
// go to a friend by e-mail address and to a computer by address.

#include "SearchNetwork.h"

namespace {

using namespace searchnetwork;

// One network for every test of the program: starting four users with their
// services and servers is what takes the time.
class FourUsers : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_network = new SearchNetwork;
        s_ready = s_network->Start(s_why);
    }
    static void TearDownTestSuite() {
        delete s_network;
        s_network = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(s_ready) << s_why; }

    SearchNetwork& Net() { return *s_network; }
    PresenceUser& User(std::size_t index) { return s_network->User(index); }

    static SearchNetwork* s_network;
    static bool s_ready;
    static std::string s_why;
};

SearchNetwork* FourUsers::s_network = nullptr;
bool FourUsers::s_ready = false;
std::string FourUsers::s_why;

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
