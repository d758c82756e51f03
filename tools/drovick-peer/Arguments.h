#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

// Exit codes of every command.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// The words of one command after its name, split into positional words and
// "--name value" options. "--" ends the options, so a path may begin with "--".
class Arguments {
public:
    // Nothing when an option is not among those allowed or lacks its value;
    // error then says which.
    static std::optional<Arguments> Parse(const std::vector<std::string>& words,
                                          const std::set<std::string>& allowedOptions,
                                          std::string& error);

    const std::vector<std::string>& Words() const { return m_words; }
    // The port given with the option, fallback without it; nothing (and error
    // set) for a value that is not a number from 1 to 65535.
    std::optional<int> Port(const std::string& option, int fallback, std::string& error) const;

private:
    std::vector<std::string> m_words;
    std::map<std::string, std::string> m_options;
};

// One line to a descriptor in a single write, so lines of several threads or
// processes sharing the descriptor never interleave.
void WriteLine(int fd, const std::string& text);
// "drovick-peer: <text>" on standard error.
void Complain(const std::string& text);
