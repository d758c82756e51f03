// The messenger holding 10,000 messages. Measured per round:
//   append   10,000 messages shown from a worker thread as the message server
//            shows them, until the last is in the window (messages a second);
//   scroll   the view moved through every message a page at a time and
//            painted, then back to the newest;
//   stall    the longest lateness of a 5 ms timer on the user-interface
//            thread during each phase.
// Target: no stall over 50 ms. QT_QPA_PLATFORM=offscreen needs no display.

#include "StallClock.h"
#include "app/peer/messages/InstantMessageDisplay.h"
#include "app/shell/messenger/MessengerModel.h"
#include "app/shell/messenger/MessengerView.h"

#include <QApplication>
#include <QScrollBar>
#include <cstdio>
#include <string>
#include <thread>

namespace {

constexpr int kMessages = 10000;
constexpr int kRounds = 3;

class Queue : public UserInterfaceQueue {
public:
    void Post(std::function<void()> work) override {
        QMetaObject::invokeMethod(qApp, std::move(work), Qt::QueuedConnection);
    }
};

double Ms(StallClock::Clock::duration span) {
    return std::chrono::duration<double, std::milli>(span).count();
}

} // namespace

// The stall of an idle event loop for a second: what the machine's load
// alone costs, to read the other figures against.
double IdleStall() {
    StallClock stalls;
    stalls.Start();
    const auto end = StallClock::Clock::now() + std::chrono::seconds(1);
    while (StallClock::Clock::now() < end)
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    return stalls.LongestMs();
}

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    std::printf("idle event loop: longest stall %.1f ms\n", IdleStall());
    std::printf("%-6s %10s %20s %10s %20s\n", "round", "append/s", "append stall/busy",
                "scroll ms", "scroll stall/busy");
    double worst = 0;
    double worstBusy = 0;
    for (int round = 1; round <= kRounds; ++round) {
        Queue queue;
        InstantMessageDisplay display(nullptr, nullptr, &queue);
        MessengerView view(display, nullptr);
        view.resize(420, 600);
        view.show();
        QApplication::processEvents();
        StallClock stalls;
        stalls.Start();
        const auto start = StallClock::Clock::now();
        std::thread sender([&display] {
            for (int i = 0; i < kMessages; ++i)
                display.ShowInstantMessage(
                    "127.0.0.2", i % 2 ? "Alice" : "Bob",
                    "message " + std::to_string(i) +
                        (i % 3 ? " with a few more words that wrap in a narrow window" : ""),
                    i % 2 ? 0x0080ff80 : 0x00ffc0a0, 0x00202020, false);
        });
        QScrollBar* bar = view.verticalScrollBar();
        while (view.Model().rowCount() < kMessages || bar->value() != bar->maximum())
            QApplication::processEvents(QEventLoop::AllEvents, 5);
        const double appendMs = Ms(StallClock::Clock::now() - start);
        sender.join();
        const double appendStall = stalls.LongestMs();
        const double appendBusy = stalls.LongestBusyMs();

        stalls.Start();
        const auto scrollStart = StallClock::Clock::now();
        for (int value = 0; value < bar->maximum(); value += bar->pageStep()) {
            bar->setValue(value);
            view.viewport()->repaint();
            QApplication::processEvents();
        }
        bar->setValue(bar->maximum());
        QApplication::processEvents();
        const double scrollMs = Ms(StallClock::Clock::now() - scrollStart);
        const double scrollStall = stalls.LongestMs();
        std::printf("%-6d %10.0f %12.1f/%7.1f %10.0f %12.1f/%7.1f\n", round,
                    kMessages / (appendMs / 1000.0), appendStall, appendBusy, scrollMs, scrollStall,
                    stalls.LongestBusyMs());
        worst = std::max({worst, appendStall, scrollStall});
        worstBusy = std::max({worstBusy, appendBusy, stalls.LongestBusyMs()});
    }
    std::printf("worst stall: %.1f ms, of it the thread's own work %.1f ms (target < 50)\n", worst,
                worstBusy);
    return 0;
}
