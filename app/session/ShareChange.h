#pragma once

#include <string>
#include <vector>

class DrovickSettings;
class SettingsFile;

// One change of the shares a user asked for: share a folder or stop sharing
// one. The path is absolute, so whoever makes the change reads it the same
// way wherever the asker stood.
struct ShareChange {
    enum class Verb { Share, Unshare };
    Verb verb = Verb::Share;
    std::string path;
};

// What the user is told about a change: the lines for standard output when it
// was made, the reason in words when it was refused.
struct ShareChangeOutcome {
    bool made = false;
    std::vector<std::string> lines;
    std::string refusal;
};

// Makes the change in the settings file: loads it (a damaged file is refused
// and left as it is), changes its share table, and saves it. On success
// settings holds what was saved.
ShareChangeOutcome ChangeSharesInFile(const SettingsFile& file, const ShareChange& change,
                                      DrovickSettings& settings);

// The change a share or unshare command asks for, with PATH made absolute;
// false (error set) when the current folder cannot be read.
bool ShareChangeFor(ShareChange::Verb verb, const std::string& path, ShareChange& change,
                    std::string& error);
