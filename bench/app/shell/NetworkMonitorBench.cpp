// The network monitor under a flood: four threads log 100,000 events into the
// sink while the window is open. Measured per round:
//   handed over  events per second the workers pass to the sink (their side);
//   appended     events per second from the first event to the last row in
//                the model (what the user sees);
//   stall        the longest lateness of a 5 ms timer on the user-interface
//                thread, i.e. the longest time it could not answer the user.
// Targets: at least 50,000 events a second appended, stalls under 50 ms.
// The "full" rounds start with the monitor at its cap, so every batch also
// drops the oldest rows.
// Runs under any Qt platform; QT_QPA_PLATFORM=offscreen needs no display.

#include "app/files/LogEvent.h"
#include "app/shell/monitor/NetworkMonitorModel.h"
#include "app/shell/monitor/NetworkMonitorView.h"

#include <QApplication>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kThreads = 4;
constexpr int kEvents = 100000;
constexpr int kRounds = 5;
constexpr std::chrono::milliseconds kTick{5};

double Milliseconds(Clock::duration span) {
    return std::chrono::duration<double, std::milli>(span).count();
}

struct Round {
    double handedPerSecond = 0;
    double appendedPerSecond = 0;
    double longestStallMs = 0;
};

Round RunRound(bool full) {
    LogEvent log;
    NetworkMonitorView view(log);
    view.resize(800, 500);
    view.show();
    if (full)
        view.Model().AppendRows(std::vector<QString>(NetworkMonitorModel::kDefaultCapacity,
                                                     QStringLiteral("earlier event")));
    QApplication::processEvents();
    int arrived = 0;
    QObject::connect(&view.Model(), &QAbstractItemModel::rowsInserted,
                     [&](const QModelIndex&, int first, int last) { arrived += last - first + 1; });

    // The lateness of each tick beyond its 5 ms is time the thread was busy.
    double longestStall = 0;
    Clock::time_point lastTick = Clock::now();
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const Clock::time_point now = Clock::now();
        longestStall = std::max(longestStall, Milliseconds(now - lastTick - kTick));
        lastTick = now;
    });
    ticker.start(kTick);

    std::atomic<bool> go{false};
    std::atomic<int> finished{0};
    Clock::time_point handedOver{};
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t)
        workers.emplace_back([&, t] {
            while (!go)
                std::this_thread::yield();
            const std::string prefix = "NFSServer: worker " + std::to_string(t) + " request ";
            for (int i = 0; i < kEvents / kThreads; ++i)
                log(prefix + std::to_string(i));
            if (++finished == kThreads)
                handedOver = Clock::now();
        });
    const Clock::time_point start = Clock::now();
    lastTick = start;
    go = true;
    while (arrived < kEvents)
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    const Clock::time_point end = Clock::now();
    for (auto& worker : workers)
        worker.join();
    ticker.stop();

    Round round;
    round.handedPerSecond = kEvents / (Milliseconds(handedOver - start) / 1000.0);
    round.appendedPerSecond = kEvents / (Milliseconds(end - start) / 1000.0);
    round.longestStallMs = longestStall;
    return round;
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    std::printf("%-8s %16s %16s %14s\n", "round", "handed over/s", "appended/s", "stall ms");
    double worstAppended = 1e18;
    double worstStall = 0;
    for (int r = 1; r <= 2 * kRounds; ++r) {
        const bool full = r > kRounds;
        const Round round = RunRound(full);
        std::printf("%-8s %16.0f %16.0f %14.1f\n",
                    ((full ? "full " : "empty ") + std::to_string(r)).c_str(),
                    round.handedPerSecond, round.appendedPerSecond, round.longestStallMs);
        worstAppended = std::min(worstAppended, round.appendedPerSecond);
        worstStall = std::max(worstStall, round.longestStallMs);
    }
    std::printf("worst: %.0f events/s appended (target >= 50000), %.1f ms stall (target < 50)\n",
                worstAppended, worstStall);
    return 0;
}
