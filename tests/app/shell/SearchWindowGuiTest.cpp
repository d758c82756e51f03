// The "RaskSearch" window driven through its buttons: a search through a chain
// of real users (halvdir, halvserve and drovick-peer serve each) and a result
// downloaded with a double click; "&Stop" while the search waits on a friend
// who never answers; and replies that lie or carry control characters.

#include "ShellGuiTestSupport.h"
#include "app/files/DrovickSettings.h"
#include "app/files/LogEvent.h"
#include "app/peer/PresenceDirectory.h"
#include "app/shell/copy/HeadlessTransferAgent.h"
#include "app/shell/search/SearchCommand.h"
#include "app/shell/search/SearchResultsModel.h"
#include "app/shell/search/SearchWindow.h"
#include "support/RecordedLog.h"
#include "support/TestSupport.h"
#include "tools/SearchNetwork.h"

#include <QAction>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTreeView>
#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

class FakePresence : public PresenceDirectory {
public:
    std::string myAddress = "127.0.0.1";
    std::vector<std::string> friends;

    bool IsInitialized() override { return true; }
    std::string MyAddress() override { return myAddress; }
    std::string MyName() override { return "me@example.org"; }
    std::vector<std::string> FriendAddresses() override { return friends; }
    std::optional<std::vector<std::string>> AnonymousAddresses(bool) override {
        return std::vector<std::string>{};
    }
};

QPushButton* Button(SearchWindow& window, const char* name) {
    return window.findChild<QPushButton*>(QString::fromLatin1(name));
}

bool Idle(SearchWindow& window) {
    return Button(window, "findNow")->isEnabled() && !Button(window, "stop")->isEnabled() &&
           !Button(window, "newSearch")->isEnabled();
}

QString Shown(const SearchResultsModel& model, int row, int column) {
    return model.data(model.index(row, column), Qt::DisplayRole).toString();
}

NetworkSearch::Options Listening(const std::string& address, int serverPort, int resultPort) {
    NetworkSearch::Options options;
    options.listenAddress = address;
    options.serverPort = serverPort;
    options.resultPort = resultPort;
    return options;
}

class SearchWindowGuiTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { shelltest::Application(); }
};

TEST_F(SearchWindowGuiTest, AChainOfFriendsAnswersSortedAndADoubleClickDownloadsTheFile) {
    using namespace searchnetwork;
    SearchNetwork network;
    std::string why;
    ASSERT_TRUE(network.Start(why)) << why;

    // The window is Ada's: her only friend is Bo, who forwards to Cy, who
    // forwards to Di.
    FakePresence ada;
    ada.myAddress = network.User(kAda).Address();
    ada.friends = {network.User(kBo).Address()};
    LogEvent log;
    testsupport::RecordedLog lines;
    log.Register(&lines);
    testsupport::TempDir downloads;
    DrovickSettings settings;
    settings.downloadDirectory = downloads.Path().string();
    settings.searchBasedOn = 2;
    settings.searchColumnWidths = {170, 140, 120, 190, 100};
    TransferDownloadOptions transferOptions;
    transferOptions.port = network.TransferPort();
    HeadlessTransferAgent agent(nullptr, transferOptions);
    SearchWindow window({&ada, &log, &settings, &agent},
                        Listening(ada.myAddress, network.SearchPort(), network.ResultPort()));
    window.show();
    auto* results = window.findChild<QTreeView*>(QStringLiteral("results"));
    EXPECT_TRUE(window.findChild<QRadioButton*>(QStringLiteral("modeArtist"))->isChecked());
    EXPECT_EQ(results->columnWidth(3), 190);
    EXPECT_TRUE(Idle(window));

    window.findChild<QRadioButton*>(QStringLiteral("modeName"))->setChecked(true);
    window.findChild<QLineEdit*>(QStringLiteral("searchText"))->setText(QStringLiteral("*song*"));
    QTest::mouseClick(Button(window, "findNow"), Qt::LeftButton);
    EXPECT_FALSE(Button(window, "findNow")->isEnabled());
    EXPECT_TRUE(Button(window, "stop")->isEnabled());
    EXPECT_EQ(settings.searchBasedOn, 0);
    EXPECT_EQ(settings.lastSearchText, "*song*");

    // Bo's, Cy's and Di's songs; Ada's own is not on any path back to her.
    const SearchResultsModel& model = window.Model();
    ASSERT_TRUE(shelltest::ProcessUntil([&] { return model.rowCount() == 4; }, 60s))
        << model.rowCount() << " rows";
    QStringList titles, hosts;
    for (int row = 0; row < model.rowCount(); ++row) {
        titles << Shown(model, row, 0);
        hosts << Shown(model, row, 2);
    }
    EXPECT_EQ(titles,
              (QStringList{"song-two.mp3", "Deep Song.mp3", "Blue Song.mp3", "bare-song.mp3"}));
    EXPECT_EQ(hosts, (QStringList{"cy@example.org", "di@example.org", "bo@example.org",
                                  "di@example.org"}));
    EXPECT_EQ(Shown(model, 1, 3), QString::fromStdString(network.Share(kDi).string()));
    EXPECT_EQ(Shown(model, 1, 4), QString::fromStdString(network.User(kDi).Address()));
    EXPECT_EQ(lines.Count("RaskSearch: Sending request to friends"), 1);
    EXPECT_EQ(lines.Count("RaskSearch: Sending to friend " + ada.friends[0]), 1);
    EXPECT_EQ(lines.Count("RaskSearch: Sending request to anonymous users"), 1);
    EXPECT_EQ(lines.Count("RaskSearch: Received response"), 3);
    shelltest::Screenshot(window, QStringLiteral("search-window"));

    // A double click on Di's song while the search still listens.
    const QRect deep = results->visualRect(model.index(1, 1));
    QTest::mouseClick(results->viewport(), Qt::LeftButton, {}, deep.center());
    QTest::mouseDClick(results->viewport(), Qt::LeftButton, {}, deep.center());
    const auto target = downloads.Path() / "Deep Song.mp3";
    ASSERT_TRUE(shelltest::ProcessUntil(
        [&] { return !agent.IsOpen() && std::filesystem::exists(target); }, 30s));
    EXPECT_EQ(ReadFile(target), network.DeepSong());

    // A click on the "Host" header sorts by it, a second one turns the order.
    QHeaderView* header = results->header();
    const QPoint hostHeader(header->sectionViewportPosition(2) + 10, header->height() / 2);
    for (int click = 0; click < 2; ++click) {
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, hostHeader);
        ASSERT_EQ(header->sortIndicatorSection(), 2);
        QStringList sortedHosts;
        for (int row = 0; row < model.rowCount(); ++row)
            sortedHosts << Shown(model, row, 2);
        QStringList expected = hosts;
        std::sort(expected.begin(), expected.end());
        if (header->sortIndicatorOrder() == Qt::DescendingOrder)
            std::reverse(expected.begin(), expected.end());
        EXPECT_EQ(sortedHosts, expected) << click;
    }

    QTest::mouseClick(Button(window, "newSearch"), Qt::LeftButton);
    ASSERT_TRUE(shelltest::ProcessUntil([&] { return Idle(window) && model.rowCount() == 0; }));
    results->setColumnWidth(0, 260);
    window.close();
    EXPECT_EQ(settings.searchColumnWidths[0], 260);
}

// A listener whose accept queue is full: the kernel drops further connection
// attempts, so a connect to it waits until its limit.
class SilentComputer {
public:
    SilentComputer(const std::string& address, int port)
        : m_listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_port = htons(static_cast<std::uint16_t>(port));
        inet_pton(AF_INET, address.c_str(), &where.sin_addr);
        bind(m_listener, reinterpret_cast<sockaddr*>(&where), sizeof where);
        listen(m_listener, 0);
        for (int i = 0; i < 4; ++i) {
            const int filler = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            connect(filler, reinterpret_cast<sockaddr*>(&where), sizeof where);
            m_fillers.push_back(filler);
        }
    }
    ~SilentComputer() {
        for (int fd : m_fillers)
            close(fd);
        close(m_listener);
    }

private:
    int m_listener;
    std::vector<int> m_fillers;
};

TEST_F(SearchWindowGuiTest, StopEndsASearchWaitingOnSilentFriendsWithinOneLimit) {
    const int serverPort = testsupport::FreeTcpPort("127.0.0.9");
    SilentComputer silent("127.0.0.9", serverPort);
    FakePresence presence;
    // Three friends at the silent computer: without the run flag reaching the
    // connects, they alone would hold the search for three limits.
    presence.friends = {"127.0.0.9", "127.0.0.9", "127.0.0.9"};
    LogEvent log;
    testsupport::RecordedLog lines;
    log.Register(&lines);
    DrovickSettings settings;
    SearchWindow window({&presence, &log, &settings, nullptr},
                        Listening("127.0.0.1", serverPort, 0));
    window.show();
    QTest::mouseClick(Button(window, "findNow"), Qt::LeftButton);
    ASSERT_TRUE(shelltest::ProcessUntil(
        [&] { return lines.Count("RaskSearch: Sending to friend 127.0.0.9") == 1; }));
    shelltest::ProcessUntil([] { return false; }, 1500ms);
    // Still trying the first friend: the computer is silent indeed.
    ASSERT_EQ(lines.Count("RaskSearch: Sending to friend 127.0.0.9"), 1);
    ASSERT_TRUE(window.Search().IsActive());

    QElapsedTimer clock;
    clock.start();
    QTest::mouseClick(Button(window, "stop"), Qt::LeftButton);
    ASSERT_TRUE(shelltest::ProcessUntil([&] { return Idle(window); }, 20s));
    EXPECT_LT(clock.elapsed(), kPeerCallLimit.count());
    EXPECT_FALSE(window.Search().IsActive());
    EXPECT_EQ(lines.Count("RaskSearch: Sending request to anonymous users"), 0);
}

// The 204-byte header and both tables of a reply, made by hand with no
// terminators unless the texts bring them.
std::string ReplyBytes(std::int32_t count, const std::string& responder,
                       const std::vector<std::string>& paths,
                       const std::vector<std::string>& titles) {
    std::string bytes(204, '\0');
    searchnetwork::PutI32(bytes, 0, count);
    bytes.replace(4, std::min<std::size_t>(responder.size(), 200), responder.substr(0, 200));
    for (const auto* table : {&paths, &titles})
        for (const std::string& entry : *table) {
            std::string field(261, '\0');
            field.replace(0, std::min<std::size_t>(entry.size(), 261), entry.substr(0, 261));
            bytes += field;
        }
    return bytes;
}

bool SendReply(int port, const std::string& bytes) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &where.sin_addr);
    bool sent = connect(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0;
    // The window may close a lying connection early: what it did not read is lost.
    for (std::size_t done = 0; sent && done < bytes.size();) {
        const ssize_t put = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (put <= 0)
            break;
        done += static_cast<std::size_t>(put);
    }
    close(fd);
    return sent;
}

TEST_F(SearchWindowGuiTest, LyingAndUnterminatedRepliesAreDroppedOrShownSafely) {
    const int resultPort = testsupport::FreeTcpPort("127.0.0.1");
    FakePresence presence;
    LogEvent log;
    testsupport::RecordedLog lines;
    log.Register(&lines);
    DrovickSettings settings;
    SearchWindow window({&presence, &log, &settings, nullptr},
                        Listening("127.0.0.1", 1, resultPort));
    window.show();
    QTest::mouseClick(Button(window, "findNow"), Qt::LeftButton);
    ASSERT_TRUE(shelltest::ProcessUntil([&] { return window.Search().RequestSent(); }));

    const std::string one(261, 'x');
    // More than any server sends; none at all; fewer entries than announced.
    ASSERT_TRUE(SendReply(resultPort, ReplyBytes(kSearchReplyResultLimit + 1, "liar",
                                                 std::vector<std::string>(8, one),
                                                 std::vector<std::string>(8, one))));
    ASSERT_TRUE(SendReply(resultPort, ReplyBytes(0, "nobody", {}, {})));
    ASSERT_TRUE(SendReply(resultPort, ReplyBytes(3, "short", {"/a/b"}, {"b"})));
    // Texts that fill their fields without a terminator, and ones that carry
    // line breaks and a terminal escape.
    const std::string longName = "/music/" + std::string(254, 'n');
    ASSERT_TRUE(SendReply(
        resultPort, ReplyBytes(2, std::string(200, 'R'), {longName, "/music/evil\nname\x1b[2J.mp3"},
                               {std::string(261, 'T'), "first line\r\nsecond\x1b[31m"})));
    const SearchResultsModel& model = window.Model();
    ASSERT_TRUE(shelltest::ProcessUntil([&] { return model.rowCount() == 2; }));
    EXPECT_EQ(lines.Count("RaskSearch: Received response"), 4);
    for (int row = 0; row < 2; ++row)
        for (int column = 0; column < SearchResultsModel::kColumns; ++column) {
            const QString text = Shown(model, row, column);
            EXPECT_LE(text.size(), 261) << row << "," << column;
            for (QChar c : text)
                EXPECT_FALSE(c.unicode() < 0x20 || c.unicode() == 0x7f)
                    << "row " << row << " column " << column << ": " << text.toStdString();
        }
    // A field without its terminator ends at the field's end.
    EXPECT_EQ(Shown(model, 0, 2), QString(200, QLatin1Char('R')));
    EXPECT_EQ(Shown(model, 0, 0), QString(261, QLatin1Char('T')));
    EXPECT_EQ(Shown(model, 1, 0), QStringLiteral("first line??second?[31m"));
    EXPECT_EQ(Shown(model, 1, 1), QStringLiteral("evil?name?[2J.mp3"));
    // The window still answers and stops.
    QTest::mouseClick(Button(window, "stop"), Qt::LeftButton);
    EXPECT_TRUE(shelltest::ProcessUntil([&] { return Idle(window); }));
}

TEST_F(SearchWindowGuiTest, TheCommandOpensOneWindowWithTheStoredModeAndText) {
    FakePresence presence;
    DrovickSettings settings;
    settings.lastSearchText = "stored text";
    settings.searchBasedOn = 1;
    QWidget owner;
    QAction command(QStringLiteral("RaskSearch..."));
    command.setEnabled(false);
    ConnectSearchCommand(command, &owner, {&presence, nullptr, &settings, nullptr});
    EXPECT_TRUE(command.isEnabled());
    command.trigger();
    command.trigger();
    const auto windows = owner.findChildren<SearchWindow*>();
    ASSERT_EQ(windows.size(), 1);
    SearchWindow* window = windows.first();
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->findChild<QLineEdit*>(QStringLiteral("searchText"))->text(),
              QStringLiteral("stored text"));
    EXPECT_TRUE(window->findChild<QRadioButton*>(QStringLiteral("modeTitle"))->isChecked());
    window->close();
    EXPECT_TRUE(
        shelltest::ProcessUntil([&] { return owner.findChildren<SearchWindow*>().isEmpty(); }));
    command.trigger();
    EXPECT_EQ(owner.findChildren<SearchWindow*>().size(), 1);
}

} // namespace
