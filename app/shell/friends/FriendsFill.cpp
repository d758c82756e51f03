#include "app/shell/friends/FriendsFill.h"

#include "app/files/SafeText.h"
#include "app/shell/friends/FriendsSource.h"

#include <QCoreApplication>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace {

// The one fill of the process.
std::atomic<bool> g_running{false};
constexpr std::chrono::milliseconds kStopCheck{50};

} // namespace

struct FriendsFill::State {
    std::shared_ptr<FriendsSource> source;
    QPointer<QObject> owner;
    Listed listed;
    Checked checked;
    // Starts the fill again; for a refresh that came as this one ended.
    std::function<void()> restart;
    std::atomic<bool> stop{false};
    // A refresh came while this fill ran.
    std::atomic<bool> again{false};
    std::atomic<bool> running{false};

    // Runs work on the user-interface thread while the owner lives. Posted to
    // the application object, which outlives every window; the owner is only
    // looked at on that thread.
    void Post(std::function<void()> work) const {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [owner = owner, work = std::move(work)] {
                if (owner)
                    work();
            },
            Qt::QueuedConnection);
    }
};

FriendsFill::FriendsFill(std::shared_ptr<FriendsSource> source, QObject* owner, Listed listed,
                         Checked checked)
    : m_state(std::make_shared<State>()) {
    m_state->source = std::move(source);
    m_state->owner = owner;
    m_state->listed = std::move(listed);
    m_state->checked = std::move(checked);
    m_state->restart = [this] { Refresh(); };
}

FriendsFill::~FriendsFill() {
    m_state->stop.store(true);
}

bool FriendsFill::Running() {
    return g_running.load();
}

void FriendsFill::Refresh() {
    if (m_state->running.load()) {
        m_state->again.store(true);
        return;
    }
    bool idle = false;
    if (!g_running.compare_exchange_strong(idle, true)) {
        // Another list's fill (one closing) still runs: it ends soon, and this
        // refresh is dropped rather than waited for; only one fill asks the
        // service at a time.
        return;
    }
    m_state->running.store(true);
    // Detached: a window closed during a live check must not wait for it.
    // The thread holds what it uses and ends at its next look at the flag.
    std::thread([state = m_state] {
        Run(state);
        state->running.store(false);
        g_running.store(false);
        // A refresh that found this fill past its last look at the flag.
        if (state->again.load() && !state->stop.load())
            state->Post([state] { state->restart(); });
    }).detach();
}

void FriendsFill::Run(const std::shared_ptr<State>& state) {
    FriendsSource& source = *state->source;
    do {
        state->again.store(false);
        // The flag is looked at before every question, so a list closed at
        // exit asks nothing of a session that is going away.
        while (!state->stop.load() && !source.Ready()) {
            for (auto waited = std::chrono::milliseconds(0);
                 waited < kReadyPoll && !state->stop.load(); waited += kStopCheck)
                std::this_thread::sleep_for(kStopCheck);
        }
        if (state->stop.load())
            return;
        const int me = source.MyId();
        std::vector<FriendRow> rows;
        for (int index = 0; index < kFriendLimit && !state->stop.load(); ++index) {
            const int id = source.FriendAt(index);
            if (id <= 0)
                break;
            if (id == me)
                continue;
            FriendRow row;
            row.id = id;
            row.index = index;
            if (!source.Profile(id, row.name, row.eMail))
                continue;
            row.name = SafeText(row.name);
            row.online = source.KnownOnline(id);
            rows.push_back(std::move(row));
        }
        if (state->stop.load())
            return;
        std::unordered_map<int, bool> known;
        for (const FriendRow& row : rows)
            known.emplace(row.id, row.online);
        state->Post([state, rows = std::move(rows)]() mutable { state->listed(std::move(rows)); });
        // One exchange asks every friend side by side in the service, so the
        // bridge is held about one check's limit however many are silent.
        if (state->stop.load() || state->again.load())
            continue;
        const auto live = source.LiveOnlineAll();
        if (!live || state->stop.load() || state->again.load())
            continue;
        for (const auto& [id, online] : *live) {
            const auto shown = known.find(id);
            if (shown != known.end() && shown->second != online)
                state->Post([state, id = id, online = online] { state->checked(id, online); });
        }
    } while (state->again.load() && !state->stop.load());
}
