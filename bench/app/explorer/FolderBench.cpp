// How long an explorer window takes to show a folder of 10,000 files in
// details mode with icons and type names, a friend's (through a real remote
// file system server on loopback) and this computer's, how long the window
// thread went without a turn meanwhile, and the memory the shown entries
// take. Run it in a network namespace of its own:
//   unshare -n sh -c 'ip link set lo up && bench_explorer_FolderBench'

#include "app/explorer/DirectoryListModel.h"
#include "app/explorer/ExplorerWindow.h"
#include "app/explorer/ExplorerWorker.h"
#include "app/files/IconIndexCache.h"
#include "app/files/LogEvent.h"
#include "app/files/ShareTable.h"
#include "app/peer/remotefs/NFSServer.h"
#include "app/peer/remotefs/RemoteFileSystem.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QTreeView>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

namespace fs = std::filesystem;

namespace {

constexpr int kFiles = 10000;
constexpr int kRounds = 5;

void MakeFolder(const fs::path& folder) {
    fs::create_directories(folder);
    static const char* const kExtensions[] = {".txt", ".mp3", ".jpg", ".pdf", ".html"};
    for (int i = 0; i < kFiles; ++i) {
        std::ofstream(folder / ("file " + std::to_string(i) + kExtensions[i % 5]))
            << std::string(static_cast<std::size_t>(i % 4096), 'x');
    }
}

struct Figures {
    double shownMs = 0;
    double longestStallMs = 0;
    std::size_t rows = 0;
};

// From Navigate to the details view painted with every visible row's icon
// and type, with a 1 ms timer watching for gaps in the event loop.
Figures ShowOnce(ExplorerWindow& window, const fs::path& folder) {
    Figures figures;
    QElapsedTimer clock;
    qint64 last = 0;
    qint64 longest = 0;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        longest = std::max(longest, clock.nsecsElapsed() - last);
        last = clock.nsecsElapsed();
    });
    bool listed = false;
    auto connection = QObject::connect(&window, &ExplorerWindow::FolderListed,
                                       [&](const QString&, int) { listed = true; });
    window.List().Clear();
    QApplication::processEvents();
    tick.start(1);
    clock.start();
    window.Navigate(folder.string());
    // Waits in the event loop, not a busy one, so the worker and the server
    // get the cores.
    QEventLoop wait;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (listed && window.List().rowCount() > 0)
            wait.quit();
    });
    check.start(1);
    wait.exec();
    check.stop();
    window.DetailsView()->viewport()->repaint();
    figures.shownMs = clock.nsecsElapsed() / 1e6;
    // The loop keeps turning a moment after, so a late stall is seen too.
    QTimer::singleShot(200, &wait, &QEventLoop::quit);
    wait.exec();
    tick.stop();
    QObject::disconnect(connection);
    figures.longestStallMs = longest / 1e6;
    figures.rows = window.List().Count();
    return figures;
}

void Report(const char* what, ExplorerWindow& window, const fs::path& folder) {
    std::vector<double> shown;
    double stall = 0;
    std::size_t count = 0;
    for (int round = 0; round < kRounds; ++round) {
        const Figures figures = ShowOnce(window, folder);
        shown.push_back(figures.shownMs);
        stall = std::max(stall, figures.longestStallMs);
        count = figures.rows;
    }
    // The window thread's own share: the rows handed to the model and the
    // details view painted, without the machine's scheduling in the figure.
    std::vector<DirectoryRow> rows;
    for (std::size_t i = 0; i < window.List().Count(); ++i)
        rows.push_back(*window.List().Row(static_cast<int>(i)));
    QElapsedTimer handOver;
    handOver.start();
    window.List().SetRows(std::move(rows));
    window.DetailsView()->viewport()->repaint();
    const double handOverMs = handOver.nsecsElapsed() / 1e6;
    std::sort(shown.begin(), shown.end());
    std::printf(
        "%s: %zu entries shown in details mode, median %.1f ms (best %.1f, worst %.1f); "
        "longest window-thread stall %.1f ms; the hand-over to the model and a paint %.1f ms\n",
        what, count, shown[shown.size() / 2], shown.front(), shown.back(), stall, handOverMs);
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const fs::path root =
        fs::temp_directory_path() / ("explorer-bench-" + std::to_string(getpid()));
    const fs::path folder = root / "share" / "many";
    MakeFolder(folder);

    LogEvent log;
    IconIndexCache icons;
    ExplorerContext context;
    context.log = &log;
    context.icons = &icons;
    context.shares = std::make_shared<ShareTable>();

    auto table = std::make_shared<ShareTable>();
    table->Add((root / "share").string());
    const int port = 38782;
    NFSServer server(table, nullptr, port);
    if (!server.Start()) {
        std::fprintf(stderr, "the remote file system server did not start\n");
        return 1;
    }
    while (!server.IsListening())
        std::this_thread::sleep_for(std::chrono::milliseconds(10));

    {
        // The worker's part alone: the listing request, then the entries'
        // fields read from it.
        RemoteFileSystem files("127.0.0.1", nullptr, &icons, port);
        QElapsedTimer clock;
        clock.start();
        const FolderListing listing = files.ListFolder(folder.string() + "/*.*");
        const double listed = clock.nsecsElapsed() / 1e6;
        const DirectoryPage page = ReadDirectory(files, folder.string());
        std::printf("friend's folder on the worker: a first listing %.1f ms (%zu entries); the "
                    "list job (listing again, then every entry's fields) %.1f ms\n",
                    listed, listing.entries.size(), clock.nsecsElapsed() / 1e6 - listed);
        (void)page;
    }
    {
        ExplorerContext remote = context;
        remote.remotePort = port;
        ExplorerWindow window(remote, QStringLiteral("127.0.0.1"), true);
        window.SetViewMode(3);
        window.resize(900, 600);
        window.show();
        Report("friend's folder", window, folder);
    }
    {
        ExplorerWindow window(context, QStringLiteral("(Local)"), false);
        window.SetViewMode(3);
        window.resize(900, 600);
        window.show();
        Report("local folder", window, folder);

        // The model's memory for the shown entries: the records and the text
        // they hold outside the strings' inline buffers (the rows are made on
        // the worker, in an arena a main-arena count would miss).
        std::size_t bytes = window.List().Count() * sizeof(DirectoryRow);
        for (std::size_t i = 0; i < window.List().Count(); ++i) {
            const DirectoryRow& row = *window.List().Row(static_cast<int>(i));
            for (const std::string* text : {&row.path, &row.name, &row.sizeText, &row.typeName})
                if (text->capacity() > 15)
                    bytes += text->capacity() + 1;
        }
        std::printf("memory of %zu shown entries: %.2f MiB (%zu bytes an entry)\n",
                    window.List().Count(), bytes / 1048576.0, bytes / window.List().Count());
    }
    server.Stop(true);
    ExplorerWorker::WaitForAll(std::chrono::seconds(10));
    fs::remove_all(root);
    return 0;
}
