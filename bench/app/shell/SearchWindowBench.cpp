// The search window taking the largest reply a search server sends, 4,096
// results at once, over a real connection to the window's result listener.
// Measured per round:
//   shown   from the first byte sent to the last row in the window's model;
//   stall   the longest lateness of a 5 ms timer on the user-interface thread,
//           i.e. the longest time the window could not answer the user (on a
//           loaded machine this includes time the thread was not scheduled);
//   batch   the longest time the model spent placing one batch of rows, the
//           window's own share of a stall.
// The "second" rounds send one more such reply into a window that already
// shows 4,096 rows, so every row is placed among others. Target: stalls under
// 50 ms. Runs under any Qt platform; QT_QPA_PLATFORM=offscreen needs no display.

#include "app/files/DrovickSettings.h"
#include "app/peer/PresenceDirectory.h"
#include "app/peer/search/SearchReply.h"
#include "app/shell/search/SearchResultsModel.h"
#include "app/shell/search/SearchWindow.h"

#include <QApplication>
#include <QTimer>
#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRounds = 5;
constexpr std::chrono::milliseconds kTick{5};

// Nobody to ask: the bench's replies come by themselves.
class NoFriends : public PresenceDirectory {
public:
    bool IsInitialized() override { return true; }
    std::string MyAddress() override { return "127.0.0.1"; }
    std::string MyName() override { return {}; }
    std::vector<std::string> FriendAddresses() override { return {}; }
    std::optional<std::vector<std::string>> AnonymousAddresses(bool) override {
        return std::vector<std::string>{};
    }
};

double Milliseconds(Clock::duration span) {
    return std::chrono::duration<double, std::milli>(span).count();
}

// A full reply whose titles arrive in no order, as a real walk finds them.
std::string ReplyBytes(unsigned seed) {
    SearchReply reply;
    reply.responder = "bench@example.org";
    for (int i = 0; i < kSearchReplyResultLimit; ++i) {
        const unsigned mixed = (static_cast<unsigned>(i) * 2654435761u) ^ seed;
        const std::string name = "Track " + std::to_string(mixed % 100000) + ".mp3";
        reply.paths.push_back("/home/bench/Music/Album " + std::to_string(i % 97) + "/" + name);
        reply.titles.push_back(name);
    }
    const auto header = reply.EncodeHeader();
    const auto paths = SearchReply::EncodeTable(reply.paths);
    const auto titles = SearchReply::EncodeTable(reply.titles);
    std::string bytes(header.begin(), header.end());
    bytes.append(paths.begin(), paths.end());
    bytes.append(titles.begin(), titles.end());
    return bytes;
}

void Send(int port, const std::string& bytes) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &where.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0)
        for (std::size_t done = 0; done < bytes.size();) {
            const ssize_t put = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (put <= 0)
                break;
            done += static_cast<std::size_t>(put);
        }
    close(fd);
}

struct Round {
    double shownMs = 0;
    double stallMs = 0;
    double batchMs = 0;
};

// Sends one reply and runs the event loop until the model holds rows rows.
Round Take(SearchWindow& window, int port, const std::string& bytes, int rows) {
    double stall = 0;
    Clock::time_point lastTick = Clock::now();
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const Clock::time_point now = Clock::now();
        stall = std::max(stall, Milliseconds(now - lastTick - kTick));
        lastTick = now;
    });
    ticker.start(kTick);
    // A large batch is placed between the reset's two signals.
    double batch = 0;
    Clock::time_point batchStart{};
    const QAbstractItemModel* model = &window.Model();
    const auto begun = QObject::connect(model, &QAbstractItemModel::modelAboutToBeReset,
                                        [&] { batchStart = Clock::now(); });
    const auto ended = QObject::connect(model, &QAbstractItemModel::modelReset, [&] {
        batch = std::max(batch, Milliseconds(Clock::now() - batchStart));
    });
    const Clock::time_point start = Clock::now();
    lastTick = start;
    std::thread sender([&] { Send(port, bytes); });
    while (window.Model().rowCount() < rows)
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    const Clock::time_point end = Clock::now();
    sender.join();
    ticker.stop();
    QObject::disconnect(begun);
    QObject::disconnect(ended);
    return {Milliseconds(end - start), stall, batch};
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    NoFriends presence;
    DrovickSettings settings;
    NetworkSearch::Options options;
    options.listenAddress = "127.0.0.1";
    options.resultPort = 0;
    options.serverPort = 1;
    SearchWindow window({&presence, nullptr, &settings, nullptr}, options);
    window.resize(900, 600);
    window.show();
    std::printf("%-10s %12s %12s %12s\n", "round", "shown ms", "stall ms", "batch ms");
    double worstStall = 0;
    double worstShown = 0;
    double worstBatch = 0;
    for (int r = 1; r <= kRounds; ++r) {
        window.Search().Start(0, "track*");
        while (window.Search().ListeningPort() == 0 || !window.Search().RequestSent())
            QApplication::processEvents(QEventLoop::AllEvents, 5);
        const int port = window.Search().ListeningPort();
        for (int reply = 1; reply <= 2; ++reply) {
            const Round round = Take(window, port, ReplyBytes(static_cast<unsigned>(r * 2 + reply)),
                                     reply * kSearchReplyResultLimit);
            std::printf("%-10s %12.1f %12.1f %12.1f\n",
                        ((reply == 1 ? "first " : "second ") + std::to_string(r)).c_str(),
                        round.shownMs, round.stallMs, round.batchMs);
            worstBatch = std::max(worstBatch, round.batchMs);
            worstStall = std::max(worstStall, round.stallMs);
            worstShown = std::max(worstShown, round.shownMs);
        }
        window.Search().NewSearch();
        while (window.Model().rowCount() > 0)
            QApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    std::printf("worst: %.1f ms until shown, %.1f ms stall (target < 50), %.1f ms batch\n",
                worstShown, worstStall, worstBatch);
    return 0;
}
