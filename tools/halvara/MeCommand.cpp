// halvara me: the active identity's own entry.

#include "CommandSteps.h"
#include "halvara.h"

#include <unistd.h>

int RunMe(const std::vector<std::string>& words, const CommandContext& context) {
    if (!words.empty()) {
        Complain("usage: halvara me");
        return kExitUsage;
    }
    CommandSession session(context.tos);
    if (!ReadyAndRegistered(session))
        return kExitFailure;
    const int id = Halvara_GetMyID();
    PersonalInfo profile{};
    if (id <= 0 || Halvara_GetMyProfile(&profile) == 0) {
        Complain("the presence service gave no own entry");
        return kExitFailure;
    }
    WriteLine(STDOUT_FILENO,
              Record({std::to_string(id), FieldText(profile.name, sizeof profile.name),
                      FieldText(profile.eMail, sizeof profile.eMail)}));
    return kExitSuccess;
}
