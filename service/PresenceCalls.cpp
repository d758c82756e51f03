#include "PresenceCalls.h"

#include "bridge/CStdExcept.h"

#include <chrono>

namespace {

constexpr const char* kUnit = "Protocol";

enum Failure {
    kNoLocalAddress = 31,
    kBadArguments = 39,
    kConnectFailed = 51,
    kHeaderSend = 68,
    kPayloadSend = 70,
    kHeaderReceive = 81,
    kPayloadReceive = 84,
    kBadReply = 92,
    kBadAnswer = 96,
};

[[noreturn]] void Fail(int number) {
    throw CStdExcept(kUnit, number);
}

} // namespace

std::timed_mutex& PeerLock() {
    static std::timed_mutex lock;
    return lock;
}

bool SendWithin(TimedSocket& socket, const void* data, std::size_t n, int ms) {
    return socket.SetLimit(ms) && socket.Send(data, n) == n;
}

bool ReceiveWithin(TimedSocket& socket, void* buffer, std::size_t n, int ms) {
    // One limit for the whole block: a peer that sends a byte now and then
    // cannot stretch a block past it, as it could with a fresh limit per call.
    if (!socket.SetLimit(ms))
        return false;
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    std::size_t received = 0;
    while (received < n) {
        long result = socket.Receive(bytes + received, n - received);
        if (result <= 0)
            return false;
        received += static_cast<std::size_t>(result);
    }
    return true;
}

PresenceCalls::PresenceCalls(AddressSource localAddress, int port, int blockLimitMs)
    : m_localAddress(std::move(localAddress))
    , m_port(port)
    , m_blockLimitMs(blockLimitMs) {}

PresenceCalls PresenceCalls::BoundedTo(std::chrono::milliseconds limit) const {
    return BoundedUntil(std::chrono::steady_clock::now() + limit);
}

PresenceCalls PresenceCalls::BoundedUntil(std::chrono::steady_clock::time_point cutoff) const {
    PresenceCalls bounded(*this);
    bounded.m_running = nullptr;
    bounded.m_cutoff = cutoff;
    return bounded;
}

TimedSocket PresenceCalls::Connect(const std::string& calleeIp, std::int32_t type,
                                   std::int32_t calleeId, std::int32_t callerId) {
    std::string local = m_localAddress ? m_localAddress() : std::string("0.0.0.0");
    if (local.empty() || local == "0.0.0.0")
        Fail(kNoLocalAddress);
    bool anonymous = type == presence::kAnonTOSQuery && callerId == -1;
    if ((callerId < 0 && !anonymous) || calleeIp == "0.0.0.0" || !IsDottedQuad(calleeIp))
        Fail(kBadArguments);

    TimedSocket socket;
    socket.SetBounds(m_running, m_cutoff);
    if (!socket.ConnectWithin(calleeIp, m_port, TimedSocket::kConnectLimitMs))
        Fail(kConnectFailed);
    auto request = presence::Header::Request(type, calleeId, callerId).Encode();
    if (!SendWithin(socket, request.data(), request.size(), kSendLimitMs))
        Fail(kHeaderSend);
    std::uint8_t replyBytes[presence::kHeaderSize];
    if (!ReceiveWithin(socket, replyBytes, sizeof replyBytes, m_blockLimitMs))
        Fail(kHeaderReceive);
    auto reply = presence::Header::Decode(replyBytes);
    if (!reply || !reply->IsReplyTo(type))
        Fail(kBadReply);
    return socket;
}

void PresenceCalls::SendPayload(TimedSocket& socket, const void* data, std::size_t n) {
    if (!SendWithin(socket, data, n, kSendLimitMs))
        Fail(kPayloadSend);
}

void PresenceCalls::ReceivePayload(TimedSocket& socket, void* buffer, std::size_t n) {
    if (!ReceiveWithin(socket, buffer, n, m_blockLimitMs))
        Fail(kPayloadReceive);
}

std::int32_t PresenceCalls::ReceiveAnswer(TimedSocket& socket) {
    std::uint8_t bytes[4];
    ReceivePayload(socket, bytes, sizeof bytes);
    return *presence::DecodeInt32(bytes);
}

std::int32_t PresenceCalls::YesOrNo(std::int32_t answer) {
    if (answer != 0 && answer != 1)
        Fail(kBadAnswer);
    return answer;
}

presence::PeerProfile PresenceCalls::RequestProfile(const std::string& calleeIp,
                                                    std::int32_t calleeId, std::int32_t callerId) {
    TimedSocket socket = Connect(calleeIp, presence::kProfileRequest, calleeId, callerId);
    std::uint8_t bytes[presence::kProfileSize];
    ReceivePayload(socket, bytes, sizeof bytes);
    return *presence::DecodeProfile(bytes);
}

void PresenceCalls::AnnounceIP(const std::string& calleeIp, std::int32_t calleeId,
                               std::int32_t callerId, const std::string& ownIp) {
    // Checked before any connection: a text that is no address is our fault.
    auto address = presence::EncodeAddress(ownIp);
    TimedSocket socket = Connect(calleeIp, presence::kAnnounceIP, calleeId, callerId);
    SendPayload(socket, address.data(), address.size());
}

std::int32_t PresenceCalls::TOSQuery(const std::string& calleeIp, std::int32_t calleeId,
                                     std::int32_t callerId, std::int32_t tos) {
    TimedSocket socket = Connect(calleeIp, presence::kTOSQuery, calleeId, callerId);
    auto payload = presence::EncodeInt32(tos);
    SendPayload(socket, payload.data(), payload.size());
    return YesOrNo(ReceiveAnswer(socket));
}

std::int32_t PresenceCalls::StateQuery(const std::string& calleeIp, std::int32_t calleeId,
                                       std::int32_t callerId, std::int32_t value) {
    TimedSocket socket = Connect(calleeIp, presence::kStateQuery, calleeId, callerId);
    auto payload = presence::EncodeInt32(value);
    SendPayload(socket, payload.data(), payload.size());
    return ReceiveAnswer(socket);
}

void PresenceCalls::AcquaintanceNotice(const std::string& calleeIp, std::int32_t calleeId,
                                       std::int32_t callerId) {
    Connect(calleeIp, presence::kAcquaintanceNotice, calleeId, callerId);
}

void PresenceCalls::TOSNotice(const std::string& calleeIp, std::int32_t calleeId,
                              std::int32_t callerId, std::int32_t tos, bool on) {
    TimedSocket socket = Connect(calleeIp, presence::kTOSNotice, calleeId, callerId);
    auto payload = presence::EncodeTOSNotice({tos, on});
    SendPayload(socket, payload.data(), payload.size());
}

std::int32_t PresenceCalls::KnownQuery(const std::string& calleeIp, std::int32_t calleeId,
                                       std::int32_t callerId) {
    TimedSocket socket = Connect(calleeIp, presence::kKnownQuery, calleeId, callerId);
    return YesOrNo(ReceiveAnswer(socket));
}

void PresenceCalls::StopListener(const std::string& ownIp, std::int32_t ownId) {
    Connect(ownIp, presence::kStopListener, ownId, ownId);
}

std::int32_t PresenceCalls::AnonTOSQuery(const std::string& calleeIp, std::int32_t tos) {
    TimedSocket socket = Connect(calleeIp, presence::kAnonTOSQuery, -1, -1);
    auto payload = presence::EncodeInt32(tos);
    SendPayload(socket, payload.data(), payload.size());
    return YesOrNo(ReceiveAnswer(socket));
}
