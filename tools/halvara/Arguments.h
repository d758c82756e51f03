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
// "online" answered offline.
inline constexpr int kExitOffline = 3;

// The client's own TOS number: what it registers with the presence service
// while a command works, unless --tos names another.
inline constexpr int kHalvaraCliTos = 161;

// The words of one command after its name: positional words, "--name value"
// options and "--name" switches. "--" ends the options.
class Arguments {
public:
    // Nothing when an option is not allowed or lacks its value; error says why.
    static std::optional<Arguments> Parse(const std::vector<std::string>& words,
                                          const std::set<std::string>& valueOptions,
                                          const std::set<std::string>& switches,
                                          std::string& error);

    const std::vector<std::string>& Words() const { return m_words; }
    bool Has(const std::string& name) const;
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
// A TOS number as --tos takes it: a whole number from least upwards.
std::optional<int> ParseTos(const std::string& text, int least, std::string& error);

// One line to a descriptor in a single write, so lines never interleave.
void WriteLine(int fd, const std::string& text);
// "halvara: <text>" on standard error.
void Complain(const std::string& text);
// Fields joined by tabs, each made printable (Printable).
std::string Record(const std::vector<std::string>& fields);
// A text as one output field: backslash, line feed, carriage return and tab
// become \\, \n, \r and \t, other control characters '?', so a record stays
// one line and its fields stay apart.
std::string Printable(const std::string& text);
