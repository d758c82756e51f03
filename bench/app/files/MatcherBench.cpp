// Matching lower-cased file names against the pattern shapes the search server
// builds from queries, with our matcher and with POSIX regexec side by side.
// Each iteration matches all names once; the "matches" counter must agree
// between the two engines.
#include "app/files/PatternMatcher.h"

#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <regex.h>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kNameCount = 100000;

const std::vector<std::string>& Names() {
    static const std::vector<std::string> names = [] {
        const std::array<const char*, 16> words = {
            "song",  "track", "a", "mix",   "live",  "album", "b",    "demo",
            "intro", "x",     "my", "remix", "final", "take",  "best", "of"};
        const std::array<const char*, 6> extensions = {".mp3", ".txt", ".doc", ".wav", "", ".zip"};
        std::vector<std::string> out;
        out.reserve(kNameCount);
        std::uint32_t seed = 2024;
        auto next = [&seed](std::uint32_t n) {
            seed = seed * 1664525u + 1013904223u;
            return (seed >> 8) % n;
        };
        for (std::size_t i = 0; i < kNameCount; ++i) {
            std::string name;
            const std::uint32_t parts = 1 + next(4);
            for (std::uint32_t p = 0; p < parts; ++p) {
                if (p > 0)
                    name += " _-"[next(3)];
                name += words[next(static_cast<std::uint32_t>(words.size()))];
            }
            if (next(3) == 0)
                name += std::to_string(next(100));
            name += extensions[next(static_cast<std::uint32_t>(extensions.size()))];
            out.push_back(std::move(name));
        }
        return out;
    }();
    return names;
}

const std::array<const char*, 4> kPatterns = {"^song$", "^song", "song", "^a.b.*x$"};

void Ours(benchmark::State& state) {
    const auto& names = Names();
    PatternMatcher matcher(kPatterns[static_cast<std::size_t>(state.range(0))]);
    std::size_t matches = 0;
    for (auto _ : state) {
        matches = 0;
        for (const auto& name : names)
            matches += matcher.Match(name) ? 1 : 0;
        benchmark::DoNotOptimize(matches);
    }
    state.SetLabel(kPatterns[static_cast<std::size_t>(state.range(0))]);
    state.counters["matches"] = static_cast<double>(matches);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * names.size()));
}

void Posix(benchmark::State& state) {
    const auto& names = Names();
    regex_t regex;
    if (regcomp(&regex, kPatterns[static_cast<std::size_t>(state.range(0))],
                REG_EXTENDED | REG_NOSUB) != 0) {
        state.SkipWithError("regcomp failed");
        return;
    }
    std::size_t matches = 0;
    for (auto _ : state) {
        matches = 0;
        for (const auto& name : names)
            matches += regexec(&regex, name.c_str(), 0, nullptr, 0) == 0 ? 1 : 0;
        benchmark::DoNotOptimize(matches);
    }
    regfree(&regex);
    state.SetLabel(kPatterns[static_cast<std::size_t>(state.range(0))]);
    state.counters["matches"] = static_cast<double>(matches);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * names.size()));
}

// Compiling once per query is part of every search.
void OursCompile(benchmark::State& state) {
    for (auto _ : state) {
        PatternMatcher matcher("^a.b.*x$");
        benchmark::DoNotOptimize(matcher.IsValid());
    }
}

void PosixCompile(benchmark::State& state) {
    for (auto _ : state) {
        regex_t regex;
        benchmark::DoNotOptimize(regcomp(&regex, "^a.b.*x$", REG_EXTENDED | REG_NOSUB));
        regfree(&regex);
    }
}

// The worst a hostile query can do to one name: an exponential pattern that
// runs until the step budget ends it.
void OursHostile(benchmark::State& state) {
    PatternMatcher matcher("^(a|aa)*$");
    const std::string subject = std::string(40, 'a') + "c";
    for (auto _ : state)
        benchmark::DoNotOptimize(matcher.Match(subject));
    state.counters["exhausted"] = matcher.BudgetExhausted() ? 1 : 0;
}

void PosixHostile(benchmark::State& state) {
    regex_t regex;
    if (regcomp(&regex, "^(a|aa)*$", REG_EXTENDED | REG_NOSUB) != 0) {
        state.SkipWithError("regcomp failed");
        return;
    }
    const std::string subject = std::string(40, 'a') + "c";
    for (auto _ : state)
        benchmark::DoNotOptimize(regexec(&regex, subject.c_str(), 0, nullptr, 0));
    regfree(&regex);
}

} // namespace

BENCHMARK(Ours)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);
BENCHMARK(Posix)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);
BENCHMARK(OursCompile);
BENCHMARK(PosixCompile);
BENCHMARK(OursHostile)->Unit(benchmark::kMicrosecond);
BENCHMARK(PosixHostile)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
