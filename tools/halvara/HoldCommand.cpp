// halvara hold: keeps the TOS registered until SIGINT or SIGTERM, so the
// presence service stays up and the user online for as long as it runs.

#include "CommandSteps.h"

#include <csignal>
#include <unistd.h>

int RunHold(const std::vector<std::string>& words, const CommandContext& context) {
    std::optional<int> tos = TosOnlyCommand(words, context, "usage: halvara [--tos N] hold");
    if (!tos)
        return kExitUsage;
    // Blocked before anything starts, so a signal that comes early still ends
    // the wait below instead of the process; halvserve is launched with a
    // clean mask of its own.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &stops, &previous);

    CommandSession session(*tos);
    if (!Reachable(session))
        return kExitFailure;
    WriteLine(STDOUT_FILENO, "holding");
    int received = 0;
    while (sigwait(&stops, &received) != 0) {
    }
    session.Close();
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    return kExitSuccess;
}
