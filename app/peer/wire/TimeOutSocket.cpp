#include "app/peer/wire/TimeOutSocket.h"

#include "platform/SocketConnect.h"
#include "platform/SocketWait.h"

#include <algorithm>
#include <cerrno>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

} // namespace

TimeOutSocket::~TimeOutSocket() {
    Close();
}

void TimeOutSocket::Close() {
    if (m_fd >= 0)
        close(m_fd);
    m_fd = -1;
}

void TimeOutSocket::Adopt(int fd) {
    Close();
    m_fd = fd;
    m_receiveCutoff = Clock::time_point::max();
}

bool TimeOutSocket::SetTimeOut(std::chrono::milliseconds limit) {
    m_armed = true;
    m_deadline = Clock::now() + std::max(limit, std::chrono::milliseconds(0));
    return true;
}

void TimeOutSocket::KillTimeOut() {
    m_armed = false;
}

Clock::time_point TimeOutSocket::CallDeadline() const {
    return m_armed ? m_deadline : Clock::now() + kPeerCallLimit;
}

Clock::time_point TimeOutSocket::ReceiveDeadline() const {
    return std::min(CallDeadline(), m_receiveCutoff);
}

bool TimeOutSocket::Connect(const std::string& host, int port) {
    return Connect(host, port, {});
}

bool TimeOutSocket::Connect(const std::string& host, int port, const std::string& localAddress) {
    KillTimeOut();
    SetTimeOut(kPeerCallLimit);
    Close();
    int error =
        platform::ConnectWithin(host, port, localAddress, {CallDeadline(), m_running}, m_fd);
    if (error != 0)
        m_lastError = error;
    return error == 0;
}

bool TimeOutSocket::Listen(const std::string& address, int port, int backlog) {
    Close();
    int error = platform::ListenOn(address, port, backlog, m_fd);
    if (error != 0)
        m_lastError = error;
    return error == 0;
}

bool TimeOutSocket::Accept(TimeOutSocket& connection) {
    if (m_fd < 0) {
        m_lastError = EBADF;
        return false;
    }
    int fd = -1;
    if (int error = platform::AcceptWithin(m_fd, {CallDeadline(), m_running}, fd); error != 0) {
        m_lastError = error;
        return false;
    }
    connection.Adopt(fd);
    return true;
}

std::size_t TimeOutSocket::Send(const void* data, std::size_t count) {
    if (m_fd < 0) {
        m_lastError = EBADF;
        return 0;
    }
    auto sent = platform::SendAll(m_fd, data, count, {CallDeadline(), m_running});
    if (sent.error != 0)
        m_lastError = sent.error;
    return sent.bytes;
}

long TimeOutSocket::Receive(void* buffer, std::size_t count) {
    if (m_fd < 0) {
        m_lastError = EBADF;
        return -1;
    }
    return platform::ReceiveSome(m_fd, buffer, count, {ReceiveDeadline(), m_running}, m_lastError);
}

std::size_t TimeOutSocket::ReceiveAll(void* buffer, std::size_t count) {
    // Every receive gets the full per-call limit of its own.
    auto nextReceive = [this]() -> platform::SocketCall {
        SetTimeOut(kPeerCallLimit);
        return {ReceiveDeadline(), m_running};
    };
    if (m_fd < 0) {
        if (count > 0) {
            nextReceive();
            m_lastError = EBADF;
        }
        return 0;
    }
    auto received = platform::ReceiveEachWithin(m_fd, buffer, count, nextReceive, 0);
    if (received.error != 0)
        m_lastError = received.error;
    return received.bytes;
}

// Receives under the limit already armed, until count bytes arrived or a receive
// fails or meets the end of the stream.
std::size_t TimeOutSocket::ReceiveExact(void* buffer, std::size_t count) {
    if (m_fd < 0) {
        if (count > 0)
            m_lastError = EBADF;
        return 0;
    }
    auto received = platform::ReceiveAll(m_fd, buffer, count, {ReceiveDeadline(), m_running});
    if (received.ended)
        m_lastError = ECONNRESET;
    else if (received.error != 0)
        m_lastError = received.error;
    return received.bytes;
}

bool TimeOutSocket::SendInt32(std::int32_t value, std::chrono::milliseconds limit) {
    SetTimeOut(limit);
    auto bytes = EncodeInt32(value);
    return Send(bytes.data(), bytes.size()) == bytes.size();
}

bool TimeOutSocket::ReceiveInt32(std::int32_t& value, std::chrono::milliseconds limit) {
    SetTimeOut(limit);
    std::uint8_t bytes[kInt32Size];
    if (ReceiveExact(bytes, sizeof bytes) != sizeof bytes)
        return false;
    return DecodeInt32(bytes, value);
}

bool TimeOutSocket::SendText(std::string_view text, std::size_t width,
                             std::chrono::milliseconds limit) {
    return SendBlock(EncodeTextField(text, width), limit);
}

bool TimeOutSocket::ReceiveText(std::string& text, std::size_t width,
                                std::chrono::milliseconds limit) {
    std::vector<std::uint8_t> field;
    return ReceiveBlock(field, width, limit) && DecodeTextField(field, width, text);
}

bool TimeOutSocket::SendBlock(const std::vector<std::uint8_t>& bytes,
                              std::chrono::milliseconds limit) {
    SetTimeOut(limit);
    return Send(bytes.data(), bytes.size()) == bytes.size();
}

bool TimeOutSocket::ReceiveBlock(std::vector<std::uint8_t>& bytes, std::size_t count,
                                 std::chrono::milliseconds limit) {
    SetTimeOut(limit);
    bytes.assign(count, 0);
    return ReceiveExact(bytes.data(), count) == count;
}

std::string TimeOutSocket::PeerAddress() const {
    return platform::PeerAddressOf(m_fd);
}

int TimeOutSocket::LocalPort() const {
    return platform::LocalPortOf(m_fd);
}
