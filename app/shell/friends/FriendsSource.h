#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// What the friends list asks the presence service. Every call may wait for
// the service (a live check for up to its time limit), so none is made on the
// user-interface thread.
class FriendsSource {
public:
    virtual ~FriendsSource() = default;
    // The presence library was initialised; quick.
    virtual bool Ready() = 0;
    // The own id; negative when there is none.
    virtual int MyId() = 0;
    // The friend id at the index; negative past the end, 0 when the service
    // did not answer.
    virtual int FriendAt(int index) = 0;
    // The friend's profile name and e-mail address; false when not fetched.
    virtual bool Profile(int id, std::string& name, std::string& eMail) = 0;
    // Online as the service last heard (no peer is asked).
    virtual bool KnownOnline(int id) = 0;
    // Every friend asked live at once, (id, online) in list order; waits about
    // one check's time limit in all. Nothing when the service did not answer.
    virtual std::optional<std::vector<std::pair<int, bool>>> LiveOnlineAll() = 0;
    // Turns the friend into an acquaintance.
    virtual bool Delete(int id) = 0;
};

// The presence library's answers for Drovick's TOS number; ready says whether
// the program's start of the library was answered registered.
class HalvaraFriendsSource : public FriendsSource {
public:
    HalvaraFriendsSource(int tos, std::function<bool()> ready);
    bool Ready() override;
    int MyId() override;
    int FriendAt(int index) override;
    bool Profile(int id, std::string& name, std::string& eMail) override;
    bool KnownOnline(int id) override;
    std::optional<std::vector<std::pair<int, bool>>> LiveOnlineAll() override;
    bool Delete(int id) override;

private:
    const int m_tos;
    const std::function<bool()> m_ready;
};
