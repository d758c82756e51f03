// halvara identities / switch INDEX: the stored identities of this user and
// the switch between them.

#include "CommandSteps.h"
#include "halvara.h"

#include <unistd.h>

namespace {

// More identities than one user ever stores; a higher index is a broken answer.
constexpr int kMostIdentities = 100000;
// Halvara_GetIdentity wants at least 120 bytes; names have at most 127 characters.
constexpr int kIdentityBuffer = 256;

// The identity's name; nothing for a deleted or missing one.
std::optional<std::string> IdentityName(int index) {
    char buffer[kIdentityBuffer] = {};
    if (Halvara_GetIdentity(index, buffer, sizeof buffer) == 0)
        return std::nullopt;
    return FieldText(buffer, sizeof buffer);
}

} // namespace

int RunIdentities(const std::vector<std::string>& words, const CommandContext& context) {
    if (!words.empty()) {
        Complain("usage: halvara identities");
        return kExitUsage;
    }
    CommandSession session(context.tos);
    if (!Reachable(session))
        return kExitFailure;
    const int highest = Halvara_GetHighestIdentity();
    if (highest >= kMostIdentities) {
        Complain("the presence service gave a broken identity count");
        return kExitFailure;
    }
    const int active = Halvara_GetActiveIdentity();
    for (int index = 0; index <= highest; ++index) {
        std::optional<std::string> name = IdentityName(index);
        if (name)
            WriteLine(STDOUT_FILENO,
                      Record({std::to_string(index), *name, index == active ? "active" : "-"}));
    }
    return kExitSuccess;
}

int RunSwitch(const std::vector<std::string>& words, const CommandContext& context) {
    std::string error;
    auto arguments = Arguments::Parse(words, {}, {}, error);
    if (!arguments) {
        Complain(error);
        return kExitUsage;
    }
    if (PasswordGivenAsWord(*arguments, 2))
        return kExitUsage;
    std::optional<int> index;
    if (arguments->Words().size() == 1)
        index = ParseNumber(arguments->Words()[0]);
    if (!index || *index < 0) {
        Complain("usage: halvara switch INDEX (INDEX as halvara identities lists it; the "
                 "password is read from standard input)");
        return kExitUsage;
    }
    std::optional<std::string> password = ReadGivenPassword();
    if (!password)
        return kExitUsage;

    CommandSession session(context.tos);
    if (!Reachable(session))
        return kExitFailure;
    const int highest = Halvara_GetHighestIdentity();
    if (*index > highest || !IdentityName(*index)) {
        Complain("there is no identity " + std::to_string(*index));
        return kExitFailure;
    }
    const int switched = Halvara_SetIdentity(*index, password->c_str());
    password->assign(password->size(), '\0');
    if (switched == 0) {
        Complain("could not switch to identity " + std::to_string(*index) +
                 ": the password does not match, or the presence service could not load it");
        return kExitFailure;
    }
    WriteLine(STDOUT_FILENO, std::to_string(*index));
    return kExitSuccess;
}
