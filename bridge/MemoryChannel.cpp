#include "bridge/MemoryChannel.h"

#include "bridge/CStdExcept.h"
#include "platform/ByteOrder.h"
#include "platform/Environment.h"
#include "platform/NamedEvent.h"
#include "platform/ProcessLauncher.h"
#include "platform/SharedPage.h"
#include "platform/SingleInstanceGuard.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <exception>
#include <fcntl.h>
#include <filesystem>
#include <limits>
#include <link.h>
#include <unistd.h>

namespace {

constexpr const char* kUnit = "MemoryChannel";

// Event names as the two ends know them.
constexpr const char* kRequestFullName = "Quembly work wait event recv";
constexpr const char* kReplyFreeName = "Quembly work wait event send";
constexpr const char* kRequestFreeName = "Quembly function copy event send";
constexpr const char* kReplyFullName = "Quembly function copy event recv";
constexpr const char* kMemoryLockName = "Quembly mem wait event";
constexpr const char* kCallLockName = "MemoryChannel function protect";

constexpr const char* kServiceProgram = "halvserve";
// Longest start-up limit the environment may ask for.
constexpr long kLongestStartLimitMs = 600'000;

std::chrono::milliseconds StartLimit() {
    const long fallback = static_cast<long>(MemoryChannel::kStartLimit.count());
    long value = platform::EnvironmentMilliseconds("HALVARA_BRIDGE_START_LIMIT_MS", fallback, 0,
                                                   std::numeric_limits<long>::max());
    return std::chrono::milliseconds(std::min(value, kLongestStartLimitMs));
}

// The folder of the binary this code is linked into: libhalvara.so for the
// library, the program itself for halvserve or a test.
std::filesystem::path OwnBinaryFolder() {
    Dl_info info{};
    link_map* map = nullptr;
    void* self = reinterpret_cast<void*>(&StartLimit);
    if (dladdr1(self, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) != 0 &&
        map != nullptr && map->l_name != nullptr && map->l_name[0] == '/')
        return std::filesystem::path(map->l_name).parent_path();
    // The main program has no name of its own in the link map.
    std::error_code error;
    auto program = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : program.parent_path();
}

// True when the event is taken by a process that still exists.
bool HeldByLiveProcess(const platform::NamedEvent& event) {
    return !event.IsSignalled() && event.LastTaker() != 0 && !event.IsHeldByDeadProcess();
}

bool CanOpenForReading(const std::filesystem::path& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

} // namespace

MemoryChannel::MemoryChannel(int role)
    : m_role(role) {}

MemoryChannel::~MemoryChannel() {
    Close();
}

void MemoryChannel::Open(std::string_view name, int /*flag*/) {
    if (m_openFlag != 0)
        throw CStdExcept(kUnit, 36);
    // Everything is made first and only then kept, so a refusal changes nothing.
    std::unique_ptr<platform::SharedPage> mapping;
    std::unique_ptr<platform::NamedEvent> events[6];
    try {
        mapping = platform::SharedPage::OpenOrCreate(name, kPageSize);
        const char* names[6] = {kReplyFreeName, kRequestFullName, kRequestFreeName,
                                kReplyFullName, kMemoryLockName,  kCallLockName};
        for (int i = 0; i < 6; ++i)
            events[i] = platform::NamedEvent::OpenOrCreate(names[i]);
    } catch (const std::exception&) {
        throw CStdExcept(kUnit, 43);
    }
    m_mapping = std::move(mapping);
    m_requestHalf = m_mapping->Data();
    m_replyHalf = m_mapping->Data() + kHalfSize;
    m_replyFree = std::move(events[0]);
    m_requestFull = std::move(events[1]);
    m_requestFree = std::move(events[2]);
    m_replyFull = std::move(events[3]);
    m_memoryLock = std::move(events[4]);
    m_callLock = std::move(events[5]);
    m_exchangeActive = 0;
    m_holdsCallLock = false;
    m_openFlag = 1;
    if (m_role == kServiceRole) {
        // Whatever a crashed service left on the reply side is forgotten.
        m_replyFree->Reset();
        m_replyFull->Reset();
        if (HeldByLiveProcess(*m_callLock)) {
            // A client got in before this service came up and may already have
            // sent its request: keep its exchange, answer it first.
            if (!HeldByLiveProcess(*m_memoryLock))
                m_memoryLock->Set();
        } else {
            m_requestFull->Reset();
            m_requestFree->Reset();
            ResetLocks();
        }
    }
}

void MemoryChannel::Close() {
    if (m_openFlag != 0 && m_role == kClientRole && StillHoldsCallLock()) {
        // Closed in the middle of an exchange: never keep the other clients out.
        m_requestFree->Reset();
        m_callLock->Set();
    }
    if (m_openFlag != 0 && m_role == kServiceRole && m_callLock->IsSignalled()) {
        // No service answers from now on: clients wait in BeginExchange for the
        // next one's ResetLocks instead of sending requests nobody reads.
        m_callLock->Wait(std::chrono::milliseconds(0));
    }
    m_holdsCallLock = false;
    m_exchangeActive = 0;
    m_replyFree.reset();
    m_requestFull.reset();
    m_requestFree.reset();
    m_replyFull.reset();
    m_memoryLock.reset();
    m_callLock.reset();
    m_mapping.reset();
    m_replyHalf = nullptr;
    m_requestHalf = nullptr;
    m_openFlag = 0;
}

void MemoryChannel::CheckStopFlag() const {
    if (m_stopFlag != nullptr && m_stopFlag->load())
        throw CStdExcept(kUnit, kStopRequested);
}

void MemoryChannel::CheckPeer() const {
    if (m_role == kClientRole) {
        if (!platform::SingleInstanceGuard::IsHeld(kServiceGuardName))
            throw CStdExcept(kUnit, kServiceGone);
        return;
    }
    CheckStopFlag();
    if (m_callLock->IsHeldByDeadProcess())
        throw CStdExcept(kUnit, kExchangeAbandoned);
}

bool MemoryChannel::StillHoldsCallLock() const {
    return m_holdsCallLock && !m_callLock->IsSignalled() && m_callLock->LastTaker() == getpid();
}

void MemoryChannel::CheckStillInExchange(platform::NamedEvent& taken) {
    if (m_role != kClientRole || StillHoldsCallLock())
        return;
    // A restarted service freed the call lock while this client waited for the
    // old one: the event just taken belongs to whichever client is in now.
    taken.Set();
    m_holdsCallLock = false;
    throw CStdExcept(kUnit, kServiceGone);
}

void MemoryChannel::AwaitEvent(platform::NamedEvent& event, bool reclaimFromDeadHolder) {
    while (!event.Wait(kWaitSlice)) {
        // The memory lock only guards a copy: one left by a dead process is
        // simply taken over by whoever waits for it.
        if (reclaimFromDeadHolder && event.TakeOverFromDeadHolder())
            return;
        CheckPeer();
    }
}

void MemoryChannel::Send(const void* bytes, std::size_t length) {
    if (m_openFlag == 0 || m_exchangeActive == 0 || length > kMaxPayload ||
        (bytes == nullptr && length != 0))
        throw CStdExcept(kUnit, 65);
    const bool client = m_role == kClientRole;
    std::uint8_t* half = client ? m_requestHalf : m_replyHalf;
    platform::NamedEvent& free = client ? *m_requestFree : *m_replyFree;
    AwaitEvent(free, false);
    CheckStillInExchange(free);
    AwaitEvent(*m_memoryLock, true);
    platform::StoreLE32s(half, static_cast<std::int32_t>(length));
    if (length != 0)
        std::memcpy(half + 4, bytes, length);
    m_memoryLock->Set();
    (client ? m_requestFull : m_replyFull)->Set();
}

int MemoryChannel::Receive(void* buffer, std::size_t capacity) {
    if (m_openFlag == 0 || m_exchangeActive == 0)
        throw CStdExcept(kUnit, 113);
    const bool client = m_role == kClientRole;
    const std::uint8_t* half = client ? m_replyHalf : m_requestHalf;
    platform::NamedEvent& full = client ? *m_replyFull : *m_requestFull;
    AwaitEvent(full, false);
    CheckStillInExchange(full);
    AwaitEvent(*m_memoryLock, true);
    // The page is writable by every process of the session: never trust the
    // length word beyond the half it sits in.
    std::int32_t stored = platform::LoadLE32s(half);
    std::size_t length = stored < 0 ? 0 : std::min<std::size_t>(std::size_t(stored), kMaxPayload);
    std::size_t copied = buffer == nullptr ? 0 : std::min(length, capacity);
    if (copied != 0)
        std::memcpy(buffer, half + 4, copied);
    // A service answered: whatever this client launched has come up.
    if (client)
        m_launchedAt.reset();
    m_memoryLock->Set();
    (client ? m_replyFree : m_requestFree)->Set();
    return static_cast<int>(copied);
}

void MemoryChannel::BeginExchange() {
    if (m_openFlag == 0)
        throw CStdExcept(kUnit, 240);
    if (m_role == kClientRole) {
        CheckStopFlag();
        // A service that is not running yet may still be starting (the library
        // launches it just before its first call): wait for it for the start-up
        // limit. While it runs, waiting for the other clients has no limit.
        const auto start = std::chrono::steady_clock::now();
        const auto limit = StartLimit();
        // A free call lock is the common case and costs no guard check: a
        // service that ends takes the lock with it, so it is only free without
        // a service after a crash, and then the exchange's own waits notice.
        if (!m_callLock->Wait(std::chrono::milliseconds(0))) {
            // Never queue up while no service runs: a request sent then would
            // be read by nobody.
            while (!platform::SingleInstanceGuard::IsHeld(kServiceGuardName)) {
                CheckStopFlag();
                if (std::chrono::steady_clock::now() - start >= limit)
                    throw CStdExcept(kUnit, kServiceGone);
                LaunchIfNobodyWill();
                struct timespec pause {
                    0, 20'000'000
                };
                nanosleep(&pause, nullptr);
            }
            while (!m_callLock->Wait(kWaitSlice)) {
                // Nothing is sent yet, so giving up here leaves nothing behind.
                CheckStopFlag();
                if (platform::SingleInstanceGuard::IsHeld(kServiceGuardName))
                    continue;
                if (std::chrono::steady_clock::now() - start >= limit)
                    throw CStdExcept(kUnit, kServiceGone);
                LaunchIfNobodyWill();
            }
        }
        m_holdsCallLock = true;
        m_exchangeActive = 1;
        m_requestFree->Set();
    } else {
        m_exchangeActive = 1;
        m_replyFree->Set();
    }
}

void MemoryChannel::LaunchIfNobodyWill() {
    // A service that ended (or was killed) keeps the call lock, and so does a
    // client killed inside its exchange: only the next service's Open frees
    // it. When no service runs and this client has not just launched one, it
    // launches one instead of waiting out the start-up limit for nobody.
    if (!m_launchWhenMissing || !m_callLock->IsHeldByDeadProcess())
        return;
    if (m_launchedAt && std::chrono::steady_clock::now() - *m_launchedAt < StartLimit())
        return;
    if (platform::SingleInstanceGuard::IsHeld(kServiceGuardName))
        return;
    StartService();
}

void MemoryChannel::EndExchange() {
    if (m_openFlag == 0)
        throw CStdExcept(kUnit, 256);
    m_exchangeActive = 0;
    if (m_role == kClientRole) {
        m_requestFree->Reset();
        if (StillHoldsCallLock())
            m_callLock->Set();
        m_holdsCallLock = false;
    } else {
        m_replyFree->Reset();
    }
}

void MemoryChannel::ResetLocks() {
    if (m_openFlag == 0)
        throw CStdExcept(kUnit, 272);
    m_callLock->Set();
    m_memoryLock->Set();
}

bool MemoryChannel::TakeCallLockForEnd(std::chrono::milliseconds limit) {
    if (m_openFlag == 0 || m_role != kServiceRole)
        throw CStdExcept(kUnit, kEndRefused);
    // The lock of a client that died holding it is free for the taking.
    if (m_callLock->TakeOverFromDeadHolder())
        return true;
    return m_callLock->Wait(limit);
}

void MemoryChannel::RecoverAbandonedExchange() {
    if (m_openFlag == 0 || m_role != kServiceRole)
        throw CStdExcept(kUnit, kRecoverRefused);
    m_requestFull->Reset();
    m_replyFull->Reset();
    m_requestFree->Reset();
    m_replyFree->Reset();
    m_exchangeActive = 0;
    if (m_memoryLock->TakeOverFromDeadHolder())
        m_memoryLock->Set();
    // Only a call lock whose holder is gone is freed: a live client keeps its
    // exchange.
    if (m_callLock->TakeOverFromDeadHolder())
        m_callLock->Set();
}

std::filesystem::path MemoryChannel::ServiceProgram() {
    const std::string configured = platform::EnvironmentText("HALVSERVE_PATH");
    if (!configured.empty())
        return configured;
    auto folder = OwnBinaryFolder();
    auto beside = folder / kServiceProgram;
    if (CanOpenForReading(beside))
        return beside;
    return (folder / ".." / "libexec" / "halvara" / kServiceProgram).lexically_normal();
}

void MemoryChannel::StartService() {
    const std::filesystem::path program = ServiceProgram();
    if (!CanOpenForReading(program))
        throw CStdExcept(kUnit, 203);
    if (!platform::LaunchDetached(program, {}, program.parent_path()))
        throw CStdExcept(kUnit, 206);
    m_launchedAt = std::chrono::steady_clock::now();
}
