#pragma once

#include <string>
#include <vector>

// What every command gets besides its own words.
struct CommandContext {
    // The TOS number the client registers while it works (--tos before the
    // command, else kHalvaraCliTos).
    int tos = 0;
};

// One function per command; each gets the words after the command's name and
// returns the process's exit code (CommandLine.h).
int RunRegister(const std::vector<std::string>& words, const CommandContext& context);
int RunIdentities(const std::vector<std::string>& words, const CommandContext& context);
int RunSwitch(const std::vector<std::string>& words, const CommandContext& context);
int RunMe(const std::vector<std::string>& words, const CommandContext& context);
int RunFriends(const std::vector<std::string>& words, const CommandContext& context);
int RunAcquaintances(const std::vector<std::string>& words, const CommandContext& context);
int RunAdd(const std::vector<std::string>& words, const CommandContext& context);
int RunRemove(const std::vector<std::string>& words, const CommandContext& context);
int RunOnline(const std::vector<std::string>& words, const CommandContext& context);
int RunMessage(const std::vector<std::string>& words, const CommandContext& context);
int RunHold(const std::vector<std::string>& words, const CommandContext& context);
