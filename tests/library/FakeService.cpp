#include "FakeService.h"

#include "bridge/MemoryChannel.h"
#include "platform/SingleInstanceGuard.h"

#include <exception>

namespace {
// A code no command uses: tells the serving thread to stop after replying.
constexpr int kStopCode = 4711;
} // namespace

FakeService::FakeService(Handler handler)
    : m_handler(std::move(handler))
    , m_channel(std::make_unique<MemoryChannel>(MemoryChannel::kServiceRole)) {
    // Clients watch the service's guard while they wait, as they do for halvserve.
    m_guard = platform::SingleInstanceGuard::TryAcquire(MemoryChannel::kServiceGuardName);
    m_channel->Open(MemoryChannel::kPageName, 0);
    // Should the waking request below get lost, the waits still end.
    m_channel->SetStopFlag(&m_stop);
    m_thread = std::thread([this] { Run(); });
}

FakeService::~FakeService() {
    // The serving thread waits in Receive; one last request ends it.
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
    // Should the stop request have been lost, the waits end at the next slice.
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
