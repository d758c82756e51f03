#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
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

// The friends list, kept current for a front end: it is read once the session
// has started and again whenever the presence service announces changed
// contacts on the session's message bus. Changed runs on the watch's own
// thread after each read that differs from the last; Snapshot may be called
// from any thread.
class FriendsWatch {
public:
    using Changed = std::function<void()>;

    FriendsWatch(PresenceSession& session, int tos, Changed changed);
    ~FriendsWatch();
    FriendsWatch(const FriendsWatch&) = delete;
    FriendsWatch& operator=(const FriendsWatch&) = delete;

    // Joins the bus and starts watching; false when the bus cannot be joined.
    bool Start();
    void Stop();

    std::vector<FriendEntry> Snapshot() const;

    // A friends list longer than this is not believed.
    static constexpr int kFriendLimit = 100000;

private:
    void Run();
    void Reload();

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
