// Reading the icon block of the settings file at start: every extension that
// had an icon is looked up again by name, so the cost grows with the block.
// "typical" is a few hundred extensions a user's disks show; "full" is the
// largest block the cache accepts, every node carrying an icon.
#include "app/files/IconIndexCache.h"
#include "app/files/IconTable.h"

#include <benchmark/benchmark.h>
#include <cstdint>
#include <string>
#include <vector>

namespace {

std::vector<std::uint8_t> BlockOf(std::size_t extensions) {
    IconIndexCache cache;
    std::size_t stored = 0;
    for (int a = 'a'; a <= 'z' && stored < extensions; ++a)
        for (int b = 'a'; b <= 'z' && stored < extensions; ++b)
            for (int c = 0; c < 256 && stored < extensions; ++c) {
                if (c == '.' || c == 0 || (c >= 'A' && c <= 'Z'))
                    continue;
                const std::string name = {'x', '.', char(a), char(b), char(c)};
                // Refused: "exe", or the cache is full.
                if (cache.Store(name, 1, 0))
                    ++stored;
            }
    return cache.Serialize();
}

void LoadBlock(benchmark::State& state, std::size_t extensions) {
    const std::vector<std::uint8_t> block = BlockOf(extensions);
    int records = 0;
    for (auto _ : state) {
        IconTable table;
        IconIndexCache cache(table);
        records = cache.Deserialize(block.data(), block.size());
        benchmark::DoNotOptimize(records);
    }
    state.counters["records"] = records;
}

void BM_IconBlockTypical(benchmark::State& state) {
    LoadBlock(state, 300);
}
void BM_IconBlockFull(benchmark::State& state) {
    LoadBlock(state, IconIndexCache::kMaxNodes);
}

} // namespace

BENCHMARK(BM_IconBlockTypical)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IconBlockFull)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_MAIN();
