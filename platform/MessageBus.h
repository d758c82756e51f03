#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>

namespace platform {

// A registered message as it arrives: its number and its two parameters.
struct BusMessage {
    std::uint32_t number = 0;
    std::uint64_t wParam = 0;
    std::uint64_t lParam = 0;
};

// The session message bus that stands for registered window messages posted to
// all top-level windows.
//
// RegisterMessage gives every name a number that is stable within the session
// (0xC000 and up), kept in a small table file in the namespace under a lock.
// PostToAll sends one datagram to every receiver socket in <namespace>/windows/
// and removes sockets whose owner is gone.
class MessageBus {
public:
    static std::uint32_t RegisterMessage(std::string_view name);
    // Returns the number of receivers the message was delivered to.
    static int PostToAll(std::uint32_t number, std::uint64_t wParam = 0, std::uint64_t lParam = 0);
};

// One process's place on the bus (a "top-level window"): a Unix datagram socket
// bound in <namespace>/windows/. A Qt application watches Fd() with a
// QSocketNotifier; other programs call Receive.
class MessageReceiver {
public:
    // Throws std::system_error when the socket cannot be made.
    static std::unique_ptr<MessageReceiver> Create();
    ~MessageReceiver(); // unbinds and removes its socket file

    MessageReceiver(const MessageReceiver&) = delete;
    MessageReceiver& operator=(const MessageReceiver&) = delete;

    int Fd() const { return m_fd; }
    // The next message, waiting at most the limit; nothing when none came.
    std::optional<BusMessage> Receive(std::chrono::milliseconds limit);

private:
    MessageReceiver(int fd, std::filesystem::path path);
    int m_fd;
    std::filesystem::path m_path;
};

} // namespace platform
