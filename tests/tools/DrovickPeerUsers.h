#pragma once

// What the drovick-peer tests share: users of the machine, each with a home,
// settings and session folder and a loopback address of its own, and two of
// them serving real files at once.

#include "tests/support/TestSupport.h"

#include <arpa/inet.h>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <pty.h>
#include <random>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace drovickpeertest {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testsupport::ChildProcess;

struct Result {
    int code = -1;
    std::string output;
};

inline std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

inline void WriteBytes(const fs::path& path, const std::string& bytes) {
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

// One user of the machine: a home with its settings and session folders, and
// an address of its own.
class User {
public:
    explicit User(std::string address)
        : m_address(std::move(address)) {
        fs::create_directories(Home() / ".config");
        fs::create_directories(m_root.Path() / "runtime");
        fs::permissions(m_root.Path() / "runtime", fs::perms::owner_all);
        m_nfsPort = testsupport::FreeTcpPort(m_address);
        m_transferPort = testsupport::FreeTcpPort(m_address);
    }

    fs::path Home() const { return m_root.Path() / "home"; }
    fs::path Runtime() const { return m_root.Path() / "runtime"; }
    fs::path SettingsFile() const { return Home() / ".config" / "drovick" / "Drovick.settings"; }
    const std::string& Address() const { return m_address; }
    int NfsPort() const { return m_nfsPort; }
    int TransferPort() const { return m_transferPort; }

    std::map<std::string, std::string> Environment() const {
        return {{"HOME", Home().string()},
                {"XDG_CONFIG_HOME", (Home() / ".config").string()},
                {"XDG_RUNTIME_DIR", Runtime().string()},
                {"HALVARA_ADDRESS", m_address},
                // No presence service is started behind these tests' backs.
                {"HALVSERVE_PATH", (m_root.Path() / "no-halvserve").string()}};
    }

    Result Run(const std::vector<std::string>& arguments,
               const std::map<std::string, std::string>& extra = {}) const {
        auto environment = Environment();
        for (const auto& [name, value] : extra)
            environment[name] = value;
        ChildProcess child(testsupport::BuildBin("drovick-peer"), arguments, environment);
        Result result;
        result.code = child.Wait(30s);
        result.output = child.Output();
        return result;
    }

    std::unique_ptr<ChildProcess> Serve() const {
        return std::make_unique<ChildProcess>(
            testsupport::BuildBin("drovick-peer"),
            std::vector<std::string>{"serve", "--nfs-port", std::to_string(m_nfsPort),
                                     "--transfer-port", std::to_string(m_transferPort)},
            Environment());
    }

private:
    testsupport::TempDir m_root;
    std::string m_address;
    int m_nfsPort = 0;
    int m_transferPort = 0;
};

inline bool Listening(ChildProcess& serve) {
    return testsupport::WaitFor(
        [&] {
            std::string output = serve.Output();
            return Contains(output, "NFSServer listening on") &&
                   Contains(output, "TransferServer listening on");
        },
        15s);
}

// Holds a port on an address, as another program would.
class PortTaker {
public:
    PortTaker(const std::string& address, int port)
        : m_fd(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_port = htons(static_cast<std::uint16_t>(port));
        inet_pton(AF_INET, address.c_str(), &where.sin_addr);
        m_listening = bind(m_fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0 &&
                      listen(m_fd, 1) == 0;
    }
    ~PortTaker() { close(m_fd); }
    bool Listening() const { return m_listening; }

private:
    int m_fd;
    bool m_listening = false;
};

// Runs the program on a pseudo-terminal and returns all it wrote there.
inline std::string RunOnTerminal(const User& user, const std::vector<std::string>& arguments,
                                 int& code) {
    int terminal = -1;
    const std::string program = testsupport::BuildBin("drovick-peer").string();
    std::vector<std::string> words{program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<std::string> settings;
    for (const auto& [name, value] : user.Environment())
        settings.push_back(name + "=" + value);
    const pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
    if (child == 0) {
        for (const std::string& setting : settings)
            putenv(const_cast<char*>(setting.c_str()));
        std::vector<char*> argv;
        for (std::string& word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    std::string output;
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(terminal, buffer, sizeof buffer);
        if (got <= 0)
            break; // EIO once the child has gone
        output.append(buffer, static_cast<std::size_t>(got));
    }
    close(terminal);
    int status = 0;
    waitpid(child, &status, 0);
    code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return output;
}

// Two users serving at once; the second one's programs browse and download
// from the first.
class TwoUsers : public ::testing::Test {
protected:
    void SetUp() override {
        m_share = fs::canonical(m_files.Path()) / "share";
        m_outside = fs::canonical(m_files.Path()) / "outside";
        fs::create_directories(m_share / "sub" / "deeper");
        fs::create_directories(m_outside);
        m_small = RandomBytes(1500, 1);
        // Not a whole number of blocks, so the padded tail block is cut off.
        m_large = RandomBytes(3 * 1024 * 1024 + 777, 2);
        WriteBytes(m_share / "small.txt", m_small);
        WriteBytes(m_share / "sub" / "large.bin", m_large);
        WriteBytes(m_share / "sub" / "deeper" / "exact.bin", RandomBytes(10240, 3));
        WriteBytes(m_outside / "secret.txt", "secret");
        fs::last_write_time(m_share / "small.txt",
                            fs::file_time_type::clock::now() - std::chrono::hours(24));

        ASSERT_EQ(m_first.Run({"share", m_share.string()}).code, 0);
        ASSERT_EQ(m_second.Run({"share", m_outside.string()}).code, 0);
        m_firstServe = m_first.Serve();
        m_secondServe = m_second.Serve();
        ASSERT_TRUE(Listening(*m_firstServe)) << m_firstServe->Output();
        ASSERT_TRUE(Listening(*m_secondServe)) << m_secondServe->Output();
    }

    Result List(const std::string& path) {
        return m_second.Run(
            {"ls", m_first.Address(), path, "--nfs-port", std::to_string(m_first.NfsPort())});
    }

    Result Get(const std::string& path, const fs::path& destination) {
        return m_second.Run({"get", m_first.Address(), path, destination.string(),
                             "--transfer-port", std::to_string(m_first.TransferPort())});
    }

    testsupport::TempDir m_files;
    testsupport::TempDir m_downloads;
    fs::path m_share;
    fs::path m_outside;
    std::string m_small;
    std::string m_large;
    User m_first{"127.0.0.2"};
    User m_second{"127.0.0.3"};
    std::unique_ptr<ChildProcess> m_firstServe;
    std::unique_ptr<ChildProcess> m_secondServe;
};

} // namespace drovickpeertest
