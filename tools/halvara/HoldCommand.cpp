// halvara hold: keeps the TOS registered until SIGINT or SIGTERM, so the
// presence service stays up and the user online for as long as it runs.

#include "Arguments.h"
#include "Commands.h"
#include "PresenceSession.h"

#include <csignal>
#include <unistd.h>

int RunHold(const std::vector<std::string>& words, const CommandContext& context) {
    std::string error;
    auto arguments = Arguments::Parse(words, {"--tos"}, {}, error);
    std::optional<int> tos;
    if (arguments)
        tos = arguments->Number("--tos", context.tos, 0, error);
    if (!arguments || !tos || !arguments->Words().empty()) {
        Complain(arguments && tos ? "usage: halvara [--tos N] hold" : error);
        return kExitUsage;
    }
    // Blocked before anything starts, so a signal that comes early still ends
    // the wait below instead of the process; halvserve is launched with a
    // clean mask of its own.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &stops, &previous);

    PresenceSession session(*tos);
    if (!session.Holding()) {
        Complain(PresenceSession::UnreachableText());
        return kExitFailure;
    }
    WriteLine(STDOUT_FILENO, "holding");
    int received = 0;
    while (sigwait(&stops, &received) != 0) {
    }
    session.Close();
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    return kExitSuccess;
}
