#include "PasswordInput.h"

#include <cerrno>
#include <termios.h>
#include <unistd.h>

namespace {

// A line longer than this is no password anybody typed; reading stops there.
constexpr std::size_t kLongestLine = 4096;

std::string Trimmed(const std::string& text) {
    const char* blanks = " \t\r\n";
    std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// Turns echo off for as long as it lives, and back on whatever happens.
class EchoOff {
public:
    EchoOff() {
        if (tcgetattr(STDIN_FILENO, &m_saved) != 0)
            return;
        termios quiet = m_saved;
        quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
        m_changed = tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
    }
    ~EchoOff() {
        if (m_changed)
            tcsetattr(STDIN_FILENO, TCSAFLUSH, &m_saved);
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

private:
    termios m_saved{};
    bool m_changed = false;
};

void WriteText(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t wrote = write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return;
        done += static_cast<std::size_t>(wrote);
    }
}

// Byte by byte, so nothing after the first line is taken from the input.
std::optional<std::string> ReadLine() {
    std::string line;
    bool any = false;
    for (;;) {
        char c = 0;
        ssize_t got = read(STDIN_FILENO, &c, 1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        any = true;
        if (c == '\n')
            break;
        if (line.size() >= kLongestLine)
            return std::nullopt;
        line += c;
    }
    if (!any)
        return std::nullopt;
    return line;
}

} // namespace

bool InputIsTerminal() {
    return isatty(STDIN_FILENO) == 1;
}

std::optional<std::string> ReadPassword(const std::string& prompt) {
    std::optional<std::string> line;
    if (InputIsTerminal()) {
        WriteText(STDERR_FILENO, prompt);
        {
            EchoOff quiet;
            line = ReadLine();
        }
        // The line end the user typed was not echoed either.
        WriteText(STDERR_FILENO, "\n");
    } else {
        line = ReadLine();
    }
    if (!line)
        return std::nullopt;
    return Trimmed(*line);
}
