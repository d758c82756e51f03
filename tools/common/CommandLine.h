#pragma once

#include <cstddef>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

// Exit codes every command of every program shares; a program may add its own
// from 3 upwards.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// The words of one command after its name: positional words, "--name value"
// options and "--name" switches. "--" ends the options, so a path may begin
// with "--".
class Arguments {
public:
    // Nothing when an option is not among those allowed or lacks its value;
    // error then says which.
    static std::optional<Arguments> Parse(const std::vector<std::string>& words,
                                          const std::set<std::string>& valueOptions,
                                          const std::set<std::string>& switches,
                                          std::string& error);
    // The same for a command without switches.
    static std::optional<Arguments> Parse(const std::vector<std::string>& words,
                                          const std::set<std::string>& valueOptions,
                                          std::string& error) {
        return Parse(words, valueOptions, {}, error);
    }

    const std::vector<std::string>& Words() const { return m_words; }
    bool Has(const std::string& name) const { return m_switches.contains(name); }
    // The port given with the option, fallback without it; nothing (and error
    // set) for a value that is not a number from 1 to 65535.
    std::optional<int> Port(const std::string& option, int fallback, std::string& error) const;
    // The option's number, fallback without it; nothing (error set) when the
    // value is not a whole number from least to INT32_MAX.
    std::optional<int> Number(const std::string& option, int fallback, int least,
                              std::string& error) const;

private:
    std::vector<std::string> m_words;
    std::map<std::string, std::string> m_options;
    std::set<std::string> m_switches;
};

// A whole decimal number that fits an int, nothing else.
std::optional<int> ParseNumber(const std::string& text);
// The same within lowest..highest.
std::optional<int> ParseNumberWithin(const std::string& text, int lowest, int highest);
// The value of an option that takes a whole number from least upwards; error
// names the option when the text is not one.
std::optional<int> ParseNumberOption(const std::string& option, const std::string& text, int least,
                                     std::string& error);

// One line to a descriptor in a single write, so lines of several threads or
// processes sharing the descriptor never interleave.
void WriteLine(int fd, const std::string& text);
// "<program>: <text>" on standard error.
void ComplainAs(const char* program, const std::string& text);

// One entry of a program's command table: the command's name and the function
// that runs it.
template <typename Run>
struct NamedCommand {
    const char* name;
    Run run;
};

// The function of the command named, nothing for a name no entry has.
template <typename Run, std::size_t Count>
std::optional<Run> FindCommand(const NamedCommand<Run> (&commands)[Count], const char* name) {
    for (const NamedCommand<Run>& command : commands) {
        if (std::strcmp(name, command.name) == 0)
            return command.run;
    }
    return std::nullopt;
}
