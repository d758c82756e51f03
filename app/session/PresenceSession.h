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
// and forwards nothing. A start still waiting when the program quits is told
// to give up, so quitting never waits out that limit. The registration is
// given back when the session goes.
class PresenceSession : public PresenceDirectory, public FriendResolver, public OwnNameSource {
public:
    // Whether a user without a registered identity still gets the TOS number
    // registered, by hand: the identity commands need a running service too.
    enum class Hold { WhenRegistered, EvenUnregistered };

    explicit PresenceSession(int tos = kDrovickTos, Hold hold = Hold::WhenRegistered);
    // Cancels a start still pending (CancelPendingStart), then gives the
    // registration back.
    ~PresenceSession() override;
    PresenceSession(const PresenceSession&) = delete;
    PresenceSession& operator=(const PresenceSession&) = delete;

    // With a window (a program's main window; the library never dereferences
    // it) the start is the window program's: Halvara_Initialize with the
    // window as the owner of what the library shows, then, once registered,
    // kAnonymousAcquaintancesAsked anonymous acquaintances of the TOS number.
    // Without one, as by default, it starts headless and shows nothing. Call
    // before the start.
    void SetParentWindow(void* window) { m_parentWindow = window; }

    // Starts the library and blocks until it answered; only the first call
    // asks, later ones wait for and return its answer. Any thread. True when
    // the active identity is registered.
    bool Start();
    // Start on a thread of the session's own; answered runs there with the
    // result. Called at most once.
    void StartInBackground(std::function<void(bool registered)> answered);
    // True once the start has finished, whatever its answer.
    bool HasAnswered() const { return m_state.load() != kPending; }
    // For the program's owner thread at quit: a start still waiting for the
    // presence service gives up (it answers unregistered within about a
    // second) and its thread is joined; a start not begun yet will not ask.
    // After a start that has answered it changes nothing.
    void CancelPendingStart();
    // Leaves a pending start to itself instead; the caller then ends the
    // process without static destructors, as the library is still in use.
    // CancelPendingStart makes this unnecessary.
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
    // How many anonymous acquaintances a window start asks for.
    static constexpr int kAnonymousAcquaintancesAsked = 5;

private:
    static constexpr int kPending = 0;
    static constexpr int kRegistered = 1;
    static constexpr int kUnregistered = 2;

    void StartOnce();
    std::string AddressOfId(int id);
    std::string Fail(const std::string& why);

    const int m_tos;
    const Hold m_hold;
    void* m_parentWindow = nullptr;
    std::atomic<bool> m_cancelled{false};
    std::once_flag m_started;
    std::atomic<int> m_state{kPending};
    std::atomic<bool> m_holding{false};
    std::thread m_startThread;
    mutable std::mutex m_failureMutex;
    std::string m_failure;
};
