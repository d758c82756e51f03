#pragma once

// What the transfer benchmarks share: the plain loopback copy every figure is
// set beside, the comparison of the copies, and the source file they move.

#include "app/peer/wire/TimeOutSocket.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace transferbench {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

inline constexpr char kAddress[] = "127.0.0.9";
inline constexpr std::size_t kPlainBuffer = 256 * 1024;

inline void Nice() {
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10);
}

inline bool WriteAll(int fd, const char* data, std::size_t count) {
    while (count > 0) {
        ssize_t wrote = write(fd, data, count);
        if (wrote <= 0)
            return false;
        data += wrote;
        count -= static_cast<std::size_t>(wrote);
    }
    return true;
}

inline int FreePort() {
    TimeOutSocket probe;
    probe.Listen(kAddress, 0);
    return probe.LocalPort();
}

// Seconds for a plain copy of source into destination over loopback: one
// thread reads the file and sends it in large writes, another receives and
// writes it to disk.
inline double PlainCopy(const fs::path& source, const fs::path& destination) {
    TimeOutSocket listener;
    if (!listener.Listen(kAddress, 0))
        return -1;
    int port = listener.LocalPort();
    auto started = Clock::now();
    std::thread sender([&] {
        Nice();
        TimeOutSocket connection;
        listener.SetTimeOut(std::chrono::seconds(10));
        if (!listener.Accept(connection))
            return;
        int fd = open(source.c_str(), O_RDONLY);
        std::vector<char> buffer(kPlainBuffer);
        ssize_t got = 0;
        while ((got = read(fd, buffer.data(), buffer.size())) > 0) {
            connection.KillTimeOut();
            if (connection.Send(buffer.data(), static_cast<std::size_t>(got)) !=
                static_cast<std::size_t>(got))
                break;
        }
        close(fd);
    });
    bool ok = true;
    std::thread receiver([&] {
        Nice();
        TimeOutSocket connection;
        if (!connection.Connect(kAddress, port)) {
            ok = false;
            return;
        }
        int fd = open(destination.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::vector<char> buffer(kPlainBuffer);
        while (true) {
            connection.KillTimeOut();
            long got = connection.Receive(buffer.data(), buffer.size());
            if (got <= 0)
                break;
            if (!WriteAll(fd, buffer.data(), static_cast<std::size_t>(got))) {
                ok = false;
                break;
            }
        }
        close(fd);
    });
    sender.join();
    receiver.join();
    double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    return ok ? seconds : -1;
}

inline bool SameFile(const fs::path& a, const fs::path& b) {
    std::error_code error;
    if (fs::file_size(a, error) != fs::file_size(b, error) || error)
        return false;
    std::ifstream left(a, std::ios::binary), right(b, std::ios::binary);
    std::vector<char> x(1 << 20), y(1 << 20);
    while (left && right) {
        left.read(x.data(), static_cast<std::streamsize>(x.size()));
        right.read(y.data(), static_cast<std::streamsize>(y.size()));
        if (left.gcount() != right.gcount() ||
            !std::equal(x.begin(), x.begin() + left.gcount(), y.begin()))
            return false;
    }
    return true;
}

// A file of megabytes random megabytes: one random megabyte repeated with a
// bit flipped each time, cheap to make and not compressible per block.
inline void MakeSource(const fs::path& source, std::size_t megabytes) {
    std::mt19937 generator(1);
    std::vector<char> chunk(1 << 20);
    for (auto& c : chunk)
        c = static_cast<char>(generator());
    std::ofstream out(source, std::ios::binary);
    for (std::size_t i = 0; i < megabytes; ++i) {
        chunk[i % chunk.size()] ^= 1;
        out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    }
}

// A new folder under base with a "share" folder in it; empty on failure.
inline fs::path MakeBenchFolder(const fs::path& base, const std::string& stem) {
    std::string pattern = (base / (stem + "-XXXXXX")).string();
    if (!mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        return {};
    }
    fs::create_directories(fs::path(pattern) / "share");
    return pattern;
}

} // namespace transferbench
