#include "QuemblyApp.h"

#include "BridgeDispatcher.h"
#include "bridge/CStdExcept.h"
#include "bridge/MemoryChannel.h"
#include "platform/SingleInstanceGuard.h"

#include <array>
#include <chrono>
#include <csignal>
#include <exception>
#include <system_error>

namespace {
constexpr const char* kUnit = "Quembly";
constexpr auto kPollInterval = std::chrono::milliseconds(50);
// How long the ending service waits for the last client to give the call lock
// back.
constexpr auto kCallLockWait = std::chrono::milliseconds(500);

bool IsAbandonedExchange(const CStdExcept& e) {
    return e.Unit() == "MemoryChannel" && e.Number() == MemoryChannel::kExchangeAbandoned;
}
} // namespace

QuemblyApp::QuemblyApp(EngineFactory engineFactory, std::chrono::milliseconds idleLimit)
    : m_engineFactory(std::move(engineFactory))
    , m_idleLimit(idleLimit) {}

QuemblyApp::~QuemblyApp() {
    // Only reached with a live thread when Run was never called; the loop
    // cannot be interrupted from outside, so the thread is left to the exit.
    if (m_bridgeThread.joinable())
        m_bridgeThread.detach();
}

bool QuemblyApp::InitInstance() {
    try {
        m_guard = platform::SingleInstanceGuard::TryAcquire(kGuardName);
    } catch (const std::exception&) {
        m_exitCode = kExitStartFailed;
        return false;
    }
    if (!m_guard) {
        m_exitCode = kExitAlreadyRunning;
        return false;
    }
    // Socket set-up: a peer that closes early must fail the send, not kill the
    // service.
    std::signal(SIGPIPE, SIG_IGN);
    try {
        StartBridgeThread();
    } catch (const CStdExcept&) {
        m_guard.reset();
        m_exitCode = kExitStartFailed;
        return false;
    }
    return true;
}

void QuemblyApp::StartBridgeThread() {
    if (m_bridgeThread.joinable())
        throw CStdExcept(kUnit, 816);
    m_running.store(1);
    m_bridgeExitCode.store(platform::kThreadStillActive);
    try {
        m_bridgeThread = std::thread([this] { BridgeThread(); });
    } catch (const std::system_error&) {
        throw CStdExcept(kUnit, 824);
    }
}

int QuemblyApp::Run() {
    try {
        WaitForBridgeThread();
    } catch (const CStdExcept&) {
        // The guard goes all the same, so the next launch can start.
    }
    m_guard.reset();
    m_exitCode = kExitDone;
    return m_exitCode;
}

void QuemblyApp::WaitForBridgeThread() {
    if (!m_bridgeThread.joinable())
        throw CStdExcept(kUnit, 833);
    while (m_bridgeExitCode.load() == platform::kThreadStillActive)
        std::this_thread::sleep_for(kPollInterval);
    m_bridgeThread.join();
}

void QuemblyApp::BridgeThread() {
    try {
        // Declared before the channel so that the channel is closed first on
        // every way out (see below).
        std::unique_ptr<PresenceEngine> engine;
        MemoryChannel channel(MemoryChannel::kServiceRole);
        engine = m_engineFactory();
        channel.Open(MemoryChannel::kPageName, 0);
        channel.SetStopFlag(&m_idleStop);
        BridgeDispatcher dispatcher(*engine);
        m_lastExchange.store(std::chrono::steady_clock::now().time_since_epoch().count());
        std::thread watch([this] { WatchIdleness(); });
        struct JoinWatch {
            std::atomic<int>& running;
            std::thread& thread;
            ~JoinWatch() {
                running.store(0);
                thread.join();
            }
        } joinWatch{m_running, watch};
        while (m_running.load() == 1) {
            try {
                channel.BeginExchange();
                ServeOneRequest(channel, dispatcher);
                channel.EndExchange();
                try {
                    m_activeTos.store(engine->NumActiveTOS());
                } catch (const CStdExcept&) {
                    // Unknown: the last count stands.
                }
                m_lastExchange.store(std::chrono::steady_clock::now().time_since_epoch().count());
            } catch (const CStdExcept& e) {
                // A client that died inside its exchange must not take the
                // service, and every other client, down with it.
                if (!IsAbandonedExchange(e))
                    throw;
                channel.RecoverAbandonedExchange();
            }
        }
        // The call lock is taken before the engine winds down (which can take
        // a few seconds), so a client that comes meanwhile waits for the next
        // service instead of sending a request nobody will read. The client of
        // the last exchange may still be giving it back: it is waited for a
        // moment. The channel's close would only take a lock already free.
        try {
            channel.TakeCallLockForEnd(kCallLockWait);
        } catch (const std::exception&) {
            // Without it the channel's close still takes a free lock.
        }
        channel.Close();
        engine.reset();
    } catch (const std::exception&) {
        // Any failure ends the loop the same way: the channel is closed, the
        // engine destroyed, and the process ends.
    }
    m_bridgeExitCode.store(0);
}

void QuemblyApp::WatchIdleness() {
    using Clock = std::chrono::steady_clock;
    while (m_running.load() == 1) {
        std::this_thread::sleep_for(kPollInterval);
        const Clock::time_point last{Clock::duration(m_lastExchange.load())};
        if (m_activeTos.load() == 0 && Clock::now() - last >= m_idleLimit) {
            // The bridge loop's wait for the next request ends with
            // kStopRequested, which ends the loop like any failure.
            m_idleStop.store(true);
            return;
        }
    }
}

void QuemblyApp::ServeOneRequest(MemoryChannel& channel, BridgeDispatcher& dispatcher) {
    std::array<std::uint8_t, BridgeRecord::kSize> request{};
    const int received = channel.Receive(request.data(), request.size());
    if (received <= 0)
        return;
    BridgeReplies replies =
        dispatcher.Handle(std::span<const std::uint8_t>(request.data(), std::size_t(received)));
    for (const BridgeRecord& reply : replies.records)
        channel.Send(reply.Data(), BridgeRecord::kSize);
    if (replies.stopServing)
        m_running.store(0);
}
