#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
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

    bool IsOpen() const { return m_openFlag != 0; }
    int Role() const { return m_role; }
    bool ExchangeActive() const { return m_exchangeActive != 0; }

private:
    // Fields in the designed order.
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
};
