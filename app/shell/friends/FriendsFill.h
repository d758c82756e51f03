#pragma once

#include "app/shell/friends/FriendRow.h"

#include <QObject>
#include <QPointer>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <vector>

class FriendsSource;

// Fills the friends list on a worker thread that never touches a widget: it
// waits for the presence library to be ready, reads every friend with the
// state the service already knows and hands the whole list over at once, then
// asks every friend live in one exchange and hands over every picture that
// changed. Results reach the owner on the user-interface thread, and not at
// all once the owner is gone.
//
// At most one fill runs in the process. A refresh asked while one runs makes
// it read the list again when it has read it, instead of starting another; the
// live checks of a list that is about to be read again are not finished.
class FriendsFill {
public:
    using Listed = std::function<void(std::vector<FriendRow> rows)>;
    using Checked = std::function<void(int id, bool online)>;

    // owner lives on the user-interface thread; listed and checked run there
    // while it exists.
    FriendsFill(std::shared_ptr<FriendsSource> source, QObject* owner, Listed listed,
                Checked checked);
    // Tells a running fill to stop; it ends by itself within one service call.
    ~FriendsFill();
    FriendsFill(const FriendsFill&) = delete;
    FriendsFill& operator=(const FriendsFill&) = delete;

    void Refresh();

    // True while a fill of any list runs in the process.
    static bool Running();

    // A friends list longer than this is not believed.
    static constexpr int kFriendLimit = 100000;
    // How often a fill looks whether the presence library became ready.
    static constexpr std::chrono::milliseconds kReadyPoll{500};

private:
    struct State;
    static void Run(const std::shared_ptr<State>& state);

    std::shared_ptr<State> m_state;
};
