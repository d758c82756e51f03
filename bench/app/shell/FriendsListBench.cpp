// The friends list filling 500 friends of whom 450 sit at addresses that
// accept and never answer: the one live check of them all holds the service
// for a while (kSilentCheck here, the service's time limit in the program).
// Measured: the time until every friend is shown, the longest lateness of a
// 5 ms timer on the user-interface thread until the live checks are done, and
// how long those took. Target: every friend shown at once, no stall over
// 50 ms. QT_QPA_PLATFORM=offscreen needs no display.

#include "StallClock.h"
#include "app/shell/friends/FriendsFill.h"
#include "app/shell/friends/FriendsListModel.h"
#include "app/shell/friends/FriendsListView.h"
#include "app/shell/friends/FriendsSource.h"

#include <QApplication>
#include <cstdio>
#include <string>
#include <thread>

namespace {

constexpr int kFriends = 500;
constexpr int kSilent = 450;
constexpr std::chrono::milliseconds kSilentCheck{20};

// Friends 1..500; the silent ones were known online and are not there.
class Crowd : public FriendsSource {
public:
    bool Ready() override { return true; }
    int MyId() override { return 0; }
    int FriendAt(int index) override { return index < kFriends ? index + 1 : -1; }
    bool Profile(int id, std::string& name, std::string& eMail) override {
        name = "Friend " + std::to_string(id);
        eMail = "friend" + std::to_string(id) + "@example.com";
        return true;
    }
    bool KnownOnline(int) override { return true; }
    // The silent ones are checked side by side: one limit in all.
    std::optional<std::vector<std::pair<int, bool>>> LiveOnlineAll() override {
        std::this_thread::sleep_for(kSilentCheck);
        std::vector<std::pair<int, bool>> answers;
        for (int id = 1; id <= kFriends; ++id)
            answers.emplace_back(id, id <= kFriends - kSilent);
        return answers;
    }
    bool Delete(int) override { return false; }
};

double Ms(StallClock::Clock::duration span) {
    return std::chrono::duration<double, std::milli>(span).count();
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    StallClock stalls;
    stalls.Start();
    const auto start = StallClock::Clock::now();
    FriendsListView view(std::make_shared<Crowd>(), nullptr);
    view.resize(300, 600);
    view.show();
    while (view.Model().rowCount() < kFriends)
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    const double shownMs = Ms(StallClock::Clock::now() - start);
    while (FriendsFill::Running())
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    QApplication::processEvents();
    const double checkedMs = Ms(StallClock::Clock::now() - start);
    int online = 0;
    for (int row = 0; row < view.Model().rowCount(); ++row)
        online += view.Model().At(row).online ? 1 : 0;
    std::printf("%d friends shown after %.0f ms; live checks done after %.0f ms "
                "(%d silent, %lld ms for the check of all); %d online at the end\n",
                kFriends, shownMs, checkedMs, kSilent,
                static_cast<long long>(kSilentCheck.count()), online);
    std::printf("longest stall: %.1f ms, of it the thread's own work %.1f ms (target < 50)\n",
                stalls.LongestMs(), stalls.LongestBusyMs());
    return 0;
}
