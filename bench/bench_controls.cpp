// Filling the check list with sorted names: time per item at 1,000 and at 50,000 names. The
// 1,000-name fill is the reference; a ratio near 1 means the fill grows linearly.
#include "controls/LncCkLb.h"

#include <QApplication>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

std::map<int64_t, double> nsPerItem;

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
    nsPerItem[n] = total / double(runs) / double(n);
    state.counters["ns_per_item"] = nsPerItem[n];
}

BENCHMARK(BM_FillSortedCheckList)->Arg(1000)->Arg(50000)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (nsPerItem.count(1000) && nsPerItem.count(50000)) {
        std::printf("time per item: %.1f ns at 1,000 names, %.1f ns at 50,000 names; ratio %.2f (limit 3)\n",
                    nsPerItem[1000], nsPerItem[50000], nsPerItem[50000] / nsPerItem[1000]);
    }
    return 0;
}
