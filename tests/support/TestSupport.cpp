#include "TestSupport.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace testsupport {

ScopedEnvironment::~ScopedEnvironment() {
    for (const auto& [name, value] : m_saved) {
        if (value)
            ::setenv(name.c_str(), value->c_str(), 1);
        else
            ::unsetenv(name.c_str());
    }
}

void ScopedEnvironment::Set(const std::string& name, const std::string& value) {
    if (!m_saved.count(name)) {
        const char* old = std::getenv(name.c_str());
        m_saved.emplace(name, old ? std::optional<std::string>(old) : std::nullopt);
    }
    ::setenv(name.c_str(), value.c_str(), 1);
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "halvara-test-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

std::filesystem::path BuildBin(const std::string& name) {
    const char* bin = std::getenv("HALVARA_BUILD_BIN");
    if (bin && *bin)
        return std::filesystem::path(bin) / name;
    // Run by hand from the build folder: the programs sit beside the test.
    return std::filesystem::read_symlink("/proc/self/exe").parent_path() / name;
}

int FreeTcpPort(const std::string& address) {
    // Below the system's range for outgoing connections: a port the kernel
    // hands out as the local end of somebody's connect, after this check and
    // before the server binds it, made a server's first listen fail now and
    // then when test programs run side by side.
    constexpr int kFirst = 20000;
    constexpr int kCount = 12000;
    static std::atomic<unsigned> next{static_cast<unsigned>(getpid()) * 7919u};
    for (int attempt = 0; attempt < 200; ++attempt) {
        const int port = kFirst + static_cast<int>(next.fetch_add(1) % kCount);
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
        sa.sin_port = htons(static_cast<uint16_t>(port));
        const bool free = bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
        close(fd);
        if (free)
            return port;
    }
    throw std::runtime_error("no free port found");
}

bool CanConnect(const std::string& address, int port, std::chrono::milliseconds limit) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
    sa.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = false;
    if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) {
        ok = true;
    } else if (errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, static_cast<int>(limit.count())) == 1) {
            int error = 0;
            socklen_t length = sizeof error;
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
            ok = error == 0;
        }
    }
    close(fd);
    return ok;
}

ChildProcess::ChildProcess(const std::filesystem::path& program,
                           const std::vector<std::string>& arguments,
                           const std::map<std::string, std::string>& environment,
                           const std::string& standardInput) {
    char outputPattern[] = "/tmp/halvara-child-XXXXXX";
    int outputFd = mkstemp(outputPattern);
    if (outputFd < 0)
        throw std::runtime_error("mkstemp failed");
    m_outputFile = outputPattern;

    int inputPipe[2];
    if (pipe(inputPipe) != 0)
        throw std::runtime_error("pipe failed");

    std::map<std::string, std::string> merged;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        auto eq = entry.find('=');
        if (eq != std::string::npos)
            merged[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    for (const auto& [key, value] : environment)
        merged[key] = value;
    std::vector<std::string> envStrings;
    for (const auto& [key, value] : merged)
        envStrings.push_back(key + "=" + value);

    std::vector<std::string> argStrings{program.string()};
    argStrings.insert(argStrings.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv, envp;
    for (auto& s : argStrings)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    for (auto& s : envStrings)
        envp.push_back(s.data());
    envp.push_back(nullptr);

    m_pid = fork();
    if (m_pid < 0)
        throw std::runtime_error("fork failed");
    if (m_pid == 0) {
        dup2(inputPipe[0], 0);
        dup2(outputFd, 1);
        dup2(outputFd, 2);
        close(inputPipe[0]);
        close(inputPipe[1]);
        close(outputFd);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(inputPipe[0]);
    close(outputFd);
    if (!standardInput.empty()) {
        ssize_t ignored = write(inputPipe[1], standardInput.data(), standardInput.size());
        (void)ignored;
    }
    close(inputPipe[1]);
}

ChildProcess::~ChildProcess() {
    if (Running()) {
        kill(m_pid, SIGKILL);
        Wait(std::chrono::seconds(5));
    }
    std::error_code ignored;
    std::filesystem::remove(m_outputFile, ignored);
}

bool ChildProcess::Running() {
    if (m_reaped || m_pid <= 0)
        return false;
    int status = 0;
    pid_t r = waitpid(m_pid, &status, WNOHANG);
    if (r == m_pid) {
        m_reaped = true;
        m_status = status;
        return false;
    }
    return r == 0;
}

int ChildProcess::Wait(std::chrono::milliseconds limit) {
    bool done = WaitFor([this] { return !Running(); }, limit);
    if (!done)
        return -1;
    if (WIFEXITED(m_status))
        return WEXITSTATUS(m_status);
    if (WIFSIGNALED(m_status))
        return 128 + WTERMSIG(m_status);
    return -1;
}

void ChildProcess::Signal(int signalNumber) {
    if (Running())
        kill(m_pid, signalNumber);
}

std::string ChildProcess::Output() const {
    std::ifstream in(m_outputFile);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace testsupport
