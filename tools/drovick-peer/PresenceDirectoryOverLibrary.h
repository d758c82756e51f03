#pragma once

#include "app/peer/PresenceDirectory.h"

#include <atomic>
#include <optional>
#include <string>
#include <vector>

// The search's view of the presence network through the presence library's
// exports. Initialize registers the program without a window; until it has
// answered (without a running halvserve that takes the library's start limit,
// about ten seconds) the directory reports itself not initialised, so a
// server started meanwhile answers its own shares and forwards nothing. The
// registration is given back when the object goes.
class PresenceDirectoryOverLibrary : public PresenceDirectory {
public:
    explicit PresenceDirectoryOverLibrary(int tos = kDrovickTos);
    ~PresenceDirectoryOverLibrary() override;
    PresenceDirectoryOverLibrary(const PresenceDirectoryOverLibrary&) = delete;
    PresenceDirectoryOverLibrary& operator=(const PresenceDirectoryOverLibrary&) = delete;

    // Blocks until the library has answered; only the first call asks. Any thread.
    bool Initialize();
    // True once Initialize has finished, whatever its answer.
    bool HasAnswered() const { return m_state.load() != kPending; }

    bool IsInitialized() override;
    std::string MyAddress() override;
    std::string MyName() override;
    std::vector<std::string> FriendAddresses() override;
    std::optional<std::vector<std::string>> AnonymousAddresses(bool refresh) override;

    // A friends list longer than this is not believed.
    static constexpr int kFriendLimit = 100000;
    // The anonymous acquaintances' text is never asked for in a larger buffer.
    static constexpr int kAnonymousTextLimit = 64 * 1024;

private:
    static constexpr int kPending = 0;
    static constexpr int kReady = 1;
    static constexpr int kFailed = 2;

    std::string AddressOf(int id);

    const int m_tos;
    std::atomic<int> m_state{kPending};
    std::atomic<bool> m_asked{false};
};

// Splits the library's blank-separated address list.
std::vector<std::string> SplitAddressList(const std::string& text);
