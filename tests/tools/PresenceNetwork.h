#pragma once

// A small community on one machine: the real directory (halvdir) on a free
// loopback port and users, each with a home, settings and session folder and a
// loopback address of its own, whose presence services (halvserve) the library
// starts as it does for any application. The `halvara` client is run with a
// user's environment and standard input, as that user would run it; `hold`
// keeps a TOS registered, and so the user's service running, until released.

#include "MachineUser.h"
#include "tests/support/HalvdirServer.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace presencenetwork {

using namespace machineuser;

// One plain HTTP GET to a loopback port; the body, or nothing when the exchange
// failed or the status was not 200.
inline std::optional<std::string> HttpGet(int port, const std::string& target) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return std::nullopt;
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(static_cast<std::uint16_t>(port));
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string response;
    if (connect(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0) {
        const std::string request =
            "GET " + target + " HTTP/1.0\r\nHost: directory\r\nConnection: close\r\n\r\n";
        if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
            const auto deadline = std::chrono::steady_clock::now() + 15s;
            char buffer[4096];
            while (std::chrono::steady_clock::now() < deadline && response.size() < (1u << 20)) {
                pollfd ready{fd, POLLIN, 0};
                if (poll(&ready, 1, 500) <= 0)
                    continue;
                const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
                if (got <= 0)
                    break;
                response.append(buffer, static_cast<std::size_t>(got));
            }
        }
    }
    close(fd);
    const auto headerEnd = response.find("\r\n\r\n");
    if (response.compare(0, 9, "HTTP/1.1 ") != 0 && response.compare(0, 9, "HTTP/1.0 ") != 0)
        return std::nullopt;
    if (headerEnd == std::string::npos || std::atoi(response.c_str() + 9) != 200)
        return std::nullopt;
    return response.substr(headerEnd + 4);
}

// The directory of the community on the shared fixture, with the plain GET of
// these tests.
class Directory : public testsupport::HalvdirServer {
public:
    Directory()
        : HalvdirServer({"--threads", "8"}) {}

    std::optional<std::string> Get(const std::string& target) const {
        return HttpGet(Port(), target);
    }
};

// One line of `halvara friends` or `halvara acquaintances`.
struct ContactRow {
    std::string id, eMail, name, state, address;
};

// The client's own TOS number when --tos does not name one.
inline constexpr int kClientTos = -1;

// One user of the machine with a presence identity.
class PresenceUser : public MachineUser {
public:
    PresenceUser(std::string address, std::string name, std::string eMail, std::string password,
                 std::string directoryHost)
        : MachineUser(std::move(address))
        , m_name(std::move(name))
        , m_eMail(std::move(eMail))
        , m_password(std::move(password))
        , m_directoryHost(std::move(directoryHost)) {
        SetEnvironment("HALVARA_DIRECTORY", m_directoryHost);
        // Internet access is judged by the directory alone, not by sites
        // outside the machine.
        SetEnvironment("HALVARA_PROBE_HOSTS", m_directoryHost);
        SetEnvironment("HALVSERVE_PATH", testsupport::BuildBin("halvserve").string());
    }
    ~PresenceUser() { StopEverything(); }
    PresenceUser(const PresenceUser&) = delete;
    PresenceUser& operator=(const PresenceUser&) = delete;

    const std::string& Name() const { return m_name; }
    const std::string& EMail() const { return m_eMail; }
    const std::string& Password() const { return m_password; }

    // `halvara [--tos N] ARGUMENTS` with the given standard input.
    Outcome Halvara(const std::vector<std::string>& arguments, const std::string& input = {},
                    int tos = kClientTos) const {
        std::vector<std::string> words;
        if (tos != kClientTos)
            words = {"--tos", std::to_string(tos)};
        words.insert(words.end(), arguments.begin(), arguments.end());
        return Run(testsupport::BuildBin("halvara"), words, input, 60s);
    }

    // Registers the user's identity; its ID, or "" (with the failure in
    // the test's log) when the client did not print one.
    std::string Register() { return RegisterIdentity(m_name, m_eMail, m_password); }
    std::string RegisterIdentity(const std::string& name, const std::string& eMail,
                                 const std::string& password) {
        Outcome run = Halvara({"register", name, eMail}, password + "\n");
        const auto lines = Lines(run.out);
        if (run.code != 0 || lines.size() != 1 || Fields(lines[0]).size() != 2 ||
            Fields(lines[0])[0] != "ID") {
            ADD_FAILURE() << Address() << " register " << eMail << ": exit " << run.code
                          << "\nout: " << run.out << "\nerr: " << run.err;
            return {};
        }
        const std::string id = Fields(lines[0])[1];
        if (id.empty() || id.find_first_not_of("0123456789") != std::string::npos ||
            std::atoi(id.c_str()) < 1) {
            ADD_FAILURE() << "register printed no positive ID: " << run.out;
            return {};
        }
        if (eMail == m_eMail)
            m_id = id;
        return id;
    }
    const std::string& Id() const { return m_id; }

    // The rows of `halvara friends` or `halvara acquaintances`; nothing when
    // the command failed or printed a line that is not a row.
    std::optional<std::vector<ContactRow>> Contacts(const std::string& list) const {
        Outcome run = Halvara({list});
        if (run.code != 0) {
            m_lastFailure = list + ": exit " + std::to_string(run.code) + " " + run.err;
            return std::nullopt;
        }
        std::vector<ContactRow> rows;
        for (const std::string& line : Lines(run.out)) {
            const auto fields = Fields(line);
            if (fields.size() != 5) {
                m_lastFailure = list + " printed: " + run.out;
                return std::nullopt;
            }
            rows.push_back({fields[0], fields[1], fields[2], fields[3], fields[4]});
        }
        m_lastFailure = list + " printed: " + run.out;
        return rows;
    }
    // The row of that e-mail address in the list, when the list has one.
    std::optional<ContactRow> Contact(const std::string& list, const std::string& eMail) const {
        auto rows = Contacts(list);
        if (!rows)
            return std::nullopt;
        for (const ContactRow& row : *rows)
            if (row.eMail == eMail)
                return row;
        return std::nullopt;
    }
    // What the last Contacts call saw, for failure messages.
    const std::string& LastFailure() const { return m_lastFailure; }

    // `halvara [--tos N] hold`, until Release. True once it said "holding".
    bool Hold(int tos = kClientTos) {
        std::vector<std::string> words;
        if (tos != kClientTos)
            words = {"--tos", std::to_string(tos)};
        words.push_back("hold");
        auto& holder = m_holds[tos];
        holder =
            std::make_unique<ChildProcess>(testsupport::BuildBin("halvara"), words, Environment());
        ChildProcess& process = *holder;
        return testsupport::WaitFor(
                   [&] { return Contains(process.Output(), "holding\n") || !process.Running(); },
                   45s) &&
               process.Running();
    }
    std::string HoldOutput(int tos = kClientTos) const {
        auto found = m_holds.find(tos);
        return found == m_holds.end() ? std::string() : found->second->Output();
    }
    bool Holding(int tos = kClientTos) {
        auto found = m_holds.find(tos);
        return found != m_holds.end() && found->second->Running();
    }
    // SIGTERM to the hold; its exit code (-1 when it did not end).
    int Release(int tos = kClientTos) {
        auto found = m_holds.find(tos);
        if (found == m_holds.end())
            return -1;
        found->second->Signal(SIGTERM);
        const int code = found->second->Wait(30s);
        m_holds.erase(found);
        return code;
    }

    // The running halvserve processes of this user (those started with its
    // session folder).
    std::vector<pid_t> ServicePids() const {
        std::vector<pid_t> pids;
        std::error_code error;
        const fs::path program = fs::canonical(testsupport::BuildBin("halvserve"), error);
        if (error)
            return pids;
        const std::string marker = "XDG_RUNTIME_DIR=" + Runtime().string();
        DIR* proc = opendir("/proc");
        if (!proc)
            return pids;
        while (dirent* entry = readdir(proc)) {
            const std::string name = entry->d_name;
            if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos)
                continue;
            const fs::path folder = fs::path("/proc") / name;
            std::error_code gone;
            // A zombie has no program any more; it no longer serves.
            if (fs::read_symlink(folder / "exe", gone) != program || gone)
                continue;
            const std::string environment = ReadFile(folder / "environ");
            std::size_t start = 0;
            while (start < environment.size()) {
                std::size_t end = environment.find('\0', start);
                if (end == std::string::npos)
                    end = environment.size();
                if (environment.compare(start, end - start, marker) == 0) {
                    pids.push_back(static_cast<pid_t>(std::atoi(name.c_str())));
                    break;
                }
                start = end + 1;
            }
        }
        closedir(proc);
        return pids;
    }
    bool ServiceRunning() const { return !ServicePids().empty(); }
    // The service processes with their state letters, for failure messages.
    std::string ServiceStates() const {
        std::string text;
        for (pid_t pid : ServicePids()) {
            const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
            const auto close = stat.rfind(')');
            text +=
                std::to_string(pid) + ":" +
                (close != std::string::npos && close + 2 < stat.size() ? stat.substr(close + 2, 1)
                                                                       : std::string("?")) +
                " ";
        }
        return text;
    }
    // The one service left once the extra copies that every client launches
    // (and that end at once, finding the service running) are gone; 0 when
    // there is none or more than one stays.
    pid_t SoleService(std::chrono::milliseconds limit) const {
        pid_t sole = 0;
        testsupport::WaitFor(
            [&] {
                const auto pids = ServicePids();
                sole = pids.size() == 1 ? pids.front() : 0;
                return sole != 0;
            },
            limit);
        return sole;
    }
    bool WaitServiceGone(std::chrono::milliseconds limit) const {
        return testsupport::WaitFor([&] { return !ServiceRunning(); }, limit);
    }

    // Every hold released and the service given time to end; a service that
    // does not is stopped, so no test leaves one behind.
    void StopEverything() {
        while (!m_holds.empty())
            Release(m_holds.begin()->first);
        if (WaitServiceGone(5s))
            return;
        for (pid_t pid : ServicePids())
            kill(pid, SIGTERM);
        if (WaitServiceGone(3s))
            return;
        for (pid_t pid : ServicePids())
            kill(pid, SIGKILL);
    }

private:
    std::string m_name;
    std::string m_eMail;
    std::string m_password;
    std::string m_directoryHost;
    std::string m_id;
    mutable std::string m_lastFailure;
    std::map<int, std::unique_ptr<ChildProcess>> m_holds;
};

// The directory and count users on 127.0.0.2, 127.0.0.3, ...
class PresenceNetwork {
public:
    explicit PresenceNetwork(int count) {
        static const char* const kNames[][3] = {{"Ada Lind", "ada@example.org", "ada-Secret1"},
                                                {"Bo Berg", "bo@example.org", "bo-Secret2"},
                                                {"Cy Dahl", "cy@example.org", "cy-Secret3"},
                                                {"Di Eng", "di@example.org", "di-Secret4"},
                                                {"Ed Falk", "ed@example.org", "ed-Secret5"}};
        for (int i = 0; i < count && i < 5; ++i)
            m_users.push_back(std::make_unique<PresenceUser>("127.0.0." + std::to_string(2 + i),
                                                             kNames[i][0], kNames[i][1],
                                                             kNames[i][2], m_directory.Host()));
    }
    // The users stop before the directory they talk to.
    ~PresenceNetwork() {
        for (auto& user : m_users)
            user->StopEverything();
    }

    Directory& Dir() { return m_directory; }
    PresenceUser& User(std::size_t index) { return *m_users.at(index); }
    std::size_t Count() const { return m_users.size(); }

    // Everything stopped: holds released, services ended, the directory down.
    void StopAll() {
        for (auto& user : m_users)
            user->StopEverything();
        m_directory.Stop();
    }

private:
    Directory m_directory;
    std::vector<std::unique_ptr<PresenceUser>> m_users;
};

} // namespace presencenetwork
