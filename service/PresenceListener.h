#pragma once

#include "PresenceMessage.h"
#include "TimedSocket.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

// What the listener asks of the engine for the messages of other presence
// services. Each method runs on one of the listener's workers, for one
// connection, and several connections are served at once, so the handler must
// take its own locks (the engine does: it is called from its other threads as
// well); a CStdExcept (or any other exception) it throws ends that connection
// only.
class PresenceHandler {
public:
    virtual ~PresenceHandler() = default;

    // The own user ID that a request's callee must equal (-1 when none).
    virtual std::int32_t OwnID() = 0;
    // Type 11: the profile record to send back.
    virtual presence::PeerProfile ProfileFor(std::int32_t callerId) = 0;
    // Type 12: the caller's new address; "0.0.0.0" means it goes offline.
    // peerAddress is where the connection came from.
    virtual void AddressAnnounced(std::int32_t callerId, const std::string& ip,
                                  const std::string& peerAddress) = 0;
    // Types 13 and 19: whether the local user has that TOS active. TOS -1 is
    // answered with 1 by the listener without asking.
    virtual bool HasActiveTOS(std::int32_t tos) = 0;
    // Type 13, after the answer went out and the connection was closed: a
    // caller that is neither acquaintance nor friend is added as acquaintance,
    // notifying it back. peerAddress is where the connection came from.
    virtual void TOSQueried(std::int32_t callerId, const std::string& peerAddress) = 0;
    // Type 14, after the fixed answer 3 went out: the caller's state becomes 3.
    virtual void StateQueried(std::int32_t callerId, std::int32_t value,
                              const std::string& peerAddress) = 0;
    // Type 15: add the caller as acquaintance without notifying it back.
    virtual void AcquaintanceNoticed(std::int32_t callerId, const std::string& peerAddress) = 0;
    // Type 16: record the caller's TOS registration on its entry.
    virtual void TOSNoticed(std::int32_t callerId, std::int32_t tos, bool on,
                            const std::string& peerAddress) = 0;
    // Type 17: whether the caller is an acquaintance or a friend.
    virtual bool IsKnown(std::int32_t callerId) = 0;
};

// The peer listener: one thread that accepts connections on the peer port and
// serves each on a worker of a bounded pool (platform::ConnectionPool), which
// checks the header, acknowledges it and hands the message to the handler.
// Every connection is closed after its message.
//
// A peer that connects and stays silent, or trickles, holds one worker and
// delays nobody else: the whole exchange must be over within blockLimitMs of
// the accept. A connection over the pool's bound, or over the bound for its
// address, is closed at once without an answer.
class PresenceListener {
public:
    // As deep as the system allows: a burst of attackers then meets a quick
    // close instead of filling the queue, where the kernel would drop the next
    // honest handshake and make its connect wait a second for the retry.
    static constexpr int kBacklog = 4096;
    static constexpr int kAcceptPollMs = 2000;
    static constexpr int kBindRetryMs = 2000;
    static constexpr int kSendLimitMs = 2000;
    static constexpr int kBlockLimitMs = 10000;
    // Connections served at once: far more than the friends' services that
    // call at one moment. Per address: a few users behind one shared address,
    // while one address holds at most a quarter of the workers.
    static constexpr std::size_t kWorkers = 32;
    static constexpr std::size_t kConnectionsPerAddress = 8;
    // The reply to type 14 whatever was sent.
    static constexpr std::int32_t kStateAnswer = 3;

    // address: the local address to bind ("" for every address; the service
    // passes HALVARA_ADDRESS); port: the peer port.
    PresenceListener(PresenceHandler& handler, std::string address = "",
                     int port = presence::kPeerPort, int blockLimitMs = kBlockLimitMs);
    ~PresenceListener();
    PresenceListener(const PresenceListener&) = delete;
    PresenceListener& operator=(const PresenceListener&) = delete;

    // Starts the loop thread; false when one runs already.
    bool Start();
    // Clears the run flag and waits for the thread; noticed within the accept
    // poll, and by connections in progress within a tenth of a second. From a
    // handler it only clears the flag.
    void Stop();
    // True while the loop thread runs (false again after a stop request).
    bool IsRunning() const { return m_running.load(); }
    // True once the socket is bound and listening.
    bool IsListening() const { return m_listening.load(); }
    // How many connections were served to the end (refused ones included).
    int ServedCount() const { return m_served.load(); }

private:
    void Run();
    void ServeOne(TimedSocket& connection);
    // Serves one connection; returns false when it asked the loop to stop.
    bool Serve(TimedSocket& connection);
    bool SendHeader(TimedSocket& connection, const presence::Header& header);
    bool ReceiveInt32(TimedSocket& connection, std::int32_t& value);
    bool SendInt32(TimedSocket& connection, std::int32_t value);

    PresenceHandler& m_handler;
    std::string m_address;
    int m_port;
    int m_blockLimitMs;
    std::thread m_thread;
    std::atomic<bool> m_runFlag{false};
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_listening{false};
    std::atomic<int> m_served{0};
};

// True when text names this computer: a loopback address or the address of one
// of its interfaces.
bool IsLocalMachineAddress(const std::string& text);
