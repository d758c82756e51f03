// halvara message: the system message due for the TOS, which the service hands
// out once.

#include "CommandSteps.h"
#include "halvara.h"

#include <unistd.h>

namespace {
// Halvara_GetSystemMessageHeadless wants 1024 bytes for each text.
constexpr int kTextBuffer = 1024;
} // namespace

int RunMessage(const std::vector<std::string>& words, const CommandContext& context) {
    std::optional<int> tos = TosOnlyCommand(words, context, "usage: halvara [--tos N] message");
    if (!tos)
        return kExitUsage;
    CommandSession session(*tos);
    if (!Reachable(session))
        return kExitFailure;
    char title[kTextBuffer] = {};
    char text[kTextBuffer] = {};
    const int got = Halvara_GetSystemMessageHeadless(*tos, title, sizeof title, text, sizeof text);
    if (got < 0) {
        Complain("the presence service could not give the system message");
        return kExitFailure;
    }
    if (got > 0) {
        WriteLine(STDOUT_FILENO, Printable(FieldText(title, sizeof title)));
        WriteLine(STDOUT_FILENO, Printable(FieldText(text, sizeof text)));
    }
    return kExitSuccess;
}
