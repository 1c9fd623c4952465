// Renders the whole song in one run: the reference path, the same plain path
// with the C library's sin (what a straightforward implementation would write,
// and the fairer baseline: with the exact sine the plain path takes about 1.35
// times as long), the fast path as the programs run it (for 16-bit output) on
// one thread and on every core, and the fast path keeping every float of the mix
// on one thread; then prints how long each took and its share of both plain times.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <thread>

#include "app/song.h"
#include "synth/buffers.h"

namespace {

using namespace wave;

void Quiet(const char*) {}

// A fresh start for each render, outside the time measured: the programs find
// the buffers zero at their start.
void Prepare() {
    ClearBuffers();
    ResetNoiseRand();
    SetReportLine(Quiet);
}

// Argument: 1 for the C library's sin, 0 for the exact one.
void BM_Reference(benchmark::State& state) {
    const PlainSine sine = state.range(0) != 0 ? PlainSine::kCLibrary : PlainSine::kExact;
    for (auto _ : state) {
        state.PauseTiming();
        Prepare();
        state.ResumeTiming();
        benchmark::DoNotOptimize(RenderSongReference(sine));
        benchmark::ClobberMemory();
    }
}

// Arguments: threads; 1 to keep every float of the mix; 1 to use AVX2 at most.
void BM_Fast(benchmark::State& state) {
    const int threads = static_cast<int>(state.range(0));
    const MixUse use = state.range(1) != 0 ? MixUse::kFloats : MixUse::kPcm16;
    const FastPathIsa isa = state.range(2) != 0 ? FastPathIsa::kAvx2 : FastPathIsa::kBest;
    for (auto _ : state) {
        state.PauseTiming();
        Prepare();
        state.ResumeTiming();
        benchmark::DoNotOptimize(RenderSong(use, threads, isa));
        benchmark::ClobberMemory();
    }
}

int Cores() {
    return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
}

// Keeps the fastest repetition of each benchmark, for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.iterations == 0) continue;
            const double seconds = run.real_accumulated_time / static_cast<double>(run.iterations);
            const std::string name = run.run_name.function_name + "/" + run.run_name.args;
            auto [it, fresh] = best_.emplace(name, seconds);
            if (!fresh) it->second = std::min(it->second, seconds);
        }
    }
    const std::map<std::string, double>& best() const { return best_; }

private:
    std::map<std::string, double> best_;
};

}  // namespace

BENCHMARK(BM_Reference)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1)
    ->Repetitions(3)
    ->Arg(0)
    ->Arg(1);
BENCHMARK(BM_Fast)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(2)
    ->Repetitions(3)
    ->Args({1, 0, 0})
    ->Args({Cores(), 0, 0})
    ->Args({1, 1, 0})
    ->Args({1, 0, 1});

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const auto& best = reporter.best();
    const auto exact = best.find("BM_Reference/0");
    const auto literal = best.find("BM_Reference/1");
    const bool plain = exact != best.end() && literal != best.end();
    std::printf("\nwhole song, fastest repetition (%d cores)\n", Cores());
    if (plain) {
        std::printf("  %-31s %9.1f ms\n", "plain, exact sine", exact->second * 1e3);
        std::printf("  %-31s %9.1f ms   1/%.1f of the exact plain\n", "plain, C library sin",
                    literal->second * 1e3, exact->second / literal->second);
    }
    for (const auto& [name, seconds] : best) {
        int threads = 0, every_float = 0, avx2 = 0;
        if (std::sscanf(name.c_str(), "BM_Fast/%d/%d/%d", &threads, &every_float, &avx2) != 3) {
            continue;
        }
        char label[64];
        std::snprintf(label, sizeof label, "fast, %d thread(s)%s%s", threads,
                      every_float != 0 ? ", every float" : "", avx2 != 0 ? ", AVX2" : "");
        std::printf("  %-31s %9.1f ms", label, seconds * 1e3);
        if (plain) {
            std::printf("   1/%.1f of the exact plain, 1/%.1f of the C library's",
                        exact->second / seconds, literal->second / seconds);
        }
        std::printf("\n");
    }
    return 0;
}
