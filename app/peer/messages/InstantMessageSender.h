#pragma once

#include "app/peer/wire/PeerWire.h"

#include <chrono>
#include <string>

class DrovickSettings;
class FriendResolver;
class InstantMessageDisplay;

// The user's own profile name as the presence library gives it.
class OwnNameSource {
public:
    virtual ~OwnNameSource() = default;
    // False when there is no initialised presence library or it gave no profile.
    virtual bool OwnName(std::string& name) = 0;
};

// What SendInstantMessage needs from the application. A null friends or
// ownName stands for a presence library that is not initialised yet.
struct InstantMessageSendContext {
    // A friend's e-mail address to a dotted address. The destination is passed
    // as it was typed: the friend list holds lower-cased addresses and is
    // compared byte for byte, so a destination in other letter case finds no one.
    FriendResolver* friends = nullptr;
    OwnNameSource* ownName = nullptr;
    // The colours of outgoing bubbles, as last published; null: the defaults.
    const DrovickSettings* settings = nullptr;
    // Receives the local echo; null: no echo.
    InstantMessageDisplay* display = nullptr;
    int port = kMessengerPort;
    // When not empty, the connection leaves from this local address; by
    // default the address this user's servers listen on (HALVARA_ADDRESS).
    std::string localAddress;
    bool useListenAddress = true;
};

// Why a message was not sent; only Sent is a success.
enum class InstantMessageSendResult {
    Sent,
    Empty,         // no destination or no text
    NoFriend,      // an e-mail address that names no friend with a known address
    NoOwnName,     // the presence library gave no own profile
    Offline,       // the destination is the offline address "0.0.0.0"
    CannotConnect, // no connection to the destination's message server
    SendFailed,    // the packet did not go out whole
};

const char* InstantMessageSendResultName(InstantMessageSendResult result);

// Sends text to destination (a friend's e-mail address, a dotted address or a
// host name) as one packet on a connection of its own, then shows the echo as
// an outgoing message from "127.0.0.1" labelled with label, or with the
// destination as typed when label is empty. The text is cut to 511 characters
// and the own name to 124. Blocks for at most the connect and send limits.
InstantMessageSendResult SendInstantMessage(const std::string& destination, const std::string& text,
                                            const std::string& label,
                                            const InstantMessageSendContext& context);
