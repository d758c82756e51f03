#pragma once

#include "app/peer/wire/PeerServer.h"
#include "app/peer/wire/PeerWire.h"

#include <atomic>
#include <chrono>

class InstantMessageDisplay;

// Receives instant messages on port 3794 (on HALVARA_ADDRESS when that is set)
// and hands each to the display as a received message with the sender's
// address taken from the connection. One packet per connection; anything short
// of a whole packet is dropped without a trace. Runs on the shared server
// thread model (PeerServer): connections side by side on a bounded pool, the
// run flag looked at least every 5 seconds, six attempts at the port 5 seconds
// apart. The display takes its own lock, so messages may arrive at once, and
// never waits for the user-interface thread, so that thread may stop the
// server while a message is on its way to the window.
class InstantMessageServer : public PeerServer {
public:
    struct Limits {
        // The whole packet must arrive within this: a peer that connects and
        // sends nothing, or trickles, holds the server for at most this long.
        std::chrono::milliseconds packetLimit = kPeerCallLimit;
    };

    // display must outlive the server; it may be null (messages are then read
    // and dropped).
    explicit InstantMessageServer(InstantMessageDisplay* display, int port = kMessengerPort);
    InstantMessageServer(InstantMessageDisplay* display, int port, Timing timing, Limits limits);
    ~InstantMessageServer() override;

    // Packets that arrived whole, and connections dropped before that.
    int ReceivedCount() const { return m_received.load(); }
    int DroppedCount() const { return m_dropped.load(); }

protected:
    void ServeConnection(TimeOutSocket& connection) override;

private:
    InstantMessageDisplay* m_display;
    const Limits m_limits;
    std::atomic<int> m_received{0};
    std::atomic<int> m_dropped{0};
};
