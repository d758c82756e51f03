// Median and 99th percentile of the round trip of Halvara_NumActiveTOS through
// the real halvserve, with 1 and with 4 client processes calling at once.
//
//   halvara_bench_roundtrip [calls per client, default 5000]
//
// Runs in a private session namespace; halvserve is taken from HALVSERVE_PATH
// or from beside this program.

#include "bridge/MemoryChannel.h"
#include "halvara.h"
#include "platform/SingleInstanceGuard.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

constexpr int kBenchTos = 4242;
constexpr int kWarmUpCalls = 200;

pid_t Spawn(const std::string& program, const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    return pid;
}

// One client process: times each call and writes the nanoseconds to a file.
int RunChild(int calls, const std::string& startFile, const std::string& resultFile) {
    Halvara_Initialize(nullptr, kBenchTos);
    for (int i = 0; i < kWarmUpCalls; ++i)
        Halvara_NumActiveTOS();
    while (!std::filesystem::exists(startFile))
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    std::vector<long long> samples;
    samples.reserve(static_cast<std::size_t>(calls));
    for (int i = 0; i < calls; ++i) {
        auto start = std::chrono::steady_clock::now();
        int count = Halvara_NumActiveTOS();
        auto end = std::chrono::steady_clock::now();
        if (count != 1) {
            std::fprintf(stderr, "unexpected count %d\n", count);
            return 1;
        }
        samples.push_back(
            std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count());
    }
    std::ofstream out(resultFile, std::ios::binary);
    out.write(reinterpret_cast<const char*>(samples.data()),
              static_cast<std::streamsize>(samples.size() * sizeof(long long)));
    return out ? 0 : 1;
}

bool Round(const std::string& self, int clients, int calls, const std::filesystem::path& folder) {
    std::string startFile = (folder / ("start-" + std::to_string(clients))).string();
    std::vector<pid_t> children;
    std::vector<std::string> resultFiles;
    for (int i = 0; i < clients; ++i) {
        resultFiles.push_back(
            (folder / ("result-" + std::to_string(clients) + "-" + std::to_string(i))).string());
        children.push_back(
            Spawn(self, {"--child", std::to_string(calls), startFile, resultFiles.back()}));
    }
    // Let every child finish its warm-up, then start them together.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    std::ofstream(startFile) << "go";
    bool ok = true;
    for (pid_t child : children) {
        int status = 0;
        if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
            WEXITSTATUS(status) != 0)
            ok = false;
    }
    if (!ok) {
        std::fprintf(stderr, "a client failed\n");
        return false;
    }
    std::vector<long long> samples;
    for (const std::string& file : resultFiles) {
        std::ifstream in(file, std::ios::binary);
        long long value = 0;
        while (in.read(reinterpret_cast<char*>(&value), sizeof value))
            samples.push_back(value);
    }
    if (samples.empty())
        return false;
    std::sort(samples.begin(), samples.end());
    auto at = [&](double fraction) {
        auto index = static_cast<std::size_t>(fraction * static_cast<double>(samples.size() - 1));
        return static_cast<double>(samples[index]) / 1000.0;
    };
    std::printf("%d client(s), %zu calls: median %.1f us, p99 %.1f us, max %.1f us\n", clients,
                samples.size(), at(0.5), at(0.99), at(1.0));
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "--child") == 0)
        return RunChild(std::atoi(argv[2]), argv[3], argv[4]);

    int calls = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5000;
    std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    std::string service = std::getenv("HALVSERVE_PATH") && *std::getenv("HALVSERVE_PATH")
                              ? std::getenv("HALVSERVE_PATH")
                              : (std::filesystem::path(self).parent_path() / "halvserve").string();

    char pattern[] = "/tmp/halvara-bench-XXXXXX";
    if (!mkdtemp(pattern)) {
        std::perror("mkdtemp");
        return 1;
    }
    std::filesystem::path folder = pattern;
    std::filesystem::create_directories(folder / "config");
    setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (folder / "config").c_str(), 1);
    setenv("HOME", folder.c_str(), 1);
    // No directory answers: the service stays offline and local.
    setenv("HALVARA_DIRECTORY", "127.0.0.1:1", 1);
    setenv("HALVARA_ADDRESS", "127.0.0.1", 1);
    // The clients find the service this program started and launch nothing.
    setenv("HALVSERVE_PATH", "/bin/true", 1);

    pid_t servicePid = Spawn(service, {});
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!platform::SingleInstanceGuard::IsHeld(MemoryChannel::kServiceGuardName) &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));

    bool ok = servicePid > 0 && Halvara_Initialize(nullptr, kBenchTos) == 0 &&
              Halvara_UpdateTOS(kBenchTos, 1) == 1;
    if (!ok)
        std::fprintf(stderr, "halvserve (%s) did not come up\n", service.c_str());
    ok = ok && Round(self, 1, calls, folder) && Round(self, 4, calls, folder);

    Halvara_UpdateTOS(kBenchTos, 0);
    if (servicePid > 0) {
        int status = 0;
        for (int i = 0; i < 100 && waitpid(servicePid, &status, WNOHANG) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (waitpid(servicePid, &status, WNOHANG) == 0) {
            kill(servicePid, SIGKILL);
            waitpid(servicePid, &status, 0);
        }
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return ok ? 0 : 1;
}
