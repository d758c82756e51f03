// halvara message: the system message due for the TOS, which the service hands
// out once.

#include "Arguments.h"
#include "Commands.h"
#include "PresenceSession.h"
#include "halvara.h"

#include <cstring>
#include <unistd.h>

namespace {
// Halvara_GetSystemMessageHeadless wants 1024 bytes for each text.
constexpr int kTextBuffer = 1024;
} // namespace

int RunMessage(const std::vector<std::string>& words, const CommandContext& context) {
    std::string error;
    auto arguments = Arguments::Parse(words, {"--tos"}, {}, error);
    std::optional<int> tos;
    if (arguments)
        tos = arguments->Number("--tos", context.tos, 0, error);
    if (!arguments || !tos || !arguments->Words().empty()) {
        Complain(arguments && tos ? "usage: halvara [--tos N] message" : error);
        return kExitUsage;
    }
    PresenceSession session(*tos);
    if (!session.Holding()) {
        Complain(PresenceSession::UnreachableText());
        return kExitFailure;
    }
    char title[kTextBuffer] = {};
    char text[kTextBuffer] = {};
    const int got = Halvara_GetSystemMessageHeadless(*tos, title, sizeof title, text, sizeof text);
    if (got < 0) {
        Complain("the presence service could not give the system message");
        return kExitFailure;
    }
    if (got > 0) {
        WriteLine(STDOUT_FILENO, Printable(std::string(title, strnlen(title, sizeof title))));
        WriteLine(STDOUT_FILENO, Printable(std::string(text, strnlen(text, sizeof text))));
    }
    return kExitSuccess;
}
