// drovick-peer: Drovick's peer services without its windows.

#include "Commands.h"
#include "Program.h"

#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char* kUsage =
    "usage: drovick-peer COMMAND ...\n"
    "  serve [--nfs-port N] [--transfer-port N] [--search-port N] [--result-port N]\n"
    "        [--messenger-port N]\n"
    "                      run the file, search, transfer and message servers with the\n"
    "                      shared folders; received messages are printed\n"
    "                      (SIGHUP reads the shares again, SIGTERM or SIGINT stops)\n"
    "  share PATH          share a folder (a running serve follows at once)\n"
    "  unshare PATH        stop sharing a folder (likewise)\n"
    "  shares              list the shared folders\n"
    "  ls HOST PATH [--nfs-port N]\n"
    "                      list a folder of a friend: name, size, type, date\n"
    "  get HOST PATH [DEST] [--transfer-port N]\n"
    "                      download a file of a friend\n"
    "  send DEST TEXT [--port N]\n"
    "                      send an instant message to a friend or a computer\n"
    "  search [--title | --artist] [--seconds N] [--to ADDRESS]... [--get N [DEST]] QUERY\n"
    "                      search the shares of friends, anonymous users and the --to\n"
    "                      computers; rows: title, file name, host, location, address\n"
    "HOST is the friend's address or e-mail address.";

using RunCommand = int (*)(const std::vector<std::string>&);

constexpr NamedCommand<RunCommand> kCommands[] = {
    {"serve", RunServe}, {"share", RunShare}, {"unshare", RunUnshare}, {"shares", RunShares},
    {"ls", RunList},     {"get", RunGet},     {"send", RunSend},       {"search", RunSearch},
};

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        WriteLine(STDERR_FILENO, kUsage);
        return kExitUsage;
    }
    if (std::strcmp(argv[1], "help") == 0 || std::strcmp(argv[1], "--help") == 0) {
        WriteLine(STDOUT_FILENO, kUsage);
        return kExitSuccess;
    }
    const std::vector<std::string> words(argv + 2, argv + argc);
    if (std::optional<RunCommand> run = FindCommand(kCommands, argv[1]))
        return (*run)(words);
    Complain(std::string("unknown command ") + argv[1]);
    WriteLine(STDERR_FILENO, kUsage);
    return kExitUsage;
}
