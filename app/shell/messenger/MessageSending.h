#pragma once

#include "app/peer/messages/InstantMessageSender.h"

#include <QString>
#include <functional>

class QWidget;

// Sends one instant message and says whether it went out. It may wait for the
// presence service and for the peer, so it is only ever called off the
// user-interface thread.
using MessageSend =
    std::function<bool(const QString& destination, const QString& text, const QString& label)>;

// The program's sending: SendInstantMessage with the application's context.
MessageSend MakeMessageSend(InstantMessageSendContext context);

// Opens "Send Instant Message" prefilled with destination; on OK the message
// is sent on a thread of its own with label, and a failure is told to the
// user on the user-interface thread ("Could not send your message.").
void AskAndSend(QWidget* parent, const MessageSend& send, const QString& destination = {},
                const QString& label = {});
