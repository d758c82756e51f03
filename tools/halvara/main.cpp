// halvara: the presence client without windows.

#include "Commands.h"
#include "Program.h"

#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const std::string kUsage =
    "usage: halvara [--tos N] COMMAND [ARGS]\n"
    "  register NAME EMAIL   register a new identity with the directory and make it\n"
    "                        the active one; prints ID<tab>id\n"
    "  identities            the stored identities: index, name, active or -\n"
    "  switch INDEX          switch to a stored identity; prints the index\n"
    "  me                    the own entry: id, name, e-mail\n"
    "  friends               the friends: id, e-mail, name, online or offline, address\n"
    "  acquaintances         the acquaintances, as friends\n"
    "  add EMAIL-or-ID [--acquaintance]\n"
    "                        add a friend (or an acquaintance); prints its id\n"
    "  remove EMAIL-or-ID    the friend becomes an acquaintance\n"
    "  online EMAIL-or-ID [--tos N] [--live]\n"
    "                        whether a contact is online for TOS N (default -1, any\n"
    "                        application); --live asks the contact now; exit 3 offline\n"
    "  message               the system message due for the TOS: title line, text line;\n"
    "                        nothing when none (each message is given out once)\n"
    "  hold                  register the TOS and keep it until SIGINT or SIGTERM;\n"
    "                        prints \"holding\" once registered\n"
    "Passwords are read from the first line of standard input (without echo on a\n"
    "terminal), never from the command line.\n"
    "--tos N before the command is the TOS number this client registers while it\n"
    "works (default " +
    std::to_string(kHalvaraCliTos) +
    ", the client's own); the presence service ends once no\n"
    "program holds a TOS. Output is tab-separated, one record per line; tabs, line\n"
    "ends and backslashes inside texts are shown as \\t, \\n, \\r and \\\\.\n"
    "Exit codes: 0 done, 1 failed (reason on standard error), 2 usage, 3 offline.";

using RunCommand = int (*)(const std::vector<std::string>&, const CommandContext&);

constexpr NamedCommand<RunCommand> kCommands[] = {
    {"register", RunRegister}, {"identities", RunIdentities},
    {"switch", RunSwitch},     {"me", RunMe},
    {"friends", RunFriends},   {"acquaintances", RunAcquaintances},
    {"add", RunAdd},           {"remove", RunRemove},
    {"online", RunOnline},     {"message", RunMessage},
    {"hold", RunHold},
};

bool IsHelp(const char* word) {
    return std::strcmp(word, "help") == 0 || std::strcmp(word, "--help") == 0 ||
           std::strcmp(word, "-h") == 0;
}

} // namespace

int main(int argc, char** argv) {
    CommandContext context;
    context.tos = kHalvaraCliTos;
    int at = 1;
    while (at < argc && std::strcmp(argv[at], "--tos") == 0) {
        if (at + 1 >= argc) {
            Complain("option --tos needs a value");
            return kExitUsage;
        }
        std::string error;
        std::optional<int> tos = ParseNumberOption("--tos", argv[at + 1], 0, error);
        if (!tos) {
            Complain(error);
            return kExitUsage;
        }
        context.tos = *tos;
        at += 2;
    }
    if (at >= argc) {
        Complain("a COMMAND is needed (halvara --help lists them)");
        return kExitUsage;
    }
    if (IsHelp(argv[at])) {
        WriteLine(STDOUT_FILENO, kUsage);
        return kExitSuccess;
    }
    const std::vector<std::string> words(argv + at + 1, argv + argc);
    if (std::optional<RunCommand> run = FindCommand(kCommands, argv[at]))
        return (*run)(words, context);
    Complain(std::string("unknown command ") + argv[at] + " (halvara --help lists them)");
    return kExitUsage;
}
