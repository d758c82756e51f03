#pragma once

#include "app/peer/PresenceDirectory.h"
#include "app/peer/messages/InstantMessageSender.h"
#include "app/peer/transfer/TransferAgentDownload.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// The application's one registration with the presence library, shared by
// every front end: it owns the library's start (once per process) and its end,
// and answers the peer services' presence questions through the library's
// exports. Until the start has answered (without a running halvserve that
// takes the library's start limit, about ten seconds) the session reports
// itself not initialised, so a server started meanwhile answers its own shares
// and forwards nothing. The registration is given back when the session goes.
class PresenceSession : public PresenceDirectory, public FriendResolver, public OwnNameSource {
public:
    // Whether a user without a registered identity still gets the TOS number
    // registered, by hand: the identity commands need a running service too.
    enum class Hold { WhenRegistered, EvenUnregistered };

    explicit PresenceSession(int tos = kDrovickTos, Hold hold = Hold::WhenRegistered);
    // Gives the registration back; waits for a start still running on its
    // thread unless LetGoOfPendingStart let it go.
    ~PresenceSession() override;
    PresenceSession(const PresenceSession&) = delete;
    PresenceSession& operator=(const PresenceSession&) = delete;

    // Starts the library and blocks until it answered; only the first call
    // asks, later ones wait for and return its answer. Any thread. True when
    // the active identity is registered.
    bool Start();
    // Start on a thread of the session's own; answered runs there with the
    // result. Called at most once.
    void StartInBackground(std::function<void(bool registered)> answered);
    // True once the start has finished, whatever its answer.
    bool HasAnswered() const { return m_state.load() != kPending; }
    // The library cannot be told to stop waiting for a service that is not
    // there: at quit, a start still pending is left to itself so the program
    // need not wait out the start limit. The caller then ends the process
    // without running static destructors, as the library is still in use.
    void LetGoOfPendingStart();

    // The active identity was registered when the session started.
    bool Registered() const { return m_state.load() == kRegistered; }
    // The service holds the TOS number for us: it runs and answers.
    bool Holding() const { return m_holding.load(); }
    // Flushes the service's state and drops the TOS number; the destructor
    // does it too.
    void Close();

    // The search's questions.
    bool IsInitialized() override;
    std::string MyAddress() override;
    std::string MyName() override;
    std::vector<std::string> FriendAddresses() override;
    std::optional<std::vector<std::string>> AnonymousAddresses(bool refresh) override;

    // The transfer agent's and the messenger's: a friend's current address by
    // e-mail address (the friend is asked live whether Drovick runs there).
    std::string AddressOf(const std::string& email) override;
    // Why the last AddressOf gave no address, in words for the user.
    std::string Failure() const;

    // The own profile name for outgoing messages.
    bool OwnName(std::string& name) override;

    // A friends list longer than this is not believed.
    static constexpr int kFriendLimit = 100000;
    // The anonymous acquaintances' text is never asked for in a larger buffer.
    static constexpr int kAnonymousTextLimit = 64 * 1024;

private:
    static constexpr int kPending = 0;
    static constexpr int kRegistered = 1;
    static constexpr int kUnregistered = 2;

    void StartOnce();
    std::string AddressOfId(int id);
    std::string Fail(const std::string& why);

    const int m_tos;
    const Hold m_hold;
    std::once_flag m_started;
    std::atomic<int> m_state{kPending};
    std::atomic<bool> m_holding{false};
    std::thread m_startThread;
    mutable std::mutex m_failureMutex;
    std::string m_failure;
};
