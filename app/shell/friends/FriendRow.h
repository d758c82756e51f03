#pragma once

#include <string>

// One friend as the list shows it.
struct FriendRow {
    int id = 0;
    // The friend's place in the service's friends list.
    int index = 0;
    std::string name;
    std::string eMail;
    bool online = false;
};

// The list's order: online friends first, the newest (highest index) on top,
// then offline friends in list order.
inline bool ShownBefore(const FriendRow& a, const FriendRow& b) {
    if (a.online != b.online)
        return a.online;
    return a.online ? a.index > b.index : a.index < b.index;
}
