// halvara friends / acquaintances / add / remove / online: the contact lists of
// the active identity.

#include "CommandSteps.h"
#include "ContactLists.h"
#include "halvara.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <set>
#include <unistd.h>

namespace {

// Plain presence: online at all, whatever application.
constexpr int kPlainPresence = -1;
// Halvara_GetIP wants at least 24 bytes.
constexpr int kAddressBuffer = 32;

int PrintList(const std::vector<std::string>& words, const CommandContext& context,
              ContactList list, const char* name) {
    if (!words.empty()) {
        Complain(std::string("usage: halvara ") + name);
        return kExitUsage;
    }
    CommandSession session(context.tos);
    if (!ReadyAndRegistered(session))
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

// How a command on one contact takes its words and finds the contact.
struct ContactCommand {
    std::set<std::string> valueOptions{};
    std::set<std::string> switches{};
    std::string usage{};
    // Whether the contact must be on a list already; else the directory is
    // asked, whatever the lists hold.
    bool listedOnly = true;
    // Whether the user's own identity is refused.
    bool refusesOwn = true;
    // Checks of the options before the session opens; false after a complaint.
    std::function<bool(const Arguments&)> optionsUsable{};
};

// What the command does with the contact it found; returns the exit code.
using ContactAction =
    std::function<int(const Arguments& arguments, const std::string& word, int id)>;

// Parses the words (usage exit when they do not fit), opens the session,
// makes sure the identity is registered and finds the contact, then acts.
int OnContact(const std::vector<std::string>& words, const CommandContext& context,
              const ContactCommand& command, const ContactAction& act) {
    std::string error;
    auto arguments = Arguments::Parse(words, command.valueOptions, command.switches, error);
    auto word = ContactWord(arguments, error, command.usage);
    if (!word || (command.optionsUsable && !command.optionsUsable(*arguments)))
        return kExitUsage;
    CommandSession session(context.tos);
    if (!ReadyAndRegistered(session))
        return kExitFailure;
    std::string failure;
    std::optional<int> id = ResolveContact(*word, command.listedOnly, failure);
    if (!id) {
        Complain(failure);
        return kExitFailure;
    }
    if (command.refusesOwn && *id == Halvara_GetMyID()) {
        Complain(*word + " is this user's own identity");
        return kExitFailure;
    }
    return act(*arguments, *word, *id);
}

// --tos of online: a TOS number, or -1 for plain presence.
std::optional<int> OnlineTos(const Arguments& arguments, std::string& error) {
    return arguments.Number("--tos", kPlainPresence, kPlainPresence, error);
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
    // A new contact is found at the directory, whatever the lists hold.
    const ContactCommand command{.switches = {"--acquaintance"},
                                 .usage = "usage: halvara add EMAIL-or-ID [--acquaintance]",
                                 .listedOnly = false};
    return OnContact(
        words, context, command, [](const Arguments& arguments, const std::string& word, int id) {
            const bool asAcquaintance = arguments.Has("--acquaintance");
            // Already where it should be: nothing to do, and the service would refuse.
            std::vector<int> listed;
            std::string failure;
            if (!ReadContactIds(asAcquaintance ? ContactList::Acquaintances : ContactList::Friends,
                                listed, failure)) {
                Complain(failure);
                return kExitFailure;
            }
            const bool already = std::find(listed.begin(), listed.end(), id) != listed.end();
            if (!already &&
                (asAcquaintance ? Halvara_AddAcquaintance(id) : Halvara_AddID(id)) == 0) {
                Complain("the presence service could not add " + word + " as " +
                         (asAcquaintance ? "an acquaintance" : "a friend") +
                         " (no such user at the directory?)");
                return kExitFailure;
            }
            WriteLine(STDOUT_FILENO, std::to_string(id));
            return kExitSuccess;
        });
}

int RunRemove(const std::vector<std::string>& words, const CommandContext& context) {
    const ContactCommand command{.usage = "usage: halvara remove EMAIL-or-ID"};
    return OnContact(words, context, command,
                     [](const Arguments&, const std::string& word, int id) {
                         if (Halvara_Delete(id) == 0) {
                             Complain(word + " is not a friend");
                             return kExitFailure;
                         }
                         return kExitSuccess;
                     });
}

int RunOnline(const std::vector<std::string>& words, const CommandContext& context) {
    const ContactCommand command{.valueOptions = {"--tos"},
                                 .switches = {"--live"},
                                 .usage = "usage: halvara online EMAIL-or-ID [--tos N] [--live]",
                                 .refusesOwn = false,
                                 .optionsUsable = [](const Arguments& arguments) {
                                     std::string error;
                                     if (OnlineTos(arguments, error))
                                         return true;
                                     Complain(error);
                                     return false;
                                 }};
    return OnContact(
        words, context, command, [](const Arguments& arguments, const std::string& word, int id) {
            std::string failure;
            if (!IsContact(id, failure)) {
                Complain(failure.empty() ? word + " is neither a friend nor an acquaintance"
                                         : failure);
                return kExitFailure;
            }
            const int tos = OnlineTos(arguments, failure).value_or(kPlainPresence);
            const bool online = Halvara_IsOnline(id, tos, arguments.Has("--live") ? 1 : 0) != 0;
            WriteLine(STDOUT_FILENO, online ? "online" : "offline");
            return online ? kExitSuccess : kExitOffline;
        });
}
