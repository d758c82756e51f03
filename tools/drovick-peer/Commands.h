#pragma once

#include <string>
#include <vector>

// One function per command; each gets the words after the command's name and
// returns the process's exit code (CommandLine.h).
int RunServe(const std::vector<std::string>& words);
int RunShare(const std::vector<std::string>& words);
int RunUnshare(const std::vector<std::string>& words);
int RunShares(const std::vector<std::string>& words);
int RunList(const std::vector<std::string>& words);
int RunGet(const std::vector<std::string>& words);
int RunSend(const std::vector<std::string>& words);
int RunSearch(const std::vector<std::string>& words);
