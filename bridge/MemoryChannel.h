#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>

namespace platform {
class NamedEvent;
class SharedPage;
} // namespace platform

// The one link between the Halvara library and halvserve: a one-slot mailbox in
// each direction inside the shared page "Quembly bridge global memory", guarded
// by six named auto-reset events. One class serves both ends; the role chosen at
// construction decides which half a side writes and which events it waits on.
//
// Page layout (little-endian, no header): [0] request length, [4] request
// payload; [2048] reply length, [2052] reply payload. A payload holds at most
// 2044 bytes.
//
// Every refusal throws CStdExcept with unit "MemoryChannel".
//
// A desktop must never freeze on a dead peer, so no wait here is unbounded:
// - Every wait of the client runs in slices of kWaitSlice; between slices the
//   client checks that the service still holds its single-instance guard. Inside
//   an exchange a missing service fails at once (kServiceGone). BeginExchange
//   tolerates a service that is not up yet for the start-up limit (kStartLimit,
//   or HALVARA_BRIDGE_START_LIMIT_MS), then fails the same way.
// - The service's waits run in slices too and check whether the call lock is
//   held by a process that has died; then the exchange is abandoned
//   (kExchangeAbandoned) and the bridge loop calls RecoverAbandonedExchange
//   before it goes on. A memory lock held by a dead process is taken over by
//   whoever waits for it (it only guards a copy).
// - A service that ends takes the call lock with it, and a client that has to
//   wait for the call lock first waits for the service's guard, so no request
//   is sent that nobody reads. The service's Open clears the reply events; it clears the
//   request events and frees both locks too, unless a live client already holds
//   the call lock (one that got in just before it came up): that client's
//   request is kept and answered first.
// - The client resets request-free before it gives the call lock back (not
//   after), so its reset cannot wipe the permission the next client has just
//   been given; and it gives back only a call lock it really took, so an
//   EndExchange after a failed BeginExchange never lets two clients in. A
//   client whose call lock was freed by a restarted service fails its exchange
//   (kServiceGone) instead of taking another client's events.
class MemoryChannel {
public:
    static constexpr int kServiceRole = 1;
    static constexpr int kClientRole = 0;
    static constexpr std::size_t kPageSize = 4096;
    static constexpr std::size_t kHalfSize = 2048;
    static constexpr std::size_t kMaxPayload = kHalfSize - 4;
    static constexpr const char* kPageName = "Quembly bridge global memory";
    // The single-instance guard of the service; the client checks it while it waits.
    static constexpr const char* kServiceGuardName = "Quembly class Class";

    // Refusals beyond the channel's own numbered ones.
    // Client: the service does not hold its guard (gone, or never came up within
    // the start-up limit).
    static constexpr int kServiceGone = 300;
    // Service: the client that holds the call lock died inside the exchange.
    static constexpr int kExchangeAbandoned = 301;
    // Either side: the stop flag given to SetStopFlag turned true while waiting.
    static constexpr int kStopRequested = 302;
    // RecoverAbandonedExchange on a channel that is not open on the service side.
    static constexpr int kRecoverRefused = 303;
    // TakeCallLockForEnd on a channel that is not open on the service side.
    static constexpr int kEndRefused = 304;

    // Longest single wait before a side looks at its peer again.
    static constexpr std::chrono::milliseconds kWaitSlice{500};
    // How long BeginExchange waits for a service that is not running yet.
    static constexpr std::chrono::milliseconds kStartLimit{10000};

    explicit MemoryChannel(int role);
    ~MemoryChannel();

    MemoryChannel(const MemoryChannel&) = delete;
    MemoryChannel& operator=(const MemoryChannel&) = delete;

    void Open(std::string_view name, int flag);
    void Close();
    void Send(const void* bytes, std::size_t length);
    int Receive(void* buffer, std::size_t capacity);
    void BeginExchange();
    void EndExchange();
    void ResetLocks();
    // Client side only: launches halvserve (203 when the program file is
    // missing, 206 when it cannot be started).
    void StartService();
    // The program StartService launches: HALVSERVE_PATH when set, else
    // "halvserve" beside the binary that holds this code, else
    // <that folder>/../libexec/halvara/halvserve.
    static std::filesystem::path ServiceProgram();
    // Client side: while BeginExchange waits, launch halvserve when none runs
    // and the call lock is held by a process that has died (a service that
    // ended or was killed, a client killed in its exchange), unless this
    // client launched one within the start-up limit and none has answered.
    void LaunchServiceWhenMissing(bool launch) { m_launchWhenMissing = launch; }

    // Service side: after kExchangeAbandoned, puts the channel back into the
    // idle state (the four data events cleared, not active, a memory lock or call
    // lock left by the dead client freed) so the next client can get in.
    void RecoverAbandonedExchange();

    // Service side, once the service has decided to end: waits up to limit for
    // the last client to give the call lock back, then keeps it, so a client
    // that comes while the engine winds down waits for the next service instead
    // of sending a request nobody reads. True when the lock is now held by this
    // service; false when a client still held it at the limit (Close then takes
    // it if it has come free). kEndRefused on a closed or client-side channel.
    bool TakeCallLockForEnd(std::chrono::milliseconds limit);

    // The waits also end (kStopRequested) once *stop is true: every wait of
    // the service, and the client's waits before its exchange has begun (for
    // a service to come up, for the call lock). An exchange the client has
    // begun is finished whatever the flag says: its reply would otherwise be
    // read by the next client. The flag is looked at once a slice, so a stop
    // is seen within kWaitSlice. It must outlive the channel or be reset to
    // null first.
    void SetStopFlag(const std::atomic<bool>* stop) { m_stopFlag = stop; }

    bool IsOpen() const { return m_openFlag != 0; }
    int Role() const { return m_role; }
    bool ExchangeActive() const { return m_exchangeActive != 0; }

private:
    std::uint8_t* m_replyHalf = nullptr;
    std::uint8_t* m_requestHalf = nullptr;
    int m_openFlag = 0;
    const int m_role;
    int m_exchangeActive = 0;
    std::unique_ptr<platform::SharedPage> m_mapping;
    std::unique_ptr<platform::NamedEvent> m_replyFree;
    std::unique_ptr<platform::NamedEvent> m_requestFull;
    std::unique_ptr<platform::NamedEvent> m_requestFree;
    std::unique_ptr<platform::NamedEvent> m_replyFull;
    std::unique_ptr<platform::NamedEvent> m_memoryLock;
    std::unique_ptr<platform::NamedEvent> m_callLock;

    // Whether this client holds the call lock, and the service's optional
    // stop flag.
    bool m_holdsCallLock = false;
    const std::atomic<bool>* m_stopFlag = nullptr;
    // When this client last launched the service (cleared once one answers),
    // and whether it launches one when it finds none that could answer.
    std::optional<std::chrono::steady_clock::time_point> m_launchedAt;
    bool m_launchWhenMissing = false;

    void AwaitEvent(platform::NamedEvent& event, bool reclaimFromDeadHolder);
    void CheckPeer() const;
    void CheckStopFlag() const;
    bool StillHoldsCallLock() const;
    void LaunchIfNobodyWill();
    void CheckStillInExchange(platform::NamedEvent& taken);
};
