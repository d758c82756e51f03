#include "app/peer/messages/InstantMessageSender.h"

#include "app/files/DrovickSettings.h"
#include "app/peer/messages/InstantMessage.h"
#include "app/peer/messages/InstantMessageDisplay.h"
#include "app/peer/transfer/TransferAgentDownload.h"
#include "app/peer/wire/PeerConnection.h"
#include "app/peer/wire/TimeOutSocket.h"

namespace {

constexpr char kOfflineAddress[] = "0.0.0.0";

} // namespace

const char* InstantMessageSendResultName(InstantMessageSendResult result) {
    switch (result) {
    case InstantMessageSendResult::Sent:
        return "sent";
    case InstantMessageSendResult::Empty:
        return "no destination or no text";
    case InstantMessageSendResult::NoFriend:
        return "no friend with a known address has that e-mail address";
    case InstantMessageSendResult::NoOwnName:
        return "the presence library gave no own profile";
    case InstantMessageSendResult::Offline:
        return "the destination is offline";
    case InstantMessageSendResult::CannotConnect:
        return "no connection to the destination";
    case InstantMessageSendResult::SendFailed:
        return "the message did not go out whole";
    }
    return "unknown";
}

InstantMessageSendResult SendInstantMessage(const std::string& destination, const std::string& text,
                                            const std::string& label,
                                            const InstantMessageSendContext& context) {
    if (destination.empty() || text.empty())
        return InstantMessageSendResult::Empty;

    std::string address = destination;
    if (destination.find('@') != std::string::npos) {
        if (!context.friends)
            return InstantMessageSendResult::NoFriend;
        address = context.friends->AddressOf(destination);
        if (address.empty())
            return InstantMessageSendResult::NoFriend;
    }
    // Connecting to the offline address would reach this computer's own server.
    if (address == kOfflineAddress)
        return InstantMessageSendResult::Offline;

    // Even a message to an address needs the sender's name from the library.
    InstantMessage message;
    if (!context.ownName || !context.ownName->OwnName(message.sender))
        return InstantMessageSendResult::NoOwnName;
    if (message.sender.size() > kInstantMessageSenderText)
        message.sender.resize(kInstantMessageSenderText);
    message.text = text.substr(0, kInstantMessageTextText);
    // The echo shows the colours as the packet carries them. One copy of the
    // options, so both colours come from the same edit of Preferences.
    const WorkerOptions options = context.settings ? context.settings->Options() : WorkerOptions{};
    message.bubbleColour = options.messageBubbleColour & kRgbMask;
    message.textColour = options.messageTextColour & kRgbMask;
    const InstantMessagePacket packet = EncodeInstantMessage(message);

    const std::string localAddress =
        !context.localAddress.empty()
            ? context.localAddress
            : (context.useListenAddress ? ListenAddress() : std::string());
    TimeOutSocket connection;
    if (!connection.Connect(address, context.port, localAddress))
        return InstantMessageSendResult::CannotConnect;
    connection.SetTimeOut(kPeerCallLimit);
    const bool whole = connection.Send(packet.data(), packet.size()) == packet.size();
    connection.Close();
    if (!whole)
        return InstantMessageSendResult::SendFailed;

    if (context.display)
        context.display->ShowInstantMessage(kLocalHostAddress, label.empty() ? destination : label,
                                            message.text, message.bubbleColour, message.textColour,
                                            true);
    return InstantMessageSendResult::Sent;
}
