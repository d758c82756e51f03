#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

class PresenceSession;
namespace platform {
class MessageReceiver;
}

// One entry of the friends list as the presence library reports it.
struct FriendEntry {
    int id = 0;
    std::string name;
    std::string eMail;
    // "0.0.0.0" while the friend is offline.
    std::string address;
    bool online = false;

    bool operator==(const FriendEntry&) const = default;
};

// Every friend asked live at once through the service (one exchange that holds
// the bridge about one check's time limit however many friends are silent):
// (id, online) in list order, the own entry left out, or nothing when the
// exchange failed.
std::optional<std::vector<std::pair<int, bool>>> CheckFriendsLive(int tos);

// The friends list, kept current for a front end: it is read once the session
// has started and again whenever the presence service announces changed
// contacts on the session's message bus. Each read gives the presences the
// service knows, then those of one live check of every friend at once.
// Changed runs on the watch's own thread after each read that differs from
// the last; Snapshot may be called from any thread.
class FriendsWatch {
public:
    using Changed = std::function<void()>;

    FriendsWatch(PresenceSession& session, int tos, Changed changed);
    ~FriendsWatch();
    FriendsWatch(const FriendsWatch&) = delete;
    FriendsWatch& operator=(const FriendsWatch&) = delete;

    // Joins the bus and starts watching; false when the bus cannot be joined.
    bool Start();
    // Waits for a live check under way: about one check's time limit at most.
    void Stop();

    std::vector<FriendEntry> Snapshot() const;

    // A friends list longer than this is not believed.
    static constexpr int kFriendLimit = 100000;

private:
    void Run();
    void Reload();
    // Takes the list as the new snapshot and tells the front end when it changed.
    void Publish(std::vector<FriendEntry> friends);

    PresenceSession& m_session;
    const int m_tos;
    const Changed m_changed;
    std::unique_ptr<platform::MessageReceiver> m_receiver;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::vector<FriendEntry> m_friends;
    bool m_read = false;
};
