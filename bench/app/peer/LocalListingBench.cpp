// A folder of this computer listed the way a window lists it: the items as a
// value through LocalFileSystem::ListFolder, then (second figure) each item's
// type name and small icon as the details view asks for them. The folder is
// made in a temporary folder with files of a few kinds and some folders.
//
//   bench_peer_LocalListingBench [files (default 10000)] [rounds (default 5)]

#include "app/files/IconIndexCache.h"
#include "app/files/LocalFileSystem.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void Report(const char* what, std::size_t items, std::vector<double> times) {
    std::sort(times.begin(), times.end());
    std::printf("%s: %zu items; %zu rounds: best %.3f s, median %.3f s\n", what, items,
                times.size(), times.front(), times[times.size() / 2]);
}

} // namespace

int main(int argc, char** argv) {
    const int files = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    const fs::path folder =
        fs::temp_directory_path() / ("local-listing-bench-" + std::to_string(getpid()));
    fs::create_directories(folder);
    const char* const extensions[] = {".mp3", ".txt", ".jpg", ".pdf", ".tar.gz", ""};
    for (int i = 0; i < files; ++i) {
        const std::string name = "item" + std::to_string(i);
        if (i % 100 == 0)
            fs::create_directory(folder / name);
        else
            std::ofstream(folder / (name + extensions[i % 6])) << i;
    }

    IconIndexCache icons;
    LocalFileSystem local(&icons);
    const std::string pattern = folder.string() + "/*.*";
    std::vector<double> listTimes;
    std::vector<double> detailTimes;
    std::size_t listed = 0;
    for (int round = 0; round < rounds; ++round) {
        const auto start = Clock::now();
        const FolderListing listing = local.ListFolder(pattern);
        listTimes.push_back(Seconds(start));
        for (const FolderEntry& entry : listing.entries) {
            ShellFileInfo info;
            local.GetFileInfo(entry.path, info, kInfoTypeName | kInfoIcon | kInfoSmallIcon);
        }
        detailTimes.push_back(Seconds(start));
        listed = listing.entries.size();
    }
    Report("ListFolder", listed, listTimes);
    Report("ListFolder, then each type name and small icon", listed, detailTimes);
    fs::remove_all(folder);
    return listed == static_cast<std::size_t>(files) ? 0 : 1;
}
