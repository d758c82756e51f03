// One search over a shared tree, the walk a search server makes for every
// request, beside `find -iname` over the same tree in the same run. The tree
// is made in a temporary folder: `folders` folders of `files` files each,
// every fiftieth file name holding "Song" (fewer matches
// than a reply holds, so the walk visits the whole tree).
//
//   bench_peer_SearchWalkBench [folders (default 1000)] [files (default 100)]

#include "app/files/ShareTable.h"
#include "app/peer/search/SearchReply.h"
#include "app/peer/search/SearchServer.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void MakeTree(const fs::path& root, int folders, int files) {
    for (int folder = 0; folder < folders; ++folder) {
        // Ten folders a level, so the walk goes into depth as well as breadth.
        const fs::path dir =
            root / ("group-" + std::to_string(folder / 10)) / ("folder-" + std::to_string(folder));
        fs::create_directories(dir);
        for (int file = 0; file < files; ++file) {
            const std::string name = (file % 50 == 0 ? "Song-" : "track-") +
                                     std::to_string(folder) + "-" + std::to_string(file) + ".dat";
            if (FILE* out = std::fopen((dir / name).c_str(), "w"))
                std::fclose(out);
        }
    }
}

// Lines find prints, counted by a pipe.
long RunFind(const fs::path& root, const std::string& pattern) {
    const std::string command = "find '" + root.string() + "' -iname '" + pattern + "'";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return -1;
    long lines = 0;
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, pipe))
        ++lines;
    pclose(pipe);
    return lines;
}

} // namespace

int main(int argc, char** argv) {
    const int folders = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int files = argc > 2 ? std::atoi(argv[2]) : 100;
    char pattern[] = "/tmp/search-walk-bench-XXXXXX";
    if (!mkdtemp(pattern))
        return 1;
    const fs::path root = pattern;
    const fs::path shared = root / "shared";

    auto start = Clock::now();
    MakeTree(shared, folders, files);
    std::printf("tree: %d folders x %d files made in %.2f s\n", folders, files, Seconds(start));

    auto table = std::make_shared<ShareTable>();
    if (!table->Add(shared.string() + "/")) {
        std::printf("could not share %s\n", shared.c_str());
        return 1;
    }

    // Two rounds, find first in each, so neither profits from a cache that
    // only the other warmed; the second round shows both with warm caches.
    for (int round = 1; round <= 2; ++round) {
        start = Clock::now();
        const long found = RunFind(shared, "*song*");
        const double findTime = Seconds(start);

        std::vector<std::string> paths;
        std::vector<std::string> titles;
        start = Clock::now();
        SearchServer::SearchSharedFolders(table.get(), 0, "*song*", paths, titles);
        const double searchTime = Seconds(start);

        std::printf("round %d: find -iname '*song*': %ld matches in %.3f s\n", round, found,
                    findTime);
        std::printf("round %d: search '*song*':      %zu matches in %.3f s (%.2fx find)\n", round,
                    paths.size(), searchTime, searchTime / findTime);
    }
    std::printf("(a reply holds at most %zu results, so the walk stops there)\n",
                SearchServer::kReplyResultLimit);

    std::error_code ignored;
    fs::remove_all(root, ignored);
    return 0;
}
