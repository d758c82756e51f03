#include "CommandLine.h"

#include <cerrno>
#include <charconv>
#include <unistd.h>

std::optional<Arguments> Arguments::Parse(const std::vector<std::string>& words,
                                          const std::set<std::string>& valueOptions,
                                          const std::set<std::string>& switches,
                                          std::string& error) {
    Arguments parsed;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (optionsEnded || word.size() < 2 || word.compare(0, 2, "--") != 0) {
            parsed.m_words.push_back(word);
            continue;
        }
        if (word == "--") {
            optionsEnded = true;
            continue;
        }
        if (switches.contains(word)) {
            parsed.m_switches.insert(word);
            continue;
        }
        if (!valueOptions.contains(word)) {
            error = "unknown option " + word;
            return std::nullopt;
        }
        if (i + 1 >= words.size()) {
            error = "option " + word + " needs a value";
            return std::nullopt;
        }
        parsed.m_options[word] = words[++i];
    }
    return parsed;
}

std::optional<int> Arguments::Port(const std::string& option, int fallback,
                                   std::string& error) const {
    auto found = m_options.find(option);
    if (found == m_options.end())
        return fallback;
    std::optional<int> port = ParseNumberWithin(found->second, 1, 65535);
    if (!port)
        error = option + " wants a port from 1 to 65535, not \"" + found->second + "\"";
    return port;
}

std::optional<int> Arguments::Number(const std::string& option, int fallback, int least,
                                     std::string& error) const {
    auto found = m_options.find(option);
    if (found == m_options.end())
        return fallback;
    return ParseNumberOption(option, found->second, least, error);
}

std::optional<int> ParseNumber(const std::string& text) {
    int number = 0;
    auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (text.empty() || failure != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return number;
}

std::optional<int> ParseNumberWithin(const std::string& text, int lowest, int highest) {
    std::optional<int> number = ParseNumber(text);
    if (!number || *number < lowest || *number > highest)
        return std::nullopt;
    return number;
}

std::optional<int> ParseNumberOption(const std::string& option, const std::string& text, int least,
                                     std::string& error) {
    std::optional<int> number = ParseNumber(text);
    if (!number || *number < least) {
        error = option + " wants a whole number from " + std::to_string(least) + ", not \"" + text +
                "\"";
        return std::nullopt;
    }
    return number;
}

void WriteLine(int fd, const std::string& text) {
    std::string line = text + "\n";
    std::size_t done = 0;
    while (done < line.size()) {
        ssize_t wrote = write(fd, line.data() + done, line.size() - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return;
        done += static_cast<std::size_t>(wrote);
    }
}

void ComplainAs(const char* program, const std::string& text) {
    WriteLine(STDERR_FILENO, std::string(program) + ": " + text);
}
