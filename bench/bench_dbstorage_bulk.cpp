// One transaction far larger than the buffer manager's RAM limit: the cost per row of inserting
// 1,000,000 contacts-shaped rows with their name index, with the default limit beside a 1 GB limit
// that holds the whole transaction, in one run. The two should cost about the same per row.
#include "bench/BenchSupport.h"
#include "bench/ContactsStore.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::string g_folder;
int g_rows = 0;

// One transaction of all rows in a fresh folder with a RAM limit of range(0) MB.
void BM_StorageBulkInsert(benchmark::State& state) {
    const uint32_t maxRAM = uint32_t(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        const std::string folder = g_folder + "/bulk" + std::to_string(maxRAM);
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
        auto store = std::make_unique<pwbench::ContactsStore>(folder, maxRAM);
        auto table = std::make_unique<pwbench::ContactsTable>(*store, folder + "/contacts.QB2");
        state.ResumeTiming();
        // The names come in a scattered order (a permutation of the numbers below the row count).
        table->fill(g_rows,
                    [](int i) { return "Contact " + std::to_string(int64_t(i) * 48271 % g_rows + g_rows); });
        state.PauseTiming();
        table.reset();
        store.reset();
        std::filesystem::remove_all(folder);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * g_rows);
}

} // namespace

BENCHMARK(BM_StorageBulkInsert)
    ->Arg(TqbBufferManager::kDefaultMaxRAM)
    ->Arg(1024)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->UseRealTime();

int main(int argc, char** argv) {
    const char* base = std::getenv("PW_BENCH_DIR");
    std::filesystem::path dir =
        std::filesystem::path(base ? base : std::filesystem::temp_directory_path().string()) /
        ("pw-bulk-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    g_folder = dir.string();
    g_rows = int(pwbench::size(1000000, 20000));
    benchmark::Initialize(&argc, argv);
    pwbench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const int status = pwbench::printRatios([&] {
        const double small =
            reporter.rate("BM_StorageBulkInsert/" + std::to_string(TqbBufferManager::kDefaultMaxRAM));
        const double large = reporter.rate("BM_StorageBulkInsert/1024");
        std::printf("Bulk %d rows in one transaction: %.2f us/row with the default %u MB limit, %.2f us/row "
                    "with 1 GB, ratio %.2f %s\n",
                    g_rows, 1e6 / small, TqbBufferManager::kDefaultMaxRAM, 1e6 / large, large / small,
                    pwbench::target(large / small <= 1.2, "<= 1.20").c_str());
    });
    std::filesystem::remove_all(dir);
    benchmark::Shutdown();
    return status;
}
