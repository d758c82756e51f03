// Download throughput of the transfer server and agent over loopback, side by
// side with a plain TCP copy of the same file in the same run: one thread reads
// the file and sends it in large writes, another receives and writes it to
// disk. Both paths end in a file on disk, and both run at the niceness the
// server and agent threads use. The download goes the way a user's does,
// through the queue: with the SHA-256 at both ends and the hash states the
// agent saves for a resume (bench_peer_ExtendedTransferBench takes these
// costs apart).
//
//   bench_peer_TransferThroughputBench [megabytes (default 1024)] [folder (default /tmp)]

#include "TransferBenchSupport.h"
#include "app/files/ShareTable.h"
#include "app/peer/transfer/TransferAgentQueue.h"
#include "app/peer/transfer/TransferServer.h"

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

using namespace transferbench;

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
    // A finished row stays in the queue with its final state.
    while (queue.PendingCount() > 0 || queue.IsWorkerActive())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return std::chrono::duration<double>(Clock::now() - started).count();
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
    fs::path folder = MakeBenchFolder(base, "transfer-bench");
    if (folder.empty())
        return 1;
    fs::path source = folder / "share" / "file";
    MakeSource(source, megabytes);
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
