#pragma once

#include "CommandLine.h"

#include <cstddef>
#include <optional>
#include <set>
#include <string>
#include <vector>

// "drovick-peer: <text>" on standard error.
void Complain(const std::string& text);

// The words of a command that takes from fewest to most positional words and
// the value options named; nothing after a complaint (the usage line for a
// wrong count of words).
std::optional<Arguments> ParseCommand(const std::vector<std::string>& words,
                                      const std::set<std::string>& valueOptions, std::size_t fewest,
                                      std::size_t most, const std::string& usage);
// The port the option gives, fallback without it; nothing after a complaint.
std::optional<int> PortOption(const Arguments& arguments, const std::string& option, int fallback);

// SIGINT and SIGTERM call the handler instead of ending the process, so a
// command that is told to stop can still say what it did.
void OnStopSignals(void (*handler)(int));
