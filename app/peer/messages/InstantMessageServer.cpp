#include "app/peer/messages/InstantMessageServer.h"

#include "app/peer/messages/InstantMessage.h"
#include "app/peer/messages/InstantMessageDisplay.h"

#include <vector>

InstantMessageServer::InstantMessageServer(InstantMessageDisplay* display, int port)
    : InstantMessageServer(display, port, Timing{}, Limits{}) {}

InstantMessageServer::InstantMessageServer(InstantMessageDisplay* display, int port, Timing timing,
                                           Limits limits)
    : PeerServer(port, timing)
    , m_display(display)
    , m_limits(limits) {}

InstantMessageServer::~InstantMessageServer() {
    // The worker must not show a message through a half-destroyed server.
    Stop(true);
}

void InstantMessageServer::ServeConnection(TimeOutSocket& connection) {
    std::vector<std::uint8_t> bytes;
    if (!connection.ReceiveBlock(bytes, kInstantMessageSize, m_limits.packetLimit)) {
        m_dropped.fetch_add(1);
        return;
    }
    auto message = DecodeInstantMessage(bytes);
    const std::string address = connection.PeerAddress();
    // The connection is closed before the message is shown: the sender has
    // nothing more to say, and a display without a queue shows it on this
    // worker, through whatever the window does.
    connection.Close();
    if (!message || address == "0.0.0.0") {
        m_dropped.fetch_add(1);
        return;
    }
    m_received.fetch_add(1);
    if (m_display)
        m_display->ShowInstantMessage(address, message->sender, message->text,
                                      message->bubbleColour, message->textColour, false);
}
