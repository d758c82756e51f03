#include "Arguments.h"

#include <cerrno>
#include <charconv>
#include <unistd.h>

std::optional<Arguments> Arguments::Parse(const std::vector<std::string>& words,
                                          const std::set<std::string>& allowedOptions,
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
        if (!allowedOptions.contains(word)) {
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
    const std::string& text = found->second;
    int port = 0;
    auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), port);
    if (failure != std::errc() || end != text.data() + text.size() || port < 1 || port > 65535) {
        error = option + " wants a port from 1 to 65535, not \"" + text + "\"";
        return std::nullopt;
    }
    return port;
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

void Complain(const std::string& text) {
    WriteLine(STDERR_FILENO, "drovick-peer: " + text);
}
