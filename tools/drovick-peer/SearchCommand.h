#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What `drovick-peer search` was asked to do.
struct SearchCommandOptions {
    std::int32_t mode = 0; // 0 file name, 1 song title, 2 song author
    int seconds = 10;
    // Computers asked besides the friends and anonymous acquaintances.
    std::vector<std::string> hosts;
    // The row of the final list to download, from 1; 0 for none.
    int getRow = 0;
    // Where the download goes; "" for the settings' default download folder.
    std::string destination;
    std::string query;
    int searchPort = 0;
    int resultPort = 0;
    int transferPort = 0;
};

// Reads the words after "search". Nothing, with error set, for words that do
// not make one search.
std::optional<SearchCommandOptions> ParseSearchWords(const std::vector<std::string>& words,
                                                     std::string& error);
