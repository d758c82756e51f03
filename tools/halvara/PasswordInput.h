#pragma once

#include <optional>
#include <string>

// Passwords are read from standard input and never taken from the command
// line, where every user of the machine could read them in the process list.

// The first line of standard input without its line end and without blanks at
// both ends. On a terminal the prompt goes to standard error and the typing is
// not echoed. Nothing when standard input ends before any character or the
// line is longer than any password field.
std::optional<std::string> ReadPassword(const std::string& prompt);

// Whether standard input is a terminal (a person types, so a confirmation can
// be asked for).
bool InputIsTerminal();
