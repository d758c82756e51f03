#include "FakeService.h"

#include "bridge/MemoryChannel.h"
#include "platform/NamedEvent.h"
#include "platform/SingleInstanceGuard.h"

#include <exception>
#include <unistd.h>

namespace {
// A code no command uses: tells the serving thread to stop after replying.
constexpr int kStopCode = 4711;
// The channel's call lock, by its name.
constexpr const char* kCallLockName = "MemoryChannel function protect";
} // namespace

FakeService::FakeService(Handler handler)
    : m_handler(std::move(handler))
    , m_channel(std::make_unique<MemoryChannel>(MemoryChannel::kServiceRole)) {
    // An ending service takes the call lock with it. A fake that ended in this
    // process did so too, and as this process lives on, the next service would
    // take the lock for a client's that is still inside an exchange: give it back.
    auto callLock = platform::NamedEvent::OpenOrCreate(kCallLockName);
    if (!callLock->IsSignalled() && callLock->LastTaker() == getpid())
        callLock->Set();
    // Clients watch the service's guard while they wait, as they do for halvserve.
    m_guard = platform::SingleInstanceGuard::TryAcquire(MemoryChannel::kServiceGuardName);
    m_channel->Open(MemoryChannel::kPageName, 0);
    // Should the stopping request below get lost, the waits still end.
    m_channel->SetStopFlag(&m_stop);
    m_thread = std::thread([this] { Run(); });
}

FakeService::~FakeService() {
    bool serving;
    {
        std::lock_guard lock(m_mutex);
        serving = m_guard != nullptr;
    }
    // The serving thread waits in Receive; one last request ends it. Without
    // the guard no client gets in, and the stop flag ends the waits instead.
    if (serving) {
        try {
            MemoryChannel waker(MemoryChannel::kClientRole);
            waker.Open(MemoryChannel::kPageName, 1);
            waker.BeginExchange();
            BridgeRecord stop;
            stop.SetCode(kStopCode);
            try {
                waker.Send(stop.Data(), BridgeRecord::kSize);
                waker.Receive(stop.Data(), BridgeRecord::kSize);
            } catch (const std::exception&) {
            }
            waker.EndExchange();
        } catch (const std::exception&) {
        }
    }
    m_stop = true;
    m_thread.join();
    m_channel->SetStopFlag(nullptr);
    m_channel->Close();
}

void FakeService::Run() {
    while (!m_stop) {
        try {
            m_channel->BeginExchange();
            BridgeRecord request;
            int received = m_channel->Receive(request.Data(), BridgeRecord::kSize);
            std::vector<BridgeRecord> replies;
            if (received > 0 && request.Code() == kStopCode) {
                m_channel->Send(Reply(request, 0).Data(), BridgeRecord::kSize);
                m_channel->EndExchange();
                return;
            }
            if (received > 0) {
                {
                    std::lock_guard lock(m_mutex);
                    m_requests.push_back(request);
                }
                replies = m_handler(request);
            }
            for (const BridgeRecord& reply : replies)
                m_channel->Send(reply.Data(), BridgeRecord::kSize);
            m_channel->EndExchange();
        } catch (const std::exception&) {
            try {
                m_channel->EndExchange();
            } catch (const std::exception&) {
            }
        }
    }
}

void FakeService::ReleaseGuard() {
    std::lock_guard lock(m_mutex);
    m_guard.reset();
}

std::vector<BridgeRecord> FakeService::Requests() const {
    std::lock_guard lock(m_mutex);
    return m_requests;
}

std::size_t FakeService::RequestCount() const {
    std::lock_guard lock(m_mutex);
    return m_requests.size();
}

BridgeRecord FakeService::Reply(const BridgeRecord& request, int first, int second) {
    BridgeRecord reply = request;
    reply.SetCode(kCmdReply);
    reply.SetI32At(4, first);
    reply.SetI32At(8, second);
    return reply;
}
