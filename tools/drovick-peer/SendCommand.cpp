// drovick-peer send DEST TEXT: sends one instant message to a friend (by
// e-mail address) or a computer (by address or name), in the user's colours,
// and prints its echo.

#include "Commands.h"
#include "Program.h"
#include "SettingsComplaints.h"
#include "app/files/DrovickSettings.h"
#include "app/peer/messages/InstantMessage.h"
#include "app/peer/messages/InstantMessageDisplay.h"
#include "app/peer/messages/InstantMessageSender.h"
#include "app/session/AddressText.h"
#include "app/session/PresenceSession.h"
#include "app/session/SettingsFile.h"

#include <algorithm>
#include <unistd.h>

namespace {

// Prints the echo of the sent message as the messenger window would show it.
class EchoPrinter : public InstantMessageReceiver {
public:
    void AppendMessage(const InstantMessageEntry& entry) override {
        WriteLine(STDOUT_FILENO, entry.shownText);
    }
};

} // namespace

int RunSend(const std::vector<std::string>& words) {
    auto arguments =
        ParseCommand(words, {"--port"}, 2, 2, "usage: drovick-peer send DEST TEXT [--port N]");
    if (!arguments)
        return kExitUsage;
    auto port = PortOption(*arguments, "--port", kMessengerPort);
    if (!port)
        return kExitUsage;
    std::string destination = arguments->Words()[0];
    const std::string& text = arguments->Words()[1];
    if (destination.empty() || text.empty()) {
        Complain("DEST and TEXT must not be empty");
        return kExitUsage;
    }
    if (text.size() > kInstantMessageTextText)
        Complain("TEXT is cut to its first " + std::to_string(kInstantMessageTextText) +
                 " characters");
    // As with the other commands, a friend's address may be typed in any case;
    // the friends list holds it lower-cased.
    const bool toFriend = IsEMailAddress(destination);
    if (toFriend)
        std::transform(destination.begin(), destination.end(), destination.begin(), [](char c) {
            return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        });

    SettingsFile file;
    DrovickSettings settings;
    if (!LoadOrComplain(file, settings))
        return kExitFailure;
    // One session answers both the friend's address and the own name, and
    // gives the library back once.
    PresenceSession presence;
    EchoPrinter echo;
    InstantMessageDisplay display(&settings, nullptr);
    display.Register(&echo);

    InstantMessageSendContext context;
    context.friends = &presence;
    context.ownName = &presence;
    context.settings = &settings;
    context.display = &display;
    context.port = *port;
    const InstantMessageSendResult result = SendInstantMessage(destination, text, "", context);
    display.Unregister(&echo);
    if (result == InstantMessageSendResult::Sent)
        return kExitSuccess;
    if (result == InstantMessageSendResult::NoFriend && !presence.Failure().empty())
        Complain(presence.Failure());
    else if (result == InstantMessageSendResult::NoOwnName)
        Complain("the presence service gave no own profile (halvserve could not be reached, or "
                 "this user has no registered identity)");
    else
        Complain(std::string(InstantMessageSendResultName(result)) + " (" + destination + ")");
    return kExitFailure;
}
