#pragma once

#include "Commands.h"
#include "PresenceSession.h"
#include "Program.h"

#include <optional>
#include <string>
#include <vector>

// Steps several commands take the same way; each says on standard error why it
// did not succeed, so the caller only picks the exit code.

// Whether the session holds the TOS (the service runs and answers).
bool Reachable(const CommandSession& session);

// The TOS of a command whose only option is --tos N (the context's TOS
// without it) and that takes no words; nothing after a usage complaint.
std::optional<int> TosOnlyCommand(const std::vector<std::string>& words,
                                  const CommandContext& context, const std::string& usage);

// Whether the command got one word more than it takes, the password: it is
// refused there, where every user of the machine could read it.
bool PasswordGivenAsWord(const Arguments& arguments, std::size_t wordsWithPassword);

// The password from the first line of standard input; nothing after a
// complaint when it is empty or missing.
std::optional<std::string> ReadGivenPassword();

// Whether the session holds the TOS and the active identity is registered:
// every command on the own entry or the contact lists needs both.
bool ReadyAndRegistered(const CommandSession& session);

// The text of a fixed-size field the service filled, up to its first NUL.
std::string FieldText(const char* field, std::size_t width);
