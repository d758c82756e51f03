#include "FriendsWatch.h"

#include "AddressText.h"
#include "PresenceSession.h"
#include "halvara.h"
#include "platform/MessageBus.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <system_error>
#include <unordered_map>

namespace {

// The presence service's announcement that a contact list or profile changed.
constexpr const char* kUpdateContacts = "Halvara: update contacts";
// How long the watch waits for a message before it looks at its stop flag.
constexpr std::chrono::milliseconds kStopCheck{200};

} // namespace

FriendsWatch::FriendsWatch(PresenceSession& session, int tos, Changed changed)
    : m_session(session)
    , m_tos(tos)
    , m_changed(std::move(changed)) {}

FriendsWatch::~FriendsWatch() {
    Stop();
}

bool FriendsWatch::Start() {
    if (m_thread.joinable())
        return true;
    try {
        m_receiver = platform::MessageReceiver::Create();
    } catch (const std::system_error&) {
        return false;
    }
    m_stop.store(false);
    m_thread = std::thread([this] { Run(); });
    return true;
}

void FriendsWatch::Stop() {
    m_stop.store(true);
    if (m_thread.joinable())
        m_thread.join();
}

std::vector<FriendEntry> FriendsWatch::Snapshot() const {
    std::lock_guard lock(m_mutex);
    return m_friends;
}

void FriendsWatch::Run() {
    const std::uint32_t updateContacts = platform::MessageBus::RegisterMessage(kUpdateContacts);
    bool started = false;
    while (!m_stop.load()) {
        // The first read waits for the session's start; announcements that
        // came before it are covered by that read.
        if (!started && m_session.IsInitialized()) {
            started = true;
            Reload();
        }
        const auto message = m_receiver->Receive(kStopCheck);
        if (started && message && message->number == updateContacts)
            Reload();
    }
}

void FriendsWatch::Reload() {
    std::vector<FriendEntry> friends;
    const int me = Halvara_GetMyID();
    for (int index = 0; index < kFriendLimit && !m_stop.load(); ++index) {
        const int id = Halvara_GetFriend(index);
        // Negative past the end; 0 when the exchange failed: the last
        // snapshot stays rather than a cut one.
        if (id == 0)
            return;
        if (id < 0)
            break;
        if (id == me)
            continue;
        FriendEntry entry;
        entry.id = id;
        PersonalInfo profile{};
        if (Halvara_GetProfile(id, &profile) != 0) {
            entry.name = FieldText(profile.name);
            entry.eMail = FieldText(profile.eMail);
        }
        std::array<char, 32> address{};
        if (Halvara_GetIP(id, address.data(), static_cast<int>(address.size())) != 0)
            entry.address = std::string(address.data(), strnlen(address.data(), address.size()));
        entry.online = Halvara_IsOnline(id, m_tos, 0) != 0;
        friends.push_back(std::move(entry));
    }
    if (m_stop.load())
        return;
    Publish(friends);
    const auto live = CheckFriendsLive(m_tos);
    if (!live || m_stop.load())
        return;
    const std::unordered_map<int, bool> answers(live->begin(), live->end());
    for (FriendEntry& entry : friends) {
        const auto answer = answers.find(entry.id);
        if (answer != answers.end())
            entry.online = answer->second;
    }
    Publish(std::move(friends));
}

void FriendsWatch::Publish(std::vector<FriendEntry> friends) {
    {
        std::lock_guard lock(m_mutex);
        if (m_read && friends == m_friends)
            return;
        m_read = true;
        m_friends = std::move(friends);
    }
    if (m_changed)
        m_changed();
}

std::optional<std::vector<std::pair<int, bool>>> CheckFriendsLive(int tos) {
    std::vector<HalvaraFriendOnline> room(HALVARA_FRIEND_CHECKS_MAX);
    HalvaraFriendChecks checks{HALVARA_FRIEND_CHECKS_VERSION, HALVARA_FRIEND_CHECKS_MAX, 0,
                               room.data()};
    if (Halvara_CheckFriendsOnline(tos, &checks) == 0)
        return std::nullopt;
    std::vector<std::pair<int, bool>> answers;
    const auto count = static_cast<std::size_t>(std::clamp(checks.count, 0, checks.capacity));
    answers.reserve(count);
    for (std::size_t i = 0; i < count; ++i)
        answers.emplace_back(room[i].id, room[i].online != 0);
    return answers;
}
