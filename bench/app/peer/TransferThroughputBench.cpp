// Download throughput of the transfer server and agent over loopback, side by
// side with a plain TCP copy of the same file in the same run: one thread reads
// the file and sends it in large writes, another receives and writes it to
// disk. Both paths end in a file on disk, and both run at the niceness the
// server and agent threads use.
//
//   bench_peer_TransferThroughputBench [megabytes (default 1024)] [folder (default /tmp)]

#include "app/files/ShareTable.h"
#include "app/peer/transfer/TransferAgentQueue.h"
#include "app/peer/transfer/TransferServer.h"
#include "app/peer/wire/TimeOutSocket.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr char kAddress[] = "127.0.0.9";
constexpr std::size_t kPlainBuffer = 256 * 1024;

void Nice() {
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10);
}

bool WriteAll(int fd, const char* data, std::size_t count) {
    while (count > 0) {
        ssize_t wrote = write(fd, data, count);
        if (wrote <= 0)
            return false;
        data += wrote;
        count -= static_cast<std::size_t>(wrote);
    }
    return true;
}

int FreePort() {
    TimeOutSocket probe;
    probe.Listen(kAddress, 0);
    return probe.LocalPort();
}

// Seconds for a plain copy of source into destination over loopback.
double PlainCopy(const fs::path& source, const fs::path& destination) {
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

// Seconds for a download of source into destination through the queue, the
// worker and the transfer server.
double Download(const std::shared_ptr<ShareTable>& table, const fs::path& source,
                const fs::path& destination) {
    setenv("HALVARA_ADDRESS", kAddress, 1);
    TransferDownloadOptions options;
    options.port = FreePort();
    TransferServer server(table, nullptr, options.port);
    if (!server.Start())
        return -1;
    while (!server.IsListening())
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    TransferAgentQueue queue(nullptr, nullptr, options);
    auto started = Clock::now();
    if (!queue.AddTransfer(source.string(), kAddress, destination.string(), "127.0.0.1"))
        return -1;
    while (queue.RowCount() > 0 || queue.IsWorkerActive())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return std::chrono::duration<double>(Clock::now() - started).count();
}

bool SameFile(const fs::path& a, const fs::path& b) {
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

} // namespace

int main(int argc, char** argv) {
    std::size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1024;
    fs::path base = argc > 2 ? argv[2] : "/tmp";
    // The share table refuses the largest sizes; one byte less than 2 GiB is the most.
    if (megabytes == 0 || megabytes > 2047) {
        std::fprintf(stderr, "size must be 1 to 2047 MB\n");
        return 2;
    }
    std::string pattern = (base / "transfer-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    fs::path folder = pattern;
    fs::create_directories(folder / "share");
    fs::path source = folder / "share" / "file";
    {
        // One random megabyte repeated: cheap to make, not compressible per block.
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
    auto table = std::make_shared<ShareTable>();
    table->Add((folder / "share").string());
    double bytes = static_cast<double>(megabytes) * 1024 * 1024;

    double plain = PlainCopy(source, folder / "plain");
    bool plainOk = SameFile(source, folder / "plain");
    fs::remove(folder / "plain");
    double download = Download(table, source, folder / "download");
    bool downloadOk = SameFile(source, folder / "download");
    fs::remove(folder / "download");

    std::printf("file: %zu MB\n", megabytes);
    std::printf("plain TCP copy:    %7.3f s  %8.1f MB/s  %s\n", plain, bytes / plain / 1048576,
                plainOk ? "identical" : "DIFFERENT");
    std::printf("transfer download: %7.3f s  %8.1f MB/s  %s\n", download,
                bytes / download / 1048576, downloadOk ? "identical" : "DIFFERENT");
    std::printf("download / plain:  %5.1f%%\n", 100.0 * plain / download);

    fs::remove_all(folder);
    return plainOk && downloadOk && plain > 0 && download > 0 ? 0 : 1;
}
