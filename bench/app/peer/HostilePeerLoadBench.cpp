// A normal client's requests timed while hostile peers attack the servers, all
// in this process over loopback: 300 connections that send nothing to the
// remote file system port and 300 to the presence port, and a reader that takes
// 2 KiB every 2 s of a 32 MiB download. The attackers come from 127.0.0.2, the
// normal client from 127.0.0.3. Target: every normal request served within
// one second. Also shows how long the slow reader held its connection before
// the transfer server cut it off.
//
// Run it in a network namespace of its own (it takes the fixed ports):
//   unshare -n sh -c 'ip link set lo up && bench_peer_HostilePeerLoadBench [rounds]'

#include "app/files/LogEvent.h"
#include "app/files/ShareTable.h"
#include "app/peer/remotefs/NFSProtocol.h"
#include "app/peer/remotefs/NFSServer.h"
#include "app/peer/transfer/TransferServer.h"
#include "app/peer/wire/PeerConnection.h"
#include "app/peer/wire/PeerWire.h"
#include "service/PresenceListener.h"
#include "service/PresenceMessage.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kServer = "127.0.0.1";
constexpr const char* kAttacker = "127.0.0.2";
constexpr const char* kClient = "127.0.0.3";
constexpr std::int32_t kOwnId = 42;

// Answers the known-query the normal client asks; nothing else is asked.
class QuietHandler : public PresenceHandler {
public:
    std::int32_t OwnID() override { return kOwnId; }
    presence::PeerProfile ProfileFor(std::int32_t) override { return {}; }
    void AddressAnnounced(std::int32_t, const std::string&, const std::string&) override {}
    bool HasActiveTOS(std::int32_t) override { return false; }
    void TOSQueried(std::int32_t, const std::string&) override {}
    void StateQueried(std::int32_t, std::int32_t, const std::string&) override {}
    void AcquaintanceNoticed(std::int32_t, const std::string&) override {}
    void TOSNoticed(std::int32_t, std::int32_t, bool, const std::string&) override {}
    bool IsKnown(std::int32_t callerId) override { return callerId == 7; }
};

// Notes when the transfer server gives a download up.
class CutOffWatch : public LogReceiver {
public:
    void AppendEvent(const std::string& line) override {
        if (line == "TransferServer: Couldn't finish transmission")
            cutOff = true;
    }
    std::atomic<bool> cutOff{false};
};

std::unique_ptr<TimeOutSocket> ConnectFrom(const char* local, int port) {
    auto socket = std::make_unique<TimeOutSocket>();
    if (!socket->Connect(kServer, port, local))
        return nullptr;
    return socket;
}

// A new session and one folder search on it, as a browsing friend starts.
bool BrowseOnce(const std::string& pattern) {
    auto opening = ConnectFrom(kClient, kNfsServerPort);
    std::int32_t id = -1;
    std::int32_t version = 0;
    if (!opening || !opening->SendInt32(kNfsNewClient) || !opening->SendInt32(kNfsVersion) ||
        !opening->ReceiveInt32(id) || !opening->ReceiveInt32(version) || id < 0)
        return false;
    auto operation = ConnectFrom(kClient, kNfsServerPort);
    std::int32_t known = 0;
    std::int32_t found = 0;
    return operation && operation->SendInt32(kNfsOperation) && operation->SendInt32(id) &&
           operation->ReceiveInt32(known) && known == 1 && operation->SendInt32(kNfsFindFile) &&
           operation->SendText(pattern, kPathFieldWidth) && operation->ReceiveInt32(found) &&
           found == 1;
}

bool DownloadOnce(const std::string& path) {
    auto connection = ConnectFrom(kClient, kTransferServerPort);
    std::int32_t size = 0;
    if (!connection || !connection->SendText(path, kTransferPathWidth) ||
        !connection->ReceiveInt32(size) || size <= 0)
        return false;
    std::vector<std::uint8_t> buffer(16384);
    std::size_t total = 0;
    long got = 0;
    while ((got = connection->Receive(buffer.data(), buffer.size())) > 0)
        total += static_cast<std::size_t>(got);
    return total == static_cast<std::size_t>(TransferBlockCount(size)) * kTransferBlockSize;
}

bool AskPresenceOnce() {
    auto connection = ConnectFrom(kClient, presence::kPeerPort);
    if (!connection)
        return false;
    auto header = presence::Header::Request(presence::kKnownQuery, kOwnId, 7).Encode();
    std::vector<std::uint8_t> request(header.begin(), header.end());
    std::vector<std::uint8_t> reply;
    std::int32_t known = 0;
    return connection->SendBlock(request) &&
           connection->ReceiveBlock(reply, presence::kHeaderSize) &&
           connection->ReceiveInt32(known) && known == 1;
}

struct Figures {
    std::vector<double> milliseconds;
    int failures = 0;

    void Time(bool (*request)(const std::string&), const std::string& argument) {
        auto start = Clock::now();
        bool served = request(argument);
        milliseconds.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        failures += served ? 0 : 1;
    }
    void Print(const char* what) {
        std::sort(milliseconds.begin(), milliseconds.end());
        double median = milliseconds.empty() ? 0 : milliseconds[milliseconds.size() / 2];
        double worst = milliseconds.empty() ? 0 : milliseconds.back();
        std::printf("  %-34s median %8.1f ms  worst %8.1f ms  failed %d of %zu\n", what, median,
                    worst, failures, milliseconds.size());
    }
};

bool ServedOnce(const std::string&) {
    return AskPresenceOnce();
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    // Each line as it comes: against servers that the attack holds, a run may
    // be stopped long before it ends.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // Room for the attackers' descriptors and the servers' own.
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
    setenv("HALVARA_ADDRESS", kServer, 1);

    const fs::path root = fs::temp_directory_path() / ("hostile-load-" + std::to_string(getpid()));
    fs::create_directories(root / "share");
    {
        std::ofstream big(root / "share" / "big", std::ios::binary);
        std::vector<char> chunk(1 << 20, 'b');
        for (int i = 0; i < 32; ++i)
            big.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        std::ofstream(root / "share" / "small", std::ios::binary) << std::string(100000, 's');
    }
    auto table = std::make_shared<ShareTable>();
    table->Add((root / "share").string());
    LogEvent log;
    CutOffWatch watch;
    log.Register(&watch);

    NFSServer fileServer(table, &log);
    TransferServer transfers(table, &log);
    QuietHandler handler;
    PresenceListener presenceListener(handler, kServer);
    fileServer.Start();
    transfers.Start();
    presenceListener.Start();
    for (int i = 0; i < 500 && !(fileServer.IsListening() && transfers.IsListening() &&
                                 presenceListener.IsListening());
         ++i)
        std::this_thread::sleep_for(10ms);

    const std::string pattern = (root / "share").string() + "/*.*";
    const std::string small = (root / "share" / "small").string();
    auto measure = [&](const char* title) {
        Figures browse, download, presence;
        for (int i = 0; i < rounds; ++i) {
            browse.Time(BrowseOnce, pattern);
            download.Time(DownloadOnce, small);
            presence.Time(ServedOnce, std::string());
            std::this_thread::sleep_for(200ms);
        }
        std::printf("%s\n", title);
        browse.Print("remote file system (session+find)");
        download.Print("download of 100 kB");
        presence.Print("presence known-query");
    };
    measure("Without attackers:");

    // The attacks, all from one address.
    std::vector<std::unique_ptr<TimeOutSocket>> idle;
    int refusedAtOnce[2] = {0, 0};
    for (int port : {kNfsServerPort, presence::kPeerPort}) {
        for (int i = 0; i < 300; ++i) {
            if (auto socket = ConnectFrom(kAttacker, port))
                idle.push_back(std::move(socket));
        }
    }
    std::atomic<bool> reading{true};
    std::atomic<long> slowBytes{0};
    const auto slowStart = Clock::now();
    std::thread slowReader([&] {
        auto socket = ConnectFrom(kAttacker, kTransferServerPort);
        std::int32_t size = 0;
        if (!socket || !socket->SendText((root / "share" / "big").string(), kTransferPathWidth) ||
            !socket->ReceiveInt32(size))
            return;
        std::vector<std::uint8_t> buffer(2048);
        while (reading) {
            socket->SetTimeOut(100ms);
            long got = socket->Receive(buffer.data(), buffer.size());
            if (got == 0)
                break;
            slowBytes += std::max(got, 0L);
            for (int i = 0; i < 20 && reading; ++i)
                std::this_thread::sleep_for(100ms);
        }
    });
    std::this_thread::sleep_for(500ms);
    // Connections over the per-address bound were closed by the servers at once.
    for (std::size_t i = 0; i < idle.size(); ++i) {
        std::uint8_t byte = 0;
        idle[i]->SetTimeOut(10ms);
        if (idle[i]->Receive(&byte, 1) == 0)
            ++refusedAtOnce[i < idle.size() / 2 ? 0 : 1];
    }
    std::printf("Attack: %zu idle connections, closed at once over the bound: %d of the file "
                "server's, %d of the presence listener's; one reader taking 2 KiB every 2 s\n",
                idle.size(), refusedAtOnce[0], refusedAtOnce[1]);
    measure("With attackers:");

    // How long the slow reader held its download.
    while (!watch.cutOff && Clock::now() - slowStart < 180s)
        std::this_thread::sleep_for(100ms);
    std::printf("Slow reader %s after %.1f s, having taken %ld bytes\n",
                watch.cutOff ? "cut off" : "still served",
                std::chrono::duration<double>(Clock::now() - slowStart).count(), slowBytes.load());
    reading = false;
    slowReader.join();
    idle.clear();

    auto stopping = Clock::now();
    fileServer.Stop(true);
    transfers.Stop(true);
    presenceListener.Stop();
    std::printf("Stop of the three servers: %.0f ms\n",
                std::chrono::duration<double, std::milli>(Clock::now() - stopping).count());
    log.Unregister(&watch);
    fs::remove_all(root);
    return 0;
}
