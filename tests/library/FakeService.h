#pragma once

#include "bridge/BridgeRecord.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class MemoryChannel;
namespace platform {
class SingleInstanceGuard;
}

// Plays halvserve's end of the bridge inside the test process, with scripted
// replies, so each client operation can be checked byte by byte. Every request
// is kept; the handler returns the records to send back (none, one, or a first
// reply followed by further blocks).
class FakeService {
public:
    using Handler = std::function<std::vector<BridgeRecord>(const BridgeRecord& request)>;

    explicit FakeService(Handler handler);
    ~FakeService();

    FakeService(const FakeService&) = delete;
    FakeService& operator=(const FakeService&) = delete;

    // Lets go of the service's single-instance guard, as a dying halvserve would.
    void ReleaseGuard();

    std::vector<BridgeRecord> Requests() const;
    std::size_t RequestCount() const;

    // A reply as halvserve builds it: the request with code 28 and the given
    // numbers at 4 and 8.
    static BridgeRecord Reply(const BridgeRecord& request, int first, int second = 0);

private:
    void Run();

    std::unique_ptr<platform::SingleInstanceGuard> m_guard;
    Handler m_handler;
    std::unique_ptr<MemoryChannel> m_channel;
    mutable std::mutex m_mutex;
    std::vector<BridgeRecord> m_requests;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};
