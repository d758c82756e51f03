#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace testsupport {

// Sets environment variables for one scope and puts the old values back when
// it ends; a variable set twice is restored to what it was before the first.
class ScopedEnvironment {
public:
    ScopedEnvironment() = default;
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

    void Set(const std::string& name, const std::string& value);

private:
    std::map<std::string, std::optional<std::string>> m_saved;
};

// A temporary folder removed with everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& Path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

// Path of a program or library the build made (HALVARA_BUILD_BIN, set by ctest).
std::filesystem::path BuildBin(const std::string& name);

// A TCP port on the given loopback address that nobody listens on right now.
int FreeTcpPort(const std::string& address = "127.0.0.1");

// True when a TCP connection to address:port succeeds within the limit.
bool CanConnect(const std::string& address, int port, std::chrono::milliseconds limit);

// Polls the condition every 10 ms until it holds or the limit passes.
template <typename Condition>
bool WaitFor(Condition condition, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition())
            return true;
        struct timespec pause{0, 10'000'000};
        nanosleep(&pause, nullptr);
    }
    return condition();
}

// A child process started with the given arguments and extra environment
// (added to, or replacing, this process's). Its standard output and error go to
// a file that Output() reads. The destructor kills it if it still runs.
class ChildProcess {
public:
    ChildProcess(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                 const std::map<std::string, std::string>& environment = {},
                 const std::string& standardInput = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t Pid() const { return m_pid; }
    bool Running();
    // Waits for the exit; returns the exit code, 128 + signal, or -1 on time-out.
    int Wait(std::chrono::milliseconds limit);
    void Signal(int signalNumber);
    std::string Output() const;

private:
    pid_t m_pid = -1;
    int m_status = -1;
    bool m_reaped = false;
    std::filesystem::path m_outputFile;
};

} // namespace testsupport
