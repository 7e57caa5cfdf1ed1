// Filling the check list with sorted names: time per item at 1,000 and at 50,000 names. The
// 1,000-name fill is the reference; a ratio near 1 means the fill grows linearly.
#include "bench/BenchFigures.h"
#include "controls/LncCkLb.h"

#include <QApplication>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::vector<std::string> sortedNames(int64_t n) {
    std::vector<std::string> names;
    names.reserve(n);
    char buf[32];
    for (int64_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, "Contact %06lld", static_cast<long long>(i));
        names.emplace_back(buf);
    }
    return names;
}

void BM_FillSortedCheckList(benchmark::State& state) {
    const int64_t n = state.range(0);
    auto names = sortedNames(n);
    QWidget form;
    new TLncController(&form);
    auto* list = new TLncCheckList(&form);
    list->SetSorted(true);
    list->SetItemHeight(16);
    list->SetHorizontalScroll(true); // measures every text for the horizontal extent
    list->Items.Add("x");
    double total = 0;
    int64_t runs = 0;
    for (auto _ : state) {
        state.PauseTiming();
        list->Items.Clear();
        state.ResumeTiming();
        auto start = std::chrono::steady_clock::now();
        for (const auto& name : names)
            list->Items.Add(name);
        total += std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
        ++runs;
        benchmark::DoNotOptimize(list->StateCount(cbChecked));
    }
    state.SetItemsProcessed(state.iterations() * n);
    state.counters["ns_per_item"] = total / double(runs) / double(n);
}

BENCHMARK(BM_FillSortedCheckList)->Arg(1000)->Arg(50000)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    pwbench::FiguresReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const int status = pwbench::printRatios([&] {
        // Items per second of each fill give the time per item.
        const double small = 1e9 / reporter.rate("BM_FillSortedCheckList/1000");
        const double large = 1e9 / reporter.rate("BM_FillSortedCheckList/50000");
        std::printf("time per item: %.1f ns at 1,000 names, %.1f ns at 50,000 names; ratio %.2f (limit 3)\n",
                    small, large, large / small);
    });
    benchmark::Shutdown();
    return status;
}
