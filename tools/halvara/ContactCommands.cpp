// halvara friends / acquaintances / add / remove / online: the contact lists of
// the active identity.

#include "Arguments.h"
#include "Commands.h"
#include "ContactLists.h"
#include "PresenceSession.h"
#include "halvara.h"

#include <algorithm>
#include <cstring>
#include <unistd.h>

namespace {

// Plain presence: online at all, whatever application.
constexpr int kPlainPresence = -1;
// Halvara_GetIP wants at least 24 bytes.
constexpr int kAddressBuffer = 32;

std::string FieldText(const char* field, std::size_t width) {
    return std::string(field, strnlen(field, width));
}

// Opens the session and makes sure the active identity is registered, or says
// why not. Every contact command needs both.
bool ReadyForContacts(PresenceSession& session) {
    if (!session.Holding()) {
        Complain(PresenceSession::UnreachableText());
        return false;
    }
    if (!session.Registered()) {
        Complain(PresenceSession::UnregisteredText());
        return false;
    }
    return true;
}

int PrintList(const std::vector<std::string>& words, const CommandContext& context,
              ContactList list, const char* name) {
    if (!words.empty()) {
        Complain(std::string("usage: halvara ") + name);
        return kExitUsage;
    }
    PresenceSession session(context.tos);
    if (!ReadyForContacts(session))
        return kExitFailure;
    std::vector<int> ids;
    std::string failure;
    if (!ReadContactIds(list, ids, failure)) {
        Complain(failure);
        return kExitFailure;
    }
    // The own entry heads the friends list; it is nobody's friend.
    const int own = Halvara_GetMyID();
    for (int id : ids) {
        if (list == ContactList::Friends && id == own)
            continue;
        PersonalInfo profile{};
        Halvara_GetProfile(id, &profile);
        char address[kAddressBuffer] = {};
        if (Halvara_GetIP(id, address, sizeof address) == 0 || address[0] == '\0')
            std::strcpy(address, "0.0.0.0");
        const bool online = Halvara_IsOnline(id, kPlainPresence, 0) != 0;
        WriteLine(STDOUT_FILENO,
                  Record({std::to_string(id), FieldText(profile.eMail, sizeof profile.eMail),
                          FieldText(profile.name, sizeof profile.name),
                          online ? "online" : "offline", FieldText(address, sizeof address)}));
    }
    return kExitSuccess;
}

// The one EMAIL-or-ID word of a command, or nothing after a usage complaint.
std::optional<std::string> ContactWord(const std::optional<Arguments>& arguments,
                                       const std::string& error, const std::string& usage) {
    if (!arguments) {
        Complain(error);
        return std::nullopt;
    }
    if (arguments->Words().size() != 1 || !IsContactArgument(arguments->Words()[0])) {
        Complain(usage);
        return std::nullopt;
    }
    return arguments->Words()[0];
}

bool IsContact(int id, std::string& failure) {
    for (ContactList list : {ContactList::Friends, ContactList::Acquaintances}) {
        std::vector<int> ids;
        if (!ReadContactIds(list, ids, failure))
            return false;
        if (std::find(ids.begin(), ids.end(), id) != ids.end())
            return true;
    }
    return false;
}

} // namespace

int RunFriends(const std::vector<std::string>& words, const CommandContext& context) {
    return PrintList(words, context, ContactList::Friends, "friends");
}

int RunAcquaintances(const std::vector<std::string>& words, const CommandContext& context) {
    return PrintList(words, context, ContactList::Acquaintances, "acquaintances");
}

int RunAdd(const std::vector<std::string>& words, const CommandContext& context) {
    std::string error;
    auto arguments = Arguments::Parse(words, {}, {"--acquaintance"}, error);
    auto word = ContactWord(arguments, error, "usage: halvara add EMAIL-or-ID [--acquaintance]");
    if (!word)
        return kExitUsage;
    PresenceSession session(context.tos);
    if (!ReadyForContacts(session))
        return kExitFailure;
    std::string failure;
    // A new contact is found at the directory, whatever the lists hold.
    std::optional<int> id = ResolveContact(*word, false, failure);
    if (!id) {
        Complain(failure);
        return kExitFailure;
    }
    if (*id == Halvara_GetMyID()) {
        Complain(*word + " is this user's own identity");
        return kExitFailure;
    }
    const bool asAcquaintance = arguments->Has("--acquaintance");
    // Already where it should be: nothing to do, and the service would refuse.
    std::vector<int> listed;
    if (!ReadContactIds(asAcquaintance ? ContactList::Acquaintances : ContactList::Friends, listed,
                        failure)) {
        Complain(failure);
        return kExitFailure;
    }
    if (std::find(listed.begin(), listed.end(), *id) != listed.end()) {
        WriteLine(STDOUT_FILENO, std::to_string(*id));
        return kExitSuccess;
    }
    const int added = asAcquaintance ? Halvara_AddAcquaintance(*id) : Halvara_AddID(*id);
    if (added == 0) {
        Complain("the presence service could not add " + *word + " as " +
                 (asAcquaintance ? "an acquaintance" : "a friend") +
                 " (no such user at the directory?)");
        return kExitFailure;
    }
    WriteLine(STDOUT_FILENO, std::to_string(*id));
    return kExitSuccess;
}

int RunRemove(const std::vector<std::string>& words, const CommandContext& context) {
    std::string error;
    auto arguments = Arguments::Parse(words, {}, {}, error);
    auto word = ContactWord(arguments, error, "usage: halvara remove EMAIL-or-ID");
    if (!word)
        return kExitUsage;
    PresenceSession session(context.tos);
    if (!ReadyForContacts(session))
        return kExitFailure;
    std::string failure;
    std::optional<int> id = ResolveContact(*word, true, failure);
    if (!id) {
        Complain(failure);
        return kExitFailure;
    }
    if (*id == Halvara_GetMyID()) {
        Complain(*word + " is this user's own identity");
        return kExitFailure;
    }
    if (Halvara_Delete(*id) == 0) {
        Complain(*word + " is not a friend");
        return kExitFailure;
    }
    return kExitSuccess;
}

int RunOnline(const std::vector<std::string>& words, const CommandContext& context) {
    std::string error;
    auto arguments = Arguments::Parse(words, {"--tos"}, {"--live"}, error);
    auto word =
        ContactWord(arguments, error, "usage: halvara online EMAIL-or-ID [--tos N] [--live]");
    if (!word)
        return kExitUsage;
    std::optional<int> tos = arguments->Number("--tos", kPlainPresence, kPlainPresence, error);
    if (!tos) {
        Complain(error);
        return kExitUsage;
    }
    PresenceSession session(context.tos);
    if (!ReadyForContacts(session))
        return kExitFailure;
    std::string failure;
    std::optional<int> id = ResolveContact(*word, true, failure);
    if (!id) {
        Complain(failure);
        return kExitFailure;
    }
    if (!IsContact(*id, failure)) {
        Complain(failure.empty() ? *word + " is neither a friend nor an acquaintance" : failure);
        return kExitFailure;
    }
    const bool online = Halvara_IsOnline(*id, *tos, arguments->Has("--live") ? 1 : 0) != 0;
    WriteLine(STDOUT_FILENO, online ? "online" : "offline");
    return online ? kExitSuccess : kExitOffline;
}
