#pragma once

#include "CommandLine.h"

#include <string>
#include <vector>

// "online" answered offline.
inline constexpr int kExitOffline = 3;

// The client's own TOS number: what it registers with the presence service
// while a command works, unless --tos names another.
inline constexpr int kHalvaraCliTos = 161;

// "halvara: <text>" on standard error, made printable (Printable).
void Complain(const std::string& text);
// Fields joined by tabs, each made printable (Printable).
std::string Record(const std::vector<std::string>& fields);
// A text as one output field: backslash, line feed, carriage return and tab
// become \\, \n, \r and \t, other control characters '?', so a record stays
// one line and its fields stay apart.
std::string Printable(const std::string& text);
