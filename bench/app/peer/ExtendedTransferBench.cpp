// The extended download exchange over loopback, each figure set beside a
// plain TCP copy of the same bytes from disk to disk in the same run:
//   - one file downloaded whole, without and with the SHA-256;
//   - four quarter-size files downloaded at once from one server;
//   - the same file resumed from 900/1024 of its length (900 MiB of 1 GiB) with the
//     server's digest already kept, against the whole download with digest:
//     once going on from the agent's last saved hash state of the part (as a
//     real resume does), once hashing the part from byte 0;
//   - the download without and with SHA-256 through a relay that holds the
//     stream to a fixed rate, as a fast link between two machines would;
//   - SHA-256 alone on one core, which bounds any download that hashes.
// The agent side runs on threads at the niceness the server's threads use.
//
// The machine may be shared: each round makes a plain copy right before the
// measured run, and the fastest plain copy and run of the rounds are shown.
//
//   bench_peer_ExtendedTransferBench [megabytes (default 1024)] [folder (default /tmp)]
//                                    [rounds (default 3)]

#include "TransferBenchSupport.h"
#include "app/files/ShareTable.h"
#include "app/peer/transfer/Sha256.h"
#include "app/peer/transfer/TransferAgentDownload.h"
#include "app/peer/transfer/TransferServer.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace transferbench;

struct Run {
    double seconds = -1;
    bool ok = false;
    // The plain copy made just before, under the same load.
    double plain = -1;
};

// Downloads every (source, destination) pair at once, each on its own thread.
Run Downloads(int port, const std::vector<std::pair<fs::path, fs::path>>& files,
              TransferDownloadOptions options) {
    options.port = port;
    std::vector<DownloadOutcome> outcomes(files.size());
    std::vector<std::thread> agents;
    const auto started = Clock::now();
    for (std::size_t i = 0; i < files.size(); ++i)
        agents.emplace_back([&, i] {
            Nice();
            std::atomic<bool> running{true};
            TransferItem item{files[i].first.string(), kAddress, files[i].second.string(),
                              "127.0.0.1"};
            outcomes[i] = DownloadTransferItemEx(item, nullptr, running, nullptr, options);
        });
    for (auto& agent : agents)
        agent.join();
    Run run;
    run.seconds = std::chrono::duration<double>(Clock::now() - started).count();
    run.ok = true;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const bool verified =
            !options.wantDigest || outcomes[i].digest == DownloadOutcome::Digest::Verified;
        run.ok = run.ok && outcomes[i].result == DownloadResult::Done && verified &&
                 SameFile(files[i].first, files[i].second);
    }
    return run;
}

// The fastest of rounds runs of measure; failed if any run failed.
template <typename Measure>
Run Fastest(int rounds, Measure measure) {
    Run best;
    best.ok = true;
    for (int i = 0; i < rounds; ++i) {
        const Run run = measure();
        best.ok = best.ok && run.ok;
        if (best.seconds < 0 || run.seconds < best.seconds)
            best.seconds = run.seconds;
    }
    return best;
}

// measure(port) against a server started for it alone, which has no digest
// kept yet: it hashes while it sends.
template <typename Measure>
Run WithOwnServer(const std::shared_ptr<ShareTable>& table, Measure measure) {
    const int port = FreePort();
    TransferServer own(table, nullptr, port);
    if (!own.Start())
        return Run{};
    while (!own.IsListening())
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return measure(port);
}

// Each round makes a plain copy and then runs measure, so both meet the same
// spells of load; the fastest of each is kept. Failed if any run failed.
template <typename Plain, typename Measure>
Run Best(int rounds, Plain plainCopy, Measure measure) {
    Run best;
    best.ok = true;
    for (int i = 0; i < rounds; ++i) {
        const double plain = plainCopy();
        const Run run = measure();
        best.ok = best.ok && run.ok && plain > 0;
        if (best.plain < 0 || plain < best.plain)
            best.plain = plain;
        if (best.seconds < 0 || run.seconds < best.seconds)
            best.seconds = run.seconds;
    }
    return best;
}

// Relays one connection to a server, holding what the server sends to rate
// bytes a second, as a link of that speed would: the two machines' own
// work then overlaps the flow instead of competing for the same cores.
class PacedRelay {
public:
    PacedRelay(int serverPort, double rate)
        : m_serverPort(serverPort)
        , m_rate(rate) {
        m_listener.Listen(kAddress, 0);
        m_listener.SetTimeOut(std::chrono::seconds(60));
        m_thread = std::thread([this] { Run(); });
    }
    ~PacedRelay() { m_thread.join(); }
    int Port() const { return m_listener.LocalPort(); }

private:
    void Run() {
        TimeOutSocket agent;
        if (!m_listener.Accept(agent))
            return;
        TimeOutSocket server;
        std::vector<std::uint8_t> request;
        if (!server.Connect(kAddress, m_serverPort) ||
            !agent.ReceiveBlock(request, kTransferPathWidth, std::chrono::seconds(10)) ||
            !server.SendBlock(request, std::chrono::seconds(10)))
            return;
        std::vector<char> buffer(kPlainBuffer);
        const auto started = Clock::now();
        double sent = 0;
        while (true) {
            server.SetTimeOut(std::chrono::seconds(10));
            const long got = server.Receive(buffer.data(), buffer.size());
            if (got <= 0)
                break;
            std::this_thread::sleep_until(started +
                                          std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double>(sent / m_rate)));
            agent.SetTimeOut(std::chrono::seconds(10));
            if (agent.Send(buffer.data(), static_cast<std::size_t>(got)) !=
                static_cast<std::size_t>(got))
                break;
            sent += static_cast<double>(got);
        }
    }

    const int m_serverPort;
    const double m_rate;
    TimeOutSocket m_listener;
    std::thread m_thread;
};

// SHA-256 of megabytes in memory on this thread, in MB a second.
double HashRate(std::size_t megabytes) {
    std::vector<std::uint8_t> bytes(1 << 20, 7);
    Sha256 hash;
    const auto started = Clock::now();
    for (std::size_t i = 0; i < megabytes; ++i)
        hash.Add(bytes.data(), bytes.size());
    hash.Finish();
    return static_cast<double>(megabytes) /
           std::chrono::duration<double>(Clock::now() - started).count();
}

void Print(const char* what, double megabytes, const Run& run) {
    std::printf("%-34s %7.3f s %8.1f MB/s  %5.1f%% of plain (%.3f s)  %s\n", what, run.seconds,
                megabytes / run.seconds, 100.0 * run.plain / run.seconds, run.plain,
                run.ok ? "identical" : "FAILED");
}

} // namespace

int main(int argc, char** argv) {
    const std::size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1024;
    const fs::path base = argc > 2 ? argv[2] : "/tmp";
    const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
    if (megabytes < 8 || megabytes % 8 != 0) {
        std::fprintf(stderr, "size must be a multiple of 8 MB\n");
        return 2;
    }
    const fs::path folder = MakeBenchFolder(base, "extended-transfer-bench");
    if (folder.empty())
        return 1;
    const fs::path source = folder / "share" / "file";
    MakeSource(source, megabytes);
    std::vector<std::pair<fs::path, fs::path>> quarters;
    for (int i = 0; i < 4; ++i) {
        const fs::path part = folder / "share" / ("quarter" + std::to_string(i));
        MakeSource(part, megabytes / 4);
        quarters.emplace_back(part, folder / ("got" + std::to_string(i)));
    }
    auto table = std::make_shared<ShareTable>();
    table->Add((folder / "share").string());
    setenv("HALVARA_ADDRESS", kAddress, 1);
    const double size = static_cast<double>(megabytes);

    bool plainOk = true;
    auto plain = [&] {
        const double seconds = PlainCopy(source, folder / "plain");
        plainOk = plainOk && SameFile(source, folder / "plain");
        fs::remove(folder / "plain");
        return seconds;
    };

    const int port = FreePort();
    TransferServer server(table, nullptr, port);
    if (!server.Start())
        return 1;
    while (!server.IsListening())
        std::this_thread::sleep_for(std::chrono::milliseconds(5));

    TransferDownloadOptions bare;
    bare.wantDigest = false;
    TransferDownloadOptions digest;
    const fs::path got = folder / "got";
    auto fresh = [&](const std::vector<std::pair<fs::path, fs::path>>& files,
                     const TransferDownloadOptions& options) {
        return Best(rounds, plain, [&] {
            for (auto& file : files)
                fs::remove(file.second);
            return Downloads(port, files, options);
        });
    };
    const Run whole = fresh({{source, got}}, bare);
    // A server of its own each round, so the server hashes while it sends.
    const Run hashed = Best(rounds, plain, [&] {
        fs::remove(got);
        return WithOwnServer(table, [&](int ownPort) {
            return Downloads(ownPort, {{source, got}}, digest);
        });
    });
    // The shared server has the digest kept after its first round: only the
    // agent hashes, and saves its hash state as it goes (the last one short
    // of the cut below is the resume's start).
    const auto cut = static_cast<std::uint64_t>(megabytes) * 900 * 1024;
    std::mutex stateLock;
    std::optional<Sha256Checkpoint> lastState;
    TransferDownloadOptions saving = digest;
    saving.hashCheckpoint = [&](const Sha256Checkpoint& state) {
        std::lock_guard lock(stateLock);
        if (state.bytes <= cut)
            lastState = state;
    };
    const Run kept = fresh({{source, got}}, saving);
    const Run four = fresh(quarters, bare);
    const Run fourHashed = fresh(quarters, digest);

    // Cut the copy at 900/1024 and resume it, with the server's digest kept.
    TransferDownloadOptions fromZero = digest;
    fromZero.startOffset = cut;
    fromZero.expectedSize = fs::file_size(source);
    TransferDownloadOptions resume = fromZero;
    resume.hashFrom = lastState;
    const std::uint64_t sentBefore = server.ExtendedBytesSent();
    const Run resumed = Best(rounds, plain, [&] {
        fs::resize_file(got, cut);
        return Downloads(port, {{source, got}}, resume);
    });
    const double sentPerResume =
        static_cast<double>(server.ExtendedBytesSent() - sentBefore) / rounds / 1048576;
    const Run rehashed = Best(rounds, plain, [&] {
        fs::resize_file(got, cut);
        return Downloads(port, {{source, got}}, fromZero);
    });

    // The same download over a 4 Gbit/s link, without and with SHA-256 (a
    // server of its own each round for the latter, so it hashes as it sends).
    constexpr double kLinkRate = 500.0 * 1000 * 1000;
    auto paced = [&](int serverPort, const TransferDownloadOptions& options) {
        fs::remove(got);
        PacedRelay relay(serverPort, kLinkRate);
        return Downloads(relay.Port(), {{source, got}}, options);
    };
    const Run pacedBare = Fastest(rounds, [&] { return paced(port, bare); });
    const Run pacedHashed = Fastest(rounds, [&] {
        return WithOwnServer(table, [&](int ownPort) { return paced(ownPort, digest); });
    });
    const double hashRate = HashRate(std::min<std::size_t>(megabytes, 512));

    std::printf("file: %zu MB, four files of %zu MB\n", megabytes, megabytes / 4);
    std::printf("plain copies: %s\n", plainOk ? "identical" : "DIFFERENT");
    Print("one download, no digest", size, whole);
    Print("one download, SHA-256", size, hashed);
    Print("one download, SHA-256 kept", size, kept);
    Print("four at once, no digest", size, four);
    Print("four at once, SHA-256", size, fourHashed);
    std::printf("%-34s %7.3f s  %5.1f%% of the download with SHA-256 kept  %s\n",
                "resume from 900/1024, digest kept", resumed.seconds,
                100.0 * resumed.seconds / kept.seconds, resumed.ok ? "verified" : "FAILED");
    std::printf("%-34s %7.3f s  %5.1f%% of the download without digest\n", "", resumed.seconds,
                100.0 * resumed.seconds / whole.seconds);
    std::printf("%-34s hash went on from byte %llu\n", "",
                static_cast<unsigned long long>(lastState ? lastState->bytes : 0));
    std::printf("%-34s %7.3f s  %5.1f%% of the download with SHA-256  %s\n",
                "resume, part hashed from byte 0", rehashed.seconds,
                100.0 * rehashed.seconds / hashed.seconds, rehashed.ok ? "verified" : "FAILED");
    std::printf("server sent %.1f MB per resume\n", sentPerResume);
    std::printf("SHA-256 cost: %+.1f%%\n", 100.0 * (hashed.seconds / whole.seconds - 1));
    std::printf("SHA-256 on one core: %.0f MB/s; no download that hashes %zu MB can take less "
                "than %.3f s here\n",
                hashRate, megabytes, size / hashRate);
    std::printf("%-34s %7.3f s  %s\n", "4 Gbit/s link, no digest", pacedBare.seconds,
                pacedBare.ok ? "identical" : "FAILED");
    std::printf("%-34s %7.3f s  %s\n", "4 Gbit/s link, SHA-256", pacedHashed.seconds,
                pacedHashed.ok ? "verified" : "FAILED");
    std::printf("SHA-256 cost over the link: %+.1f%%\n",
                100.0 * (pacedHashed.seconds / pacedBare.seconds - 1));

    fs::remove_all(folder);
    const bool ok = plainOk && whole.ok && hashed.ok && kept.ok && four.ok && fourHashed.ok &&
                    resumed.ok && rehashed.ok && pacedBare.ok && pacedHashed.ok;
    return ok ? 0 : 1;
}
