#pragma once

#include <string>

// Where a friend named by e-mail address is, asked of the presence library.
// Every call here may wait for the presence service: never on the
// user-interface thread, and only once the library has started.
struct FriendLookup {
    enum class Outcome {
        Found,         // address holds the friend's computer
        Offline,       // a friend whose program does not run now
        NotAFriend,    // known to the directory as id, not in the friends list
        NotRegistered, // the directory knows nobody of that address
        NoAnswer,      // the presence service stopped answering
    };
    Outcome outcome = Outcome::NoAnswer;
    std::string address;
    int id = 0;
};

// Walks the friends list for the address (letter case aside), asks a friend
// found whether the program runs there for the TOS number and takes the
// friend's address; anybody else is looked up in the directory.
FriendLookup LookUpFriend(const std::string& eMail, int tos);

// Adds the directory's user as a friend.
bool AddFriendById(int id);

// Has the directory mail an invitation naming the product and its page.
bool InviteFriend(const std::string& eMail, const std::string& productPage, int tos);
