// How long the bridge calls that list the friends wait while the presence
// service talks to contacts whose addresses no longer answer.
//
//   bench_service_LiveCheckBench [seconds to measure, default 20] [dropped]
//
// 50 friends are stored at loopback addresses 127.0.9.10 to 127.0.9.59, where
// sockets listen on the peer port and never accept or answer: the kernel
// completes every connect, so each peer call made to them waits for its reply
// header until its time limit (10 s). halvserve (beside this program, or
// HALVSERVE_PATH) runs with a live check every 500 ms and the contact round
// of going online, both of which call every friend. Meanwhile a client lists
// the friends through the library as a friends window does
// (Halvara_GetFriend, Halvara_GetProfile, Halvara_IsOnline mode 0) and every
// call is timed. Then one live check of a single friend (Halvara_IsOnline
// mode 1) and one of all 50 at once (Halvara_CheckFriendsOnline) are timed.
//
// With "dropped" the friends sit at 10.99.0.10 to 10.99.0.59 instead, routed
// into the loopback device where every packet is dropped (no answer to a
// connect at all); the program adds that route itself once the friends are
// stored, so run it as root in a private network namespace:
//   unshare -n sh -c 'ip link set lo up && bench_service_LiveCheckBench 3 dropped'

#include "bridge/MemoryChannel.h"
#include "halvara.h"
#include "platform/SingleInstanceGuard.h"
#include "service/Halvara.h"
#include "service/InternetDatabase.h"
#include "service/PresenceMessage.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
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
constexpr int kContacts = 50;
constexpr int kBenchTos = 4343;
constexpr const char* kOwnAddress = "127.0.0.70";

bool g_dropped = false;

std::string ContactAddress(int i) {
    return (g_dropped ? "10.99.0." : "127.0.9.") + std::to_string(10 + i);
}

// One live check of one friend, then one of every friend at once.
bool TimeLiveChecks() {
    const int first = Halvara_GetFriend(1);
    auto start = Clock::now();
    Halvara_IsOnline(first, kBenchTos, 1);
    const double oneMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    std::vector<HalvaraFriendOnline> room(HALVARA_FRIEND_CHECKS_MAX);
    HalvaraFriendChecks checks{HALVARA_FRIEND_CHECKS_VERSION, HALVARA_FRIEND_CHECKS_MAX, 0,
                               room.data()};
    start = Clock::now();
    const int done = Halvara_CheckFriendsOnline(kBenchTos, &checks);
    const double allMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    int online = 0;
    for (int i = 0; i < checks.count; ++i)
        online += room[static_cast<std::size_t>(i)].online;
    std::printf("live check of one friend: %.0f ms; of all %d friends at once: %.0f ms "
                "(done %d, %d online; one after another would take about %.0f s)\n",
                oneMs, checks.count, allMs, done, online, oneMs * kContacts / 1000.0);
    return done == 1 && checks.count == kContacts;
}

// The programs' own output (the directory logs every request) is dropped.
pid_t Spawn(const std::string& program, const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int failed = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return failed ? -1 : pid;
}

// Waits for the program to end by itself; kills it after the limit. Returns
// whether it ended by itself with exit code 0.
bool Stop(pid_t pid, int waitSeconds) {
    if (pid <= 0)
        return false;
    int status = 0;
    pid_t ended = 0;
    for (int i = 0; i < waitSeconds * 20 && (ended = waitpid(pid, &status, WNOHANG)) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (ended == pid)
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return false;
}

bool CanConnect(const std::string& address, int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address.c_str(), &where.sin_addr);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0;
    close(fd);
    return ok;
}

int FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.1", &where.sin_addr);
    bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where);
    socklen_t length = sizeof where;
    getsockname(fd, reinterpret_cast<sockaddr*>(&where), &length);
    close(fd);
    return ntohs(where.sin_port);
}

// Sockets on the peer port of the contacts' addresses that accept and keep
// every connection open without a byte in reply, counting them.
class SilentContacts {
public:
    bool Open() {
        for (int i = 0; i < kContacts; ++i) {
            int fd = socket(AF_INET, SOCK_STREAM, 0);
            int yes = 1;
            setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
            sockaddr_in where{};
            where.sin_family = AF_INET;
            where.sin_port = htons(presence::kPeerPort);
            inet_pton(AF_INET, ContactAddress(i).c_str(), &where.sin_addr);
            if (bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 ||
                listen(fd, 64) != 0) {
                std::perror(ContactAddress(i).c_str());
                close(fd);
                return false;
            }
            m_listening.push_back(fd);
        }
        m_thread = std::thread([this] { Accept(); });
        return true;
    }
    ~SilentContacts() {
        m_run = false;
        if (m_thread.joinable())
            m_thread.join();
        for (int fd : m_listening)
            close(fd);
        for (int fd : m_accepted)
            close(fd);
    }
    int Calls() const { return m_calls.load(); }

private:
    void Accept() {
        std::vector<pollfd> fds;
        for (int fd : m_listening)
            fds.push_back({fd, POLLIN, 0});
        while (m_run) {
            if (poll(fds.data(), fds.size(), 100) <= 0)
                continue;
            for (pollfd& entry : fds) {
                if (!(entry.revents & POLLIN))
                    continue;
                int connection = accept(entry.fd, nullptr, nullptr);
                if (connection >= 0) {
                    m_accepted.push_back(connection);
                    m_calls.fetch_add(1);
                }
            }
        }
    }

    std::vector<int> m_listening;
    std::vector<int> m_accepted;
    std::atomic<bool> m_run{true};
    std::atomic<int> m_calls{0};
    std::thread m_thread;
};

double Micro(long long ns) {
    return static_cast<double>(ns) / 1000.0;
}

void Report(const char* what, std::vector<long long> samples) {
    if (samples.empty()) {
        std::printf("%-22s no samples\n", what);
        return;
    }
    std::sort(samples.begin(), samples.end());
    auto at = [&](double fraction) {
        return samples[static_cast<std::size_t>(fraction * double(samples.size() - 1))];
    };
    std::printf("%-22s %7zu calls: median %9.1f us, p99 %9.1f us, max %9.1f us\n", what,
                samples.size(), Micro(at(0.5)), Micro(at(0.99)), Micro(samples.back()));
}

// The friends stored for the identity the service will load: added by an
// engine in this process while nothing listens at their addresses, so every
// call to them fails at once.
bool StoreFriends(const std::string& directoryHost) {
    InternetSession session([] { return std::string(kOwnAddress); });
    InternetDatabase directory(session, directoryHost);
    std::vector<std::int32_t> ids;
    for (int i = 0; i < kContacts; ++i) {
        std::int32_t id = directory.RegisterNewID();
        directory.UpdateProfile(id, "Friend " + std::to_string(i),
                                "friend" + std::to_string(i) + "@example.org", "pw");
        directory.UpdateIP(id, ContactAddress(i), "pw");
        ids.push_back(id);
    }
    Halvara engine;
    if (engine.State() != Halvara::kOnline)
        return false;
    // A registered identity, as the headless client requires.
    engine.SetMyProfile({"Bench", "bench@example.org", "pw"});
    for (std::int32_t id : ids)
        engine.Add(id, true);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    g_dropped = argc > 2 && std::string(argv[2]) == "dropped";
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
    const char* configured = std::getenv("HALVSERVE_PATH");
    const std::string service = configured && *configured
                                    ? std::string(configured)
                                    : (self.parent_path() / "halvserve").string();
    const std::string halvdir = (self.parent_path() / "halvdir").string();

    char pattern[] = "/tmp/halvara-livecheck-XXXXXX";
    if (!mkdtemp(pattern)) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::filesystem::path folder = pattern;
    std::filesystem::create_directories(folder / "config");
    std::filesystem::permissions(folder, std::filesystem::perms::owner_all);
    const int port = FreePort();
    const std::string directoryHost = "127.0.0.1:" + std::to_string(port);
    setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (folder / "config").c_str(), 1);
    setenv("HOME", folder.c_str(), 1);
    setenv("HALVARA_DIRECTORY", directoryHost.c_str(), 1);
    setenv("HALVARA_ADDRESS", kOwnAddress, 1);
    setenv("HALVARA_PROBE_HOSTS", directoryHost.c_str(), 1);
    setenv("HALVARA_LIVE_CHECK_INTERVAL_MS", "500", 1);
    // The client finds the service this program started and launches nothing.
    setenv("HALVSERVE_PATH", "/bin/true", 1);

    bool ok = true;
    pid_t directoryPid = Spawn(halvdir, {"serve", "--listen", directoryHost, "--db",
                                         (folder / "directory.db").string(), "--threads", "2"});
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!CanConnect("127.0.0.1", port) && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    try {
        ok = directoryPid > 0 && StoreFriends(directoryHost);
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "setting up the friends failed: %s\n", failure.what());
        ok = false;
    }
    if (!ok)
        std::fprintf(stderr, "no directory (%s) or the friends could not be stored\n",
                     halvdir.c_str());

    SilentContacts silent;
    if (g_dropped)
        ok = ok && std::system("ip route add 10.99.0.0/16 dev lo") == 0;
    else
        ok = ok && silent.Open();
    pid_t servicePid = ok ? Spawn(service, {}) : -1;
    deadline = Clock::now() + std::chrono::seconds(10);
    while (ok && !platform::SingleInstanceGuard::IsHeld(MemoryChannel::kServiceGuardName) &&
           Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ok = ok && servicePid > 0 && Halvara_InitializeHeadless(kBenchTos) == 1 &&
         Halvara_UpdateTOS(kBenchTos, 1) == 1;
    if (!ok)
        std::fprintf(stderr, "halvserve (%s) did not come up\n", service.c_str());

    std::vector<long long> getFriend, getProfile, isOnline, passes;
    int friendsSeen = 0;
    if (ok) {
        const int callsBefore = silent.Calls();
        const auto end = Clock::now() + std::chrono::seconds(seconds);
        PersonalInfo info{};
        auto timed = [](std::vector<long long>& samples, auto&& call) {
            auto start = Clock::now();
            auto result = call();
            samples.push_back(
                std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count());
            return result;
        };
        while (Clock::now() < end) {
            auto passStart = Clock::now();
            int count = 0;
            for (int index = 0;; ++index) {
                int id = timed(getFriend, [&] { return Halvara_GetFriend(index); });
                if (id < 0)
                    break;
                timed(getProfile, [&] { return Halvara_GetProfile(id, &info); });
                timed(isOnline, [&] { return Halvara_IsOnline(id, -1, 0); });
                ++count;
            }
            passes.push_back(
                std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - passStart)
                    .count());
            friendsSeen = std::max(friendsSeen, count);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        std::printf("%d friends listed (the own entry included); %d calls reached the silent "
                    "contacts while measuring for %d s\n",
                    friendsSeen, silent.Calls() - callsBefore, seconds);
        Report("Halvara_GetFriend", getFriend);
        Report("Halvara_GetProfile", getProfile);
        Report("Halvara_IsOnline mode 0", isOnline);
        std::vector<long long> all(getFriend);
        all.insert(all.end(), getProfile.begin(), getProfile.end());
        all.insert(all.end(), isOnline.begin(), isOnline.end());
        Report("all listing calls", all);
        Report("whole friends list", passes);
        ok = friendsSeen == kContacts + 1;
        ok = TimeLiveChecks() && ok;
    }

    Halvara_UpdateTOS(kBenchTos, 0);
    Halvara_Deallocate(kBenchTos);
    const auto stopStart = Clock::now();
    if (servicePid > 0) {
        const bool clean = Stop(servicePid, 30);
        std::printf("halvserve %s after %.1f s\n", clean ? "ended" : "was killed or failed",
                    std::chrono::duration<double>(Clock::now() - stopStart).count());
        ok = ok && clean;
    }
    if (directoryPid > 0)
        kill(directoryPid, SIGTERM);
    Stop(directoryPid, 5);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return ok ? 0 : 1;
}
