#pragma once

// What the end-to-end tests of the command-line programs share: a user of the
// machine with a home, settings and session folder and a loopback address of
// its own; running a program with that user's environment and standard input;
// reading and writing files; waiting for conditions that run programs.

#include "tests/support/TestSupport.h"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <poll.h>
#include <pty.h>
#include <random>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace machineuser {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testsupport::ChildProcess;

// What one run of a program left: exit code (-1 when it outlived its limit,
// 128 + signal when killed), standard output, standard error.
struct Outcome {
    int code = -1;
    std::string out;
    std::string err;
};

inline std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// Writes the bytes, making the folders above the file first.
inline void WriteFile(const fs::path& path, const std::string& bytes) {
    if (path.has_parent_path())
        fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

inline std::string RandomBytes(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes)
        byte = static_cast<char>(generator() & 0xFF);
    return bytes;
}

// An MP3 file as far as a search looks at it: the frame bytes and, when given
// a title, an ID3 version 1 tag (title at 3, artist at 33, 30 bytes each, the
// genre last) in the last 128 bytes.
inline std::string Mp3File(const std::string& frames, const std::string& title,
                           const std::string& artist, char genre) {
    if (title.empty())
        return frames;
    std::string tag(128, '\0');
    tag.replace(0, 3, "TAG");
    tag.replace(3, title.size(), title);
    tag.replace(33, artist.size(), artist);
    tag[127] = genre;
    return frames + tag;
}

inline bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

inline bool StartsWith(const std::string& text, const std::string& start) {
    return text.compare(0, start.size(), start) == 0;
}

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// The tab-separated fields of one output record.
inline std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
        fields.push_back(line.substr(start, tab - start));
    fields.push_back(line.substr(start));
    return fields;
}

// Asks again every 300 ms until the condition holds or the limit passes; for
// conditions that run a program, which must not be asked in a tight loop.
template <typename Condition>
bool Eventually(Condition condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (condition())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(300ms);
    }
}

// Runs a program with the given environment and standard input, its standard
// error kept apart from its output in a file of the caller's.
inline Outcome RunProgram(const fs::path& program, const std::vector<std::string>& arguments,
                          const std::map<std::string, std::string>& environment,
                          const std::string& input, const fs::path& errorFile,
                          std::chrono::milliseconds limit) {
    std::vector<std::string> words{"-c", "err=$1; shift; exec \"$@\" 2>\"$err\"", "sh",
                                   errorFile.string(), program.string()};
    words.insert(words.end(), arguments.begin(), arguments.end());
    ChildProcess child("/bin/sh", words, environment, input);
    Outcome run;
    run.code = child.Wait(limit);
    if (run.code < 0) {
        child.Signal(SIGKILL);
        child.Wait(5s);
    }
    run.out = child.Output();
    run.err = ReadFile(errorFile);
    return run;
}

// Runs a program on a pseudo-terminal and types each answer once its prompt
// (the first of the pair) shows and the terminal no longer echoes. All the
// terminal showed comes back; code gets the exit code (-1 when it did not end
// in time).
inline std::string RunOnTerminal(const fs::path& program, const std::vector<std::string>& arguments,
                                 const std::map<std::string, std::string>& environment,
                                 const std::vector<std::pair<std::string, std::string>>& answers,
                                 int& code) {
    std::vector<std::string> words{program.string()};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<std::string> settings;
    for (const auto& [name, value] : environment)
        settings.push_back(name + "=" + value);
    int terminal = -1;
    const pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
    if (child == 0) {
        for (std::string& setting : settings)
            putenv(setting.data());
        std::vector<char*> argv;
        for (std::string& word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    std::string shown;
    std::size_t answered = 0;
    std::size_t searchFrom = 0;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (answered < answers.size()) {
            const std::size_t prompt = shown.find(answers[answered].first, searchFrom);
            termios mode{};
            if (prompt != std::string::npos && tcgetattr(terminal, &mode) == 0 &&
                (mode.c_lflag & ECHO) == 0) {
                const std::string line = answers[answered].second + "\n";
                EXPECT_EQ(write(terminal, line.data(), line.size()),
                          static_cast<ssize_t>(line.size()));
                searchFrom = prompt + answers[answered].first.size();
                ++answered;
            }
        }
        pollfd readable{terminal, POLLIN, 0};
        if (poll(&readable, 1, 20) <= 0)
            continue;
        char buffer[4096];
        const ssize_t got = read(terminal, buffer, sizeof buffer);
        if (got <= 0)
            break; // EIO once the child has gone
        shown.append(buffer, static_cast<std::size_t>(got));
    }
    close(terminal);
    int status = 0;
    code = -1;
    if (waitpid(child, &status, 0) == child && WIFEXITED(status))
        code = WEXITSTATUS(status);
    return shown;
}

// One user of the machine: a home with its settings folder, a private session
// folder and an address of its own, and the environment that puts a program
// there.
class MachineUser {
public:
    explicit MachineUser(std::string address)
        : m_address(std::move(address)) {
        fs::create_directories(Home() / ".config");
        fs::create_directories(Runtime());
        fs::permissions(Runtime(), fs::perms::owner_all);
        m_environment = {{"HOME", Home().string()},
                         {"XDG_CONFIG_HOME", (Home() / ".config").string()},
                         {"XDG_RUNTIME_DIR", Runtime().string()},
                         {"HALVARA_ADDRESS", m_address}};
    }
    MachineUser(const MachineUser&) = delete;
    MachineUser& operator=(const MachineUser&) = delete;

    const std::string& Address() const { return m_address; }
    // A folder of the user's own for anything else a test keeps.
    fs::path Root() const { return m_root.Path(); }
    fs::path Home() const { return m_root.Path() / "home"; }
    fs::path Runtime() const { return m_root.Path() / "runtime"; }

    const std::map<std::string, std::string>& Environment() const { return m_environment; }
    void SetEnvironment(const std::string& name, const std::string& value) {
        m_environment[name] = value;
    }

    // The program run as this user, standard error kept apart in a file of
    // the user's named after the program.
    Outcome Run(const fs::path& program, const std::vector<std::string>& arguments,
                const std::string& input, std::chrono::milliseconds limit,
                const std::map<std::string, std::string>& extra = {}) const {
        auto environment = m_environment;
        for (const auto& [name, value] : extra)
            environment[name] = value;
        return RunProgram(program, arguments, environment, input,
                          Root() / (program.filename().string() + ".err"), limit);
    }

private:
    testsupport::TempDir m_root;
    std::string m_address;
    std::map<std::string, std::string> m_environment;
};

} // namespace machineuser
