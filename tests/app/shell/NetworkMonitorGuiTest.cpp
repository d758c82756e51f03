// The network monitor against the real log sink: a remote file system request
// between a real NFSServer and its client, worker threads logging while the
// window is busy or goes away, and the row cap.

#include "ShellGuiTestSupport.h"
#include "app/files/LogEvent.h"
#include "app/files/ShareTable.h"
#include "app/peer/remotefs/NFSServer.h"
#include "app/peer/remotefs/RemoteFileSystem.h"
#include "app/shell/monitor/NetworkMonitorModel.h"
#include "app/shell/monitor/NetworkMonitorView.h"
#include "support/TestSupport.h"

#include <QRegularExpression>
#include <QScrollBar>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

QStringList Rows(const NetworkMonitorView& view) {
    QStringList rows;
    const NetworkMonitorModel& model = view.Model();
    for (int row = 0; row < model.rowCount(); ++row)
        rows << model.data(model.index(row), Qt::DisplayRole).toString();
    return rows;
}

bool HasRow(const NetworkMonitorView& view, const QString& text) {
    return Rows(view).contains(text);
}

// Logs count numbered events from each of threads workers and joins them,
// without running the event loop meanwhile.
void LogFromThreads(LogEvent& log, int threads, int count) {
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&log, t, count] {
            for (int i = 0; i < count; ++i)
                log("worker " + std::to_string(t) + " event " + std::to_string(i));
        });
    for (auto& worker : workers)
        worker.join();
}

class NetworkMonitorGuiTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { shelltest::Application(); }
};

TEST_F(NetworkMonitorGuiTest, ShowsEveryLineOfARemoteFileSystemRequestAsOneRow) {
    testsupport::TempDir temp;
    const auto share = temp.Path() / "share";
    std::filesystem::create_directories(share);
    std::ofstream(share / "song.mp3") << "tune";

    LogEvent log;
    NetworkMonitorView view(log);
    view.resize(640, 360);
    view.show();

    auto table = std::make_shared<ShareTable>();
    ASSERT_TRUE(table->Add(share.string()));
    const std::string host = "127.0.0.2";
    const int port = testsupport::FreeTcpPort(host);
    NFSServer::Timing timing;
    timing.acceptLimit = 200ms;
    // Server and client log into the one sink, as in the program.
    NFSServer server(table, &log, port, timing, NFSServer::Limits{});
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(testsupport::WaitFor([&] { return server.IsListening(); }, 10s));
    {
        RemoteFileSystem remote(host, &log, nullptr, port);
        ASSERT_TRUE(remote.HasInstance());
        EXPECT_TRUE(remote.FindFile(share.string() + "/*.*", 0));
    }
    EXPECT_TRUE(shelltest::ProcessUntil(
        [&] { return HasRow(view, "NFSServer: New client connection"); }));
    EXPECT_TRUE(shelltest::ProcessUntil([&] {
        return Rows(view).filter(QRegularExpression("^Acquiring new instance from")).size() == 1 &&
               Rows(view).filter(QRegularExpression("^   Success: ")).size() >= 1;
    })) << Rows(view).join("|").toStdString();
    server.Stop(true);

    // A server event that ends in a line feed stays one row, ending in a blank.
    log("   Error: Did not receive reply.\n");
    log("");
    log("two\nlines");
    ASSERT_TRUE(shelltest::ProcessUntil([&] { return HasRow(view, "two lines"); }));
    const QStringList rows = Rows(view);
    EXPECT_EQ(rows.at(rows.size() - 2), "   Error: Did not receive reply. ");
    for (const QString& row : rows) {
        EXPECT_FALSE(row.isEmpty());
        EXPECT_FALSE(row.contains('\n'));
    }
    // The view follows the newest row.
    EXPECT_EQ(view.verticalScrollBar()->value(), view.verticalScrollBar()->maximum());
    EXPECT_EQ(view.model()->headerData(0, Qt::Horizontal).toString(), "Log entries");
    shelltest::Screenshot(view, "network-monitor");
}

TEST_F(NetworkMonitorGuiTest, KeepsNothingWhileClosed) {
    LogEvent log;
    log("before any monitor");
    auto first = std::make_unique<NetworkMonitorView>(log);
    log("while the first is open");
    ASSERT_TRUE(shelltest::ProcessUntil([&] { return first->Model().rowCount() == 1; }));
    first.reset();
    EXPECT_FALSE(log.HasReceiver());
    log("while closed");

    NetworkMonitorView second(log);
    log("after reopening");
    ASSERT_TRUE(shelltest::ProcessUntil([&] { return second.Model().rowCount() >= 1; }));
    QApplication::processEvents();
    EXPECT_EQ(Rows(second), QStringList{"after reopening"});
}

// Workers hand events over without waiting for the user-interface thread: they
// finish while that thread runs no event loop at all, and every event arrives
// once it does, in each worker's order.
TEST_F(NetworkMonitorGuiTest, WorkersNeverWaitForTheWindow) {
    LogEvent log;
    NetworkMonitorView view(log);
    constexpr int kThreads = 4;
    constexpr int kEach = 5000;
    std::atomic<int> done{0};
    std::thread logging([&] {
        LogFromThreads(log, kThreads, kEach);
        done = 1;
    });
    EXPECT_TRUE(testsupport::WaitFor([&] { return done == 1; }, 10s));
    // Should a worker wait for the window after all, this lets it go.
    EXPECT_TRUE(shelltest::ProcessUntil(
        [&] { return view.Model().rowCount() == kThreads * kEach; }));
    logging.join();
    std::vector<int> next(kThreads, 0);
    for (const QString& row : Rows(view)) {
        const QStringList parts = row.split(' ');
        ASSERT_EQ(parts.size(), 4);
        const int worker = parts[1].toInt();
        EXPECT_EQ(parts[3].toInt(), next[worker]++);
    }
}

TEST_F(NetworkMonitorGuiTest, KeepsOnlyTheNewestRows) {
    LogEvent log;
    constexpr std::size_t kCap = 1000;
    NetworkMonitorView view(log, kCap, nullptr);
    // More than the cap arrives while the window is busy, then more in small
    // batches: the oldest go, the newest stay in order.
    LogFromThreads(log, 1, 2500);
    ASSERT_TRUE(shelltest::ProcessUntil([&] { return HasRow(view, "worker 0 event 2499"); }));
    for (int i = 0; i < 300; ++i) {
        log("late " + std::to_string(i));
        if (i % 7 == 0)
            QApplication::processEvents();
    }
    ASSERT_TRUE(shelltest::ProcessUntil([&] { return HasRow(view, "late 299"); }));
    // The rows are the newest events in order, a tenth of the cap at most fewer
    // than it, as a full monitor drops its oldest rows a tenth at a time.
    QStringList newest;
    for (int i = 0; i < 2500; ++i)
        newest << QString("worker 0 event %1").arg(i);
    for (int i = 0; i < 300; ++i)
        newest << QString("late %1").arg(i);
    const QStringList rows = Rows(view);
    EXPECT_LE(rows.size(), static_cast<int>(kCap));
    EXPECT_GE(rows.size(), static_cast<int>(kCap - kCap / 10));
    EXPECT_EQ(rows, newest.mid(newest.size() - rows.size()));

    // The program's own cap.
    NetworkMonitorModel model;
    std::vector<QString> batch(NetworkMonitorModel::kDefaultCapacity + 1, "row");
    batch.front() = "oldest";
    batch[1] = "second";
    model.AppendRows(std::move(batch));
    EXPECT_EQ(model.rowCount(), 100000);
    EXPECT_EQ(model.data(model.index(0), Qt::DisplayRole).toString(), "second");
}

// Closing the monitor while servers keep logging: the sink lets go of the
// view's feed before it is destroyed, so no worker touches a dead window.
TEST_F(NetworkMonitorGuiTest, ClosesSafelyWhileWorkersLog) {
    LogEvent log;
    std::atomic<bool> stop{false};
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t)
        workers.emplace_back([&] {
            while (!stop)
                log("busy server line");
        });
    for (int round = 0; round < 40; ++round) {
        auto view = std::make_unique<NetworkMonitorView>(log);
        QApplication::processEvents();
        view.reset();
        QApplication::processEvents();
    }
    stop = true;
    for (auto& worker : workers)
        worker.join();
    EXPECT_FALSE(log.HasReceiver());
}

} // namespace
