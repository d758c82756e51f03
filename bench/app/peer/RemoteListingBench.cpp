// Listing a shared folder through RemoteFileSystem against a real NFSServer
// over loopback, the way an explorer pane draws it: FindFile, the walk with
// its per-item questions, and each item's status and small-icon information
// as the list view asks for them; then the same through ListFolder, as a
// window's worker lists. Two figures take the ends apart: the server's own
// walk (from the request to the count, which the server sends once the whole
// table is built), and a peer that replays prepared bytes, so the client's own
// share shows; a last one decodes the prepared table in memory.
//
//   bench_peer_RemoteListingBench [files (default 10000)] [rounds (default 3)]

#include "app/files/IconIndexCache.h"
#include "app/files/ShareTable.h"
#include "app/peer/remotefs/NFSListingEntry.h"
#include "app/peer/remotefs/NFSProtocol.h"
#include "app/peer/remotefs/NFSServer.h"
#include "app/peer/remotefs/RemoteFileSystem.h"
#include "app/peer/wire/TimeOutSocket.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr char kAddress[] = "127.0.0.1";

double Seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

int FreePort() {
    TimeOutSocket probe;
    probe.Listen(kAddress, 0);
    return probe.LocalPort();
}

// Walks the folder as an explorer pane and its list view do; the items seen.
int Browse(RemoteFileSystem& remote, const std::string& pattern, double& findSeconds) {
    int seen = 0;
    const auto findStart = Clock::now();
    const bool found = remote.FindFile(pattern, 0);
    findSeconds = Seconds(findStart);
    if (!found)
        return 0;
    bool more = true;
    while (more) {
        more = remote.FindNextFile();
        if (remote.IsDots())
            continue;
        const std::string path = remote.GetFilePath();
        if (path.empty())
            continue;
        remote.IsDirectory();
        remote.IsHidden();
        FileStatus status;
        remote.GetStatus(path, status);
        ShellFileInfo info;
        remote.GetFileInfo(path, info, kInfoIcon | kInfoSmallIcon | kInfoDisplayName);
        ++seen;
    }
    return seen;
}

// The same as a window's worker does it: the listing as a value, then each
// item's status and small-icon information.
int BrowseListed(RemoteFileSystem& remote, const std::string& pattern, double& listSeconds) {
    const auto listStart = Clock::now();
    const FolderListing listing = remote.ListFolder(pattern);
    listSeconds = Seconds(listStart);
    for (const FolderEntry& entry : listing.entries) {
        FileStatus status;
        remote.GetStatus(entry.path, status);
        ShellFileInfo info;
        remote.GetFileInfo(entry.path, info, kInfoIcon | kInfoSmallIcon | kInfoDisplayName);
    }
    return static_cast<int>(listing.entries.size());
}

// Answers every connection from prepared bytes: a session, then for each
// operation "known", and the listing block to a listing request, 1 otherwise.
class ReplayPeer {
public:
    explicit ReplayPeer(std::vector<std::uint8_t> listing, std::int32_t count)
        : m_listing(std::move(listing))
        , m_count(count) {
        m_listener.Listen(kAddress, 0);
        m_listener.WatchRunFlag(&m_running);
        m_thread = std::thread([this] { Run(); });
    }
    ~ReplayPeer() {
        m_running = false;
        m_thread.join();
    }
    int Port() const { return m_listener.LocalPort(); }

private:
    void Run() {
        while (m_running) {
            TimeOutSocket connection;
            m_listener.SetTimeOut(std::chrono::milliseconds(100));
            if (!m_listener.Accept(connection))
                continue;
            std::int32_t type = 0;
            std::int32_t value = 0;
            if (!connection.ReceiveInt32(type) || !connection.ReceiveInt32(value))
                continue;
            if (type == kNfsNewClient) {
                connection.SendInt32(0);
                connection.SendInt32(kNfsVersion);
                continue;
            }
            std::int32_t code = 0;
            std::string path;
            connection.SendInt32(1);
            if (!connection.ReceiveInt32(code))
                continue;
            if (code == kNfsListDirectory || code == kNfsFindFile)
                connection.ReceiveText(path, kPathFieldWidth);
            if (code == kNfsListDirectory) {
                connection.SendInt32(m_count);
                connection.SendBlock(m_listing);
            } else {
                connection.SendInt32(1);
            }
        }
    }

    std::vector<std::uint8_t> m_listing;
    std::int32_t m_count;
    TimeOutSocket m_listener;
    std::atomic<bool> m_running{true};
    std::thread m_thread;
};

std::vector<std::uint8_t> PreparedListing(const std::string& folder, int files) {
    std::vector<std::uint8_t> block((static_cast<std::size_t>(files) + 1) * kNfsListingEntrySize);
    for (int i = 0; i <= files; ++i) {
        NFSListingEntry entry;
        entry.path = i == 0 ? "." : folder + "/file" + std::to_string(i) + ".mp3";
        entry.isDots = i == 0;
        entry.statusResult = 1;
        entry.status.fullPath = entry.path;
        entry.infoB.displayName = "file" + std::to_string(i) + ".mp3";
        entry.infoB.typeName = "MP3 audio";
        entry.infoA = entry.infoC = entry.infoB;
        entry.infoResultA = entry.infoResultB = entry.infoResultC = 1;
        EncodeNFSListingEntry(entry,
                              std::span<std::uint8_t, kNfsListingEntrySize>(
                                  block.data() + static_cast<std::size_t>(i) * kNfsListingEntrySize,
                                  kNfsListingEntrySize));
    }
    return block;
}

// The processor time of this whole process; while the client waits for the
// count only the server works, so this is the server's own cost however busy
// the machine is.
double ProcessorSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// The server's walk of the folder: a listing request sent by hand, timed from
// its path to the count (the table follows, and is read and dropped); gives
// the processor time of the walk too.
double ServerWalkSeconds(int port, std::int32_t instance, const std::string& pattern,
                         std::int32_t& count, double& processorSeconds) {
    TimeOutSocket connection;
    std::int32_t known = 0;
    count = 0;
    if (!connection.Connect(kAddress, port) || !connection.SendInt32(kNfsOperation) ||
        !connection.SendInt32(instance) || !connection.ReceiveInt32(known) || known == 0 ||
        !connection.SendInt32(kNfsListDirectory))
        return 0;
    const auto start = Clock::now();
    const double processorStart = ProcessorSeconds();
    if (!connection.SendText(pattern, kPathFieldWidth) ||
        !connection.ReceiveInt32(count, std::chrono::seconds(60)))
        return 0;
    const double seconds = Seconds(start);
    processorSeconds = ProcessorSeconds() - processorStart;
    std::vector<std::uint8_t> table;
    if (count > 0)
        connection.ReceiveBlock(table, static_cast<std::size_t>(count) * kNfsListingEntrySize,
                                std::chrono::seconds(60));
    return seconds;
}

// Decodes a prepared table as the client does once it has arrived.
double DecodeSeconds(const std::vector<std::uint8_t>& block, std::size_t& decoded) {
    const auto start = Clock::now();
    std::vector<NFSListingEntry> entries;
    entries.reserve(block.size() / kNfsListingEntrySize);
    for (std::size_t offset = 0; offset + kNfsListingEntrySize <= block.size();
         offset += kNfsListingEntrySize)
        entries.push_back(DecodeNFSListingEntry(std::span<const std::uint8_t, kNfsListingEntrySize>(
            block.data() + offset, kNfsListingEntrySize)));
    decoded = entries.size();
    return Seconds(start);
}

void Report(const char* what, const char* step, int seen, int files, std::vector<double> times,
            std::vector<double> findTimes) {
    std::sort(times.begin(), times.end());
    std::sort(findTimes.begin(), findTimes.end());
    std::printf("%s: listed %d of %d files; %zu rounds: best %.3f s, median %.3f s "
                "(of which %s: best %.3f s, median %.3f s)\n",
                what, seen, files, times.size(), times.front(), times[times.size() / 2], step,
                findTimes.front(), findTimes[findTimes.size() / 2]);
}

} // namespace

int main(int argc, char** argv) {
    const int files = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;

    const fs::path root =
        fs::temp_directory_path() / ("remote-listing-bench-" + std::to_string(getpid()));
    // As deep as a music folder in a home: every path component was once
    // resolved again for every item.
    const fs::path share = root / "home" / "someone" / "Music" / "Shared";
    fs::create_directories(share);
    for (int i = 0; i < files; ++i) {
        const char* extension = i % 3 == 0 ? ".mp3" : i % 3 == 1 ? ".txt" : ".jpg";
        std::ofstream(share / ("file" + std::to_string(i) + extension)) << i;
    }

    auto table = std::make_shared<ShareTable>();
    table->Add(share.string());
    const int port = FreePort();
    NFSServer server(table, nullptr, port);
    server.Start();
    while (!server.IsListening())
        std::this_thread::sleep_for(std::chrono::milliseconds(10));

    IconIndexCache icons;
    // Each round a fresh object, as each window makes its own; prints the
    // figures and gives the items the last round saw.
    using Browser = int (*)(RemoteFileSystem&, const std::string&, double&);
    auto measure = [&](const char* what, const char* step, int onPort, const std::string& pattern,
                       Browser browse) {
        std::vector<double> times;
        std::vector<double> stepTimes;
        int seen = 0;
        for (int round = 0; round < rounds; ++round) {
            const auto start = Clock::now();
            RemoteFileSystem remote(kAddress, nullptr, &icons, onPort);
            double stepSeconds = 0;
            seen = browse(remote, pattern, stepSeconds);
            times.push_back(Seconds(start));
            stepTimes.push_back(stepSeconds);
        }
        Report(what, step, seen, files, times, stepTimes);
        return seen;
    };
    const std::string pattern = share.string() + "/*.*";
    {
        RemoteFileSystem session(kAddress, nullptr, nullptr, port);
        std::vector<double> times;
        std::vector<double> processorTimes;
        std::int32_t count = 0;
        for (int round = 0; round < rounds; ++round) {
            double processor = 0;
            times.push_back(ServerWalkSeconds(port, session.Instance(), pattern, count, processor));
            processorTimes.push_back(processor);
        }
        std::sort(times.begin(), times.end());
        std::sort(processorTimes.begin(), processorTimes.end());
        std::printf("server alone (request to count): %d entries; %zu rounds: best %.3f s, "
                    "median %.3f s (processor time: best %.3f s, median %.3f s)\n",
                    count, times.size(), times.front(), times[times.size() / 2],
                    processorTimes.front(), processorTimes[processorTimes.size() / 2]);
    }
    const int seen = measure("through NFSServer", "FindFile", port, pattern, Browse);
    const int listed =
        measure("through NFSServer, as a value", "ListFolder", port, pattern, BrowseListed);
    server.Stop(true);
    fs::remove_all(root);

    std::vector<std::uint8_t> prepared = PreparedListing("/replay", files);
    std::size_t decoded = 0;
    std::vector<double> decodeTimes;
    for (int round = 0; round < rounds; ++round)
        decodeTimes.push_back(DecodeSeconds(prepared, decoded));
    std::sort(decodeTimes.begin(), decodeTimes.end());
    std::printf("client decode alone (in memory): %zu entries; %zu rounds: best %.3f s, "
                "median %.3f s\n",
                decoded, decodeTimes.size(), decodeTimes.front(),
                decodeTimes[decodeTimes.size() / 2]);

    ReplayPeer replay(std::move(prepared), files + 1);
    const int replayed = measure("client alone (prepared replies)", "FindFile", replay.Port(),
                                 "/replay/*.*", Browse);
    return seen == files && listed == files && replayed == files ? 0 : 1;
}
