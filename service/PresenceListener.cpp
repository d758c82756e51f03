#include "PresenceListener.h"

#include "PresenceCalls.h"
#include "platform/ConnectionPool.h"

#include <arpa/inet.h>
#include <chrono>
#include <ifaddrs.h>
#include <memory>
#include <netinet/in.h>

using presence::Header;

namespace {

// The listener whose connection this thread serves, so that a Stop from a
// handler does not wait for the pool that runs it.
thread_local const PresenceListener* t_serving = nullptr;

} // namespace

bool IsLocalMachineAddress(const std::string& text) {
    in_addr address{};
    if (inet_pton(AF_INET, text.c_str(), &address) != 1)
        return false;
    if ((ntohl(address.s_addr) >> 24) == 127)
        return true;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return false;
    bool found = false;
    for (ifaddrs* entry = list; entry && !found; entry = entry->ifa_next) {
        if (entry->ifa_addr && entry->ifa_addr->sa_family == AF_INET) {
            auto* local = reinterpret_cast<sockaddr_in*>(entry->ifa_addr);
            found = local->sin_addr.s_addr == address.s_addr;
        }
    }
    freeifaddrs(list);
    return found;
}

PresenceListener::PresenceListener(PresenceHandler& handler, std::string address, int port,
                                   int blockLimitMs)
    : m_handler(handler)
    , m_address(std::move(address))
    , m_port(port)
    , m_blockLimitMs(blockLimitMs) {}

PresenceListener::~PresenceListener() {
    Stop();
}

bool PresenceListener::Start() {
    if (m_running.load())
        return false;
    // A loop that ended on a stop request leaves its thread to be collected.
    if (m_thread.joinable())
        m_thread.join();
    m_runFlag.store(true);
    m_running.store(true);
    m_thread = std::thread([this] { Run(); });
    return true;
}

void PresenceListener::Stop() {
    m_runFlag.store(false);
    // Called from a handler, the loop ends after the current connection;
    // waiting for it there would wait forever.
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id() && t_serving != this)
        m_thread.join();
}

void PresenceListener::Run() {
    TimedSocket listening;
    // The port may still be held by a listener that just ended: retry until it
    // is free, noticing a stop request between tries.
    while (m_runFlag.load() && !listening.Listen(m_address, m_port, kBacklog)) {
        for (int waited = 0; waited < kBindRetryMs && m_runFlag.load(); waited += 100)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    m_listening.store(listening.IsOpen());
    // A stop from a handler on a worker ends the accept at once.
    listening.SetBounds(&m_runFlag);
    platform::ConnectionPool pool({kWorkers, kConnectionsPerAddress});
    while (m_runFlag.load()) {
        auto connection = std::make_shared<TimedSocket>();
        listening.SetLimit(kAcceptPollMs);
        if (!listening.Accept(*connection))
            continue;
        connection->SetBounds(&m_runFlag, std::chrono::steady_clock::now() +
                                              std::chrono::milliseconds(m_blockLimitMs));
        // Refused, the connection is closed here as the last reference goes.
        pool.TryRun(connection->PeerAddress(), [this, connection] { ServeOne(*connection); });
    }
    listening.Close();
    // Connections in progress see the cleared run flag and end.
    pool.Close();
    m_listening.store(false);
    m_running.store(false);
}

void PresenceListener::ServeOne(TimedSocket& connection) {
    t_serving = this;
    bool goOn = true;
    try {
        goOn = Serve(connection);
    } catch (...) {
        // A failed contact operation ends this connection, not the loop.
    }
    connection.Close();
    m_served.fetch_add(1);
    if (!goOn)
        m_runFlag.store(false);
    t_serving = nullptr;
}

bool PresenceListener::SendHeader(TimedSocket& connection, const Header& header) {
    auto bytes = header.Encode();
    return SendWithin(connection, bytes.data(), bytes.size(), kSendLimitMs);
}

bool PresenceListener::ReceiveInt32(TimedSocket& connection, std::int32_t& value) {
    std::uint8_t bytes[4];
    if (!ReceiveWithin(connection, bytes, sizeof bytes, m_blockLimitMs))
        return false;
    value = *presence::DecodeInt32(bytes);
    return true;
}

bool PresenceListener::SendInt32(TimedSocket& connection, std::int32_t value) {
    auto bytes = presence::EncodeInt32(value);
    return SendWithin(connection, bytes.data(), bytes.size(), kSendLimitMs);
}

bool PresenceListener::Serve(TimedSocket& connection) {
    std::uint8_t headerBytes[presence::kHeaderSize];
    // A silent peer or a short header costs the loop at most the block limit.
    if (!ReceiveWithin(connection, headerBytes, sizeof headerBytes, m_blockLimitMs))
        return true;
    Header header = *Header::Decode(headerBytes);
    switch (header.Check(m_handler.OwnID())) {
    case Header::Verdict::kDrop:
        return true;
    case Header::Verdict::kRefuse:
        SendHeader(connection, Header::Refusal());
        return true;
    case Header::Verdict::kUnknownType:
        SendHeader(connection, Header::Reply(presence::kRefusal));
        return true;
    case Header::Verdict::kAccept:
        break;
    }
    const std::int32_t caller = header.callerId;
    // A caller without an ID cannot be a contact: its messages are answered
    // but change nothing.
    const bool hasCaller = caller >= 0;

    // Only this computer may stop the listener; anybody else who knows the
    // own ID would otherwise take it off the network.
    if (header.type == presence::kStopListener &&
        !IsLocalMachineAddress(connection.PeerAddress())) {
        SendHeader(connection, Header::Refusal());
        return true;
    }
    if (!SendHeader(connection, Header::Reply(header.type)))
        return true;

    switch (header.type) {
    case presence::kProfileRequest: {
        auto record = presence::EncodeProfile(m_handler.ProfileFor(caller));
        SendWithin(connection, record.data(), record.size(), kSendLimitMs);
        break;
    }
    case presence::kAnnounceIP: {
        std::uint8_t bytes[4];
        if (!ReceiveWithin(connection, bytes, sizeof bytes, m_blockLimitMs))
            break;
        const std::string from = connection.PeerAddress();
        connection.Close();
        if (hasCaller)
            m_handler.AddressAnnounced(caller, *presence::DecodeAddress(bytes), from);
        break;
    }
    case presence::kTOSQuery:
    case presence::kAnonTOSQuery: {
        std::int32_t tos = 0;
        if (!ReceiveInt32(connection, tos))
            break;
        bool active = tos == -1 || m_handler.HasActiveTOS(tos);
        bool answered = SendInt32(connection, active ? 1 : 0);
        const std::string from = connection.PeerAddress();
        // The caller has its answer before the slower contact work starts.
        connection.Close();
        if (answered && hasCaller && header.type == presence::kTOSQuery)
            m_handler.TOSQueried(caller, from);
        break;
    }
    case presence::kStateQuery: {
        std::int32_t value = 0;
        if (!ReceiveInt32(connection, value) || !SendInt32(connection, kStateAnswer))
            break;
        const std::string from = connection.PeerAddress();
        connection.Close();
        if (hasCaller)
            m_handler.StateQueried(caller, value, from);
        break;
    }
    case presence::kAcquaintanceNotice: {
        const std::string from = connection.PeerAddress();
        connection.Close();
        if (hasCaller)
            m_handler.AcquaintanceNoticed(caller, from);
        break;
    }
    case presence::kTOSNotice: {
        std::uint8_t bytes[presence::kTOSNoticeSize];
        if (!ReceiveWithin(connection, bytes, sizeof bytes, m_blockLimitMs))
            break;
        const std::string from = connection.PeerAddress();
        connection.Close();
        auto notice = presence::DecodeTOSNotice(bytes);
        if (notice && hasCaller)
            m_handler.TOSNoticed(caller, notice->tos, notice->on, from);
        break;
    }
    case presence::kKnownQuery:
        SendInt32(connection, hasCaller && m_handler.IsKnown(caller) ? 1 : 0);
        break;
    case presence::kStopListener:
        return false;
    default:
        break;
    }
    return true;
}
