// halvara me: the active identity's own entry.

#include "Arguments.h"
#include "Commands.h"
#include "PresenceSession.h"
#include "halvara.h"

#include <cstring>
#include <unistd.h>

int RunMe(const std::vector<std::string>& words, const CommandContext& context) {
    if (!words.empty()) {
        Complain("usage: halvara me");
        return kExitUsage;
    }
    PresenceSession session(context.tos);
    if (!session.Holding()) {
        Complain(PresenceSession::UnreachableText());
        return kExitFailure;
    }
    if (!session.Registered()) {
        Complain(PresenceSession::UnregisteredText());
        return kExitFailure;
    }
    const int id = Halvara_GetMyID();
    PersonalInfo profile{};
    if (id <= 0 || Halvara_GetMyProfile(&profile) == 0) {
        Complain("the presence service gave no own entry");
        return kExitFailure;
    }
    WriteLine(STDOUT_FILENO,
              Record({std::to_string(id),
                      std::string(profile.name, strnlen(profile.name, sizeof profile.name)),
                      std::string(profile.eMail, strnlen(profile.eMail, sizeof profile.eMail))}));
    return kExitSuccess;
}
