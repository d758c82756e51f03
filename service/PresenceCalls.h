#pragma once

#include "NetUtilities.h"
#include "PresenceMessage.h"
#include "TimedSocket.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

// The process-wide peer lock: the current-IP probe holds it around its local
// address look-up. Outgoing calls do not take it: a call to a contact whose
// address no longer answers keeps its connection set-up for up to 15 seconds,
// and one lock across it would make every other call of the process (a user's
// live query, the probe) wait behind each dead contact in turn. Each call has
// its own socket and its own limits, so nothing else needs serialising.
std::timed_mutex& PeerLock();

// Sends n bytes within ms milliseconds; true when all went.
bool SendWithin(TimedSocket& socket, const void* data, std::size_t n, int ms);
// Receives exactly n bytes within ms milliseconds counted from the call, however
// the peer trickles them; false on a close, a failure or the limit.
bool ReceiveWithin(TimedSocket& socket, void* buffer, std::size_t n, int ms);

// The outgoing calls of the peer protocol: one per message type, each opening a
// connection to the callee's peer port, exchanging the header and its payload,
// and closing. They take addresses and IDs and touch no contact list; the
// engine decides what a result or a failure means for a contact.
//
// Every failure throws CStdExcept from the unit Protocol: 31 (no local address), 39 (bad IDs, or a
// callee address that is 0.0.0.0 or no dotted quad), 51 (connect), 68 (header send), 81 (header
// receive), 92 (the reply header is not the acknowledgement), 70 (payload send), 84 (payload
// receive), 96 (an answer outside its values).
class PresenceCalls {
public:
    static constexpr int kSendLimitMs = 2000;
    // A whole block (header or payload) must arrive within this: the time of
    // the two 5000 ms receive calls a block may take.
    static constexpr int kBlockLimitMs = 10000;

    // localAddress answers the current-IP probe's address ("0.0.0.0": none);
    // port is the callee's peer port.
    explicit PresenceCalls(AddressSource localAddress, int port = presence::kPeerPort,
                           int blockLimitMs = kBlockLimitMs);

    // Every call made from here on fails (51, or the number of the step it
    // was in) within platform::kCancelSlice of *running turning false; null:
    // nothing cancels the calls. The flag must outlive every call.
    void SetRunFlag(const std::atomic<bool>* running) { m_running = running; }
    // A copy whose calls nothing cancels but which all end by limit from now,
    // whatever step they are in: one bounded round of calls.
    PresenceCalls BoundedTo(std::chrono::milliseconds limit) const;
    // The same, over by cutoff.
    PresenceCalls BoundedUntil(std::chrono::steady_clock::time_point cutoff) const;

    // Connects and exchanges the header; hands back the connected socket for
    // the payload.
    TimedSocket Connect(const std::string& calleeIp, std::int32_t type, std::int32_t calleeId,
                        std::int32_t callerId);

    // Type 11: the callee's profile record.
    presence::PeerProfile RequestProfile(const std::string& calleeIp, std::int32_t calleeId,
                                         std::int32_t callerId);
    // Type 12: tells the callee the own address (0.0.0.0 when going offline).
    void AnnounceIP(const std::string& calleeIp, std::int32_t calleeId, std::int32_t callerId,
                    const std::string& ownIp);
    // Type 13: whether the callee runs that TOS (1 or 0).
    std::int32_t TOSQuery(const std::string& calleeIp, std::int32_t calleeId, std::int32_t callerId,
                          std::int32_t tos);
    // Type 14: sends value, hands back the callee's answer.
    std::int32_t StateQuery(const std::string& calleeIp, std::int32_t calleeId,
                            std::int32_t callerId, std::int32_t value);
    // Type 15: the caller has added the callee.
    void AcquaintanceNotice(const std::string& calleeIp, std::int32_t calleeId,
                            std::int32_t callerId);
    // Type 16: one TOS of the caller registered (on) or dropped.
    void TOSNotice(const std::string& calleeIp, std::int32_t calleeId, std::int32_t callerId,
                   std::int32_t tos, bool on);
    // Type 17: whether the callee knows the caller (1 or 0).
    std::int32_t KnownQuery(const std::string& calleeIp, std::int32_t calleeId,
                            std::int32_t callerId);
    // Type 18: asks the own listener at ownIp to stop.
    void StopListener(const std::string& ownIp, std::int32_t ownId);
    // Type 19 with both IDs -1: whether an anonymous peer runs that TOS.
    std::int32_t AnonTOSQuery(const std::string& calleeIp, std::int32_t tos);

private:
    void SendPayload(TimedSocket& socket, const void* data, std::size_t n);
    void ReceivePayload(TimedSocket& socket, void* buffer, std::size_t n);
    std::int32_t ReceiveAnswer(TimedSocket& socket);
    static std::int32_t YesOrNo(std::int32_t answer);

    AddressSource m_localAddress;
    int m_port;
    int m_blockLimitMs;
    const std::atomic<bool>* m_running = nullptr;
    std::chrono::steady_clock::time_point m_cutoff = std::chrono::steady_clock::time_point::max();
};
