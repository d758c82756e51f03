// How long a normal lookup takes at halvdir while slow clients attack it.
//
//   bench_directory_SlowClientsBench [seconds to measure, default 30]
//
// halvdir (beside this program, or HALVDIR) serves a fresh database on
// 127.0.0.1. Then 80 connections from 127.0.0.5 send a request one header
// byte every 2 s, and 300 connections from 127.0.2.1 to 127.0.2.3 send
// nothing; each is opened again as soon as the server closes it, so the
// attack never lets up. Meanwhile a client asks lookupip twice a second over
// a fresh connection and every answer is timed (10 s at most each). Needs a
// private network namespace or free loopback addresses.

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPort = 18490;
constexpr int kTricklers = 80;
constexpr int kIdlers = 300;
const std::string kLookup = "GET /cgi-bin/lookupip?1 HTTP/1.1\r\nHost: directory\r\n"
                            "User-Agent: Halvara 1.17\r\nConnection: close\r\n\r\n";

int Connect(const char* source) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, source, &local.sin_addr);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(kPort);
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// One exchange with Connection: close; the answer's body, or empty.
std::string Exchange(const std::string& request, std::chrono::seconds limit) {
    int fd = Connect("127.0.0.1");
    if (fd < 0)
        return {};
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string response;
    char buffer[4096];
    auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        response.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    auto body = response.find("\r\n\r\n");
    return body == std::string::npos ? std::string() : response.substr(body + 4);
}

std::string Get(const std::string& target) {
    return Exchange("GET " + target + " HTTP/1.1\r\nHost: directory\r\nConnection: close\r\n\r\n",
                    std::chrono::seconds(10));
}

struct Attacker {
    int fd = -1;
    size_t sent = 0;
    const char* source = "";
};

// Keeps every attacking connection open: reopens what the server closed and
// moves each trickler one byte on every 2 s.
void Attack(std::vector<Attacker>& attackers, const std::atomic<bool>& stop, long& reopened) {
    auto nextByte = Clock::now();
    while (!stop) {
        std::vector<pollfd> polled;
        for (auto& attacker : attackers)
            polled.push_back(pollfd{attacker.fd, POLLIN, 0});
        poll(polled.data(), polled.size(), 100);
        bool trickle = Clock::now() >= nextByte;
        if (trickle)
            nextByte += std::chrono::seconds(2);
        for (size_t i = 0; i < attackers.size() && !stop; ++i) {
            Attacker& attacker = attackers[i];
            if (attacker.fd < 0 || (polled[i].revents & (POLLIN | POLLHUP | POLLERR))) {
                if (attacker.fd >= 0)
                    close(attacker.fd);
                attacker.fd = Connect(attacker.source);
                attacker.sent = 0;
                ++reopened;
            }
            bool trickler = std::string_view(attacker.source) == "127.0.0.5";
            if (trickle && trickler && attacker.fd >= 0 && attacker.sent < kLookup.size()) {
                send(attacker.fd, kLookup.data() + attacker.sent, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
                ++attacker.sent;
            }
        }
    }
    for (auto& attacker : attackers)
        if (attacker.fd >= 0)
            close(attacker.fd);
}

} // namespace

int main(int argc, char** argv) {
    int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
    std::string halvdir = std::getenv("HALVDIR")
                              ? std::getenv("HALVDIR")
                              : (std::filesystem::path(argv[0]).parent_path() / "halvdir").string();
    char folder[] = "/tmp/halvdir-bench-XXXXXX";
    if (!mkdtemp(folder))
        return 1;
    std::string db = std::string(folder) + "/directory.db";
    std::string listen = "127.0.0.1:" + std::to_string(kPort);
    std::vector<std::string> arguments = {halvdir, "serve", "--listen", listen, "--db", db};
    std::vector<char*> argvOut;
    for (auto& argument : arguments)
        argvOut.push_back(argument.data());
    argvOut.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", 1, 0);
    pid_t server = 0;
    if (posix_spawn(&server, halvdir.c_str(), &actions, nullptr, argvOut.data(), environ) != 0) {
        std::fprintf(stderr, "cannot start %s\n", halvdir.c_str());
        return 1;
    }
    std::string registered;
    for (int i = 0; i < 100 && registered.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        registered = Get("/cgi-bin/registerid");
    }
    Get("/cgi-bin/updateip?1+127.0.0.2");

    std::vector<Attacker> attackers;
    for (int i = 0; i < kTricklers; ++i)
        attackers.push_back(Attacker{-1, 0, "127.0.0.5"});
    const char* idleSources[] = {"127.0.2.1", "127.0.2.2", "127.0.2.3"};
    for (int i = 0; i < kIdlers; ++i)
        attackers.push_back(Attacker{-1, 0, idleSources[i % 3]});
    std::atomic<bool> stop{false};
    long reopened = 0;
    std::thread attack([&] { Attack(attackers, stop, reopened); });
    std::this_thread::sleep_for(std::chrono::seconds(1));

    std::vector<double> millis;
    int wrong = 0;
    auto end = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < end) {
        auto started = Clock::now();
        bool right = Exchange(kLookup, std::chrono::seconds(10)) == "IP: 127.0.0.2\n";
        millis.push_back(std::chrono::duration<double, std::milli>(Clock::now() - started).count());
        wrong += !right;
        std::this_thread::sleep_until(started + std::chrono::milliseconds(500));
    }
    stop = true;
    attack.join();
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
    std::filesystem::remove_all(folder);

    std::sort(millis.begin(), millis.end());
    auto at = [&](double q) { return millis[static_cast<size_t>(q * (millis.size() - 1))]; };
    std::printf("%zu lookups under %d trickling and %d idle connections (%ld connections "
                "reopened): median %.1f ms, 99%% %.1f ms, max %.1f ms, %d unanswered or wrong\n",
                millis.size(), kTricklers, kIdlers, reopened, at(0.5), at(0.99), millis.back(),
                wrong);
    return wrong == 0 ? 0 : 1;
}
