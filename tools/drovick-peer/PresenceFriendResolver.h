#pragma once

#include "app/peer/PresenceDirectory.h"
#include "app/peer/transfer/TransferAgentDownload.h"

#include <string>

// Finds a friend's current address through the presence library: the friends
// list is walked for the profile with that e-mail address, the friend is asked
// live whether Drovick runs there, and the address halvserve knows is taken.
// The library is initialised without a window on the first question and given
// back when the resolver goes.
class PresenceFriendResolver : public FriendResolver {
public:
    explicit PresenceFriendResolver(int applicationId = kDrovickTos);
    ~PresenceFriendResolver() override;
    PresenceFriendResolver(const PresenceFriendResolver&) = delete;
    PresenceFriendResolver& operator=(const PresenceFriendResolver&) = delete;

    std::string AddressOf(const std::string& email) override;

    // Why the last AddressOf gave no address, in words for the user.
    const std::string& Failure() const { return m_failure; }

    // The friends list is never longer than this; a service that keeps
    // answering ids past it is not believed.
    static constexpr int kFriendLimit = 100000;

private:
    bool Ready();
    std::string Fail(const std::string& why);

    const int m_applicationId;
    bool m_tried = false;
    bool m_ready = false;
    std::string m_failure;
};

// True for a text that names a friend rather than a computer.
bool IsEMailAddress(const std::string& host);
