// Durable one-row inserts per second: a contacts row with its record-reference and name index
// entries inserted through the table layer, each in a transaction of its own (journal, every sync),
// beside SQLite inserting the same row into the same table with its unique name index (one
// prepared statement, autocommit, a page cache as large as our RAM limit): with a rollback journal
// and synchronous=FULL, with synchronous=EXTRA (which, as ours, syncs the folder once the journal
// is removed), and in WAL mode with synchronous=FULL. The sides run interleaved and repeated;
// the rates are medians. Prints the rates, the CPU time and file calls of each of our commits, and
// the ratios.
#include "bench/BenchSupport.h"
#include "bench/ContactsStore.h"
#include "bench/SQLiteContacts.h"
#include "platform/Files.h"
#include "platform/testing/FaultyFiles.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

std::string g_folder;
// File calls per commit of the last storage run.
double g_syncs = 0, g_dirSyncs = 0, g_opens = 0, g_removes = 0;

std::string nameOf(int64_t i) {
    return "Contact " + std::to_string(i * 48271 % 1000003);
}

void BM_StorageDurableInsert(benchmark::State& state) {
    // Counts the file calls; they pass through to the disk unchanged.
    plat::FaultyFiles counted(plat::PosixFiles());
    plat::ScopedFiles use(counted);
    pwbench::ContactsStore store(g_folder, TqbBufferManager::kDefaultMaxRAM);
    pwbench::ContactsTable table(store, g_folder + "/contacts.QB2");
    counted.reset();
    int n = 0;
    for (auto _ : state) {
        TqbSrTransaction* t = store.begin();
        table.insert(t, n, nameOf(n));
        store.commit();
        ++n;
    }
    const double commits = double(state.iterations());
    g_syncs = double(counted.calls(plat::FileOp::Sync)) / commits;
    g_dirSyncs = double(counted.calls(plat::FileOp::SyncDir)) / commits;
    g_opens = double(counted.calls(plat::FileOp::Open)) / commits;
    g_removes = double(counted.calls(plat::FileOp::Remove)) / commits;
    state.counters["syncs_per_commit"] = g_syncs + g_dirSyncs;
    state.SetItemsProcessed(state.iterations());
}

void sqliteInserts(benchmark::State& state, const char* name, const char* settings) {
    const std::string path = g_folder + "/" + name + ".sqlite";
    std::filesystem::remove(path);
    {
        pwbench::SQLiteContacts db(path, settings, TqbBufferManager::kDefaultMaxRAM);
        int n = 0;
        for (auto _ : state) {
            db.insert(n, nameOf(n));
            ++n;
        }
        state.SetItemsProcessed(state.iterations());
    }
    std::filesystem::remove(path);
}

void BM_Reference_SQLiteFull(benchmark::State& state) {
    sqliteInserts(state, "full", "PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL;");
}

void BM_Reference_SQLiteExtra(benchmark::State& state) {
    sqliteInserts(state, "extra", "PRAGMA journal_mode=DELETE; PRAGMA synchronous=EXTRA;");
}

void BM_Reference_SQLiteWALFull(benchmark::State& state) {
    sqliteInserts(state, "wal", "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;");
}

void configure(benchmark::internal::Benchmark* b) {
    b->Unit(benchmark::kMicrosecond)
        ->MinTime(pwbench::minTime(1.0))
        ->Repetitions(pwbench::repetitions(5))
        ->UseRealTime();
}

} // namespace

BENCHMARK(BM_StorageDurableInsert)->Apply(configure);
BENCHMARK(BM_Reference_SQLiteFull)->Apply(configure);
BENCHMARK(BM_Reference_SQLiteExtra)->Apply(configure);
BENCHMARK(BM_Reference_SQLiteWALFull)->Apply(configure);

int main(int argc, char** argv) {
    // The folder of the run; by default one under the temporary directory, or the one given in
    // PW_BENCH_DIR (to measure a particular disk).
    const char* base = std::getenv("PW_BENCH_DIR");
    std::filesystem::path dir =
        std::filesystem::path(base ? base : std::filesystem::temp_directory_path().string()) /
        ("pw-commit-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    g_folder = dir.string();
    pwbench::initializeInterleaved(argc, argv);
    pwbench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const int status = pwbench::printRatios([&] {
        const double rate = reporter.rate("BM_StorageDurableInsert");
        std::printf("durable one-row inserts per second (medians), each in its own transaction:\n");
        std::printf("  storage %.0f (per commit %.0f us CPU, %.0f fdatasync, %.0f folder fsync, %.0f journal "
                    "created and removed)\n",
                    rate, reporter.get("BM_StorageDurableInsert").cpuTime, g_syncs, g_dirSyncs,
                    std::min(g_opens, g_removes));
        const auto reference = [&](const char* what, const char* name, bool held) {
            const double ref = reporter.rate(name);
            std::printf("  SQLite, %s %.0f (per commit %.0f us CPU): ratio %.2f%s\n", what, ref,
                        reporter.get(name).cpuTime, rate / ref,
                        held ? (" " + pwbench::target(rate / ref >= 0.5, ">= 0.50")).c_str() : "");
        };
        reference("rollback journal, synchronous=FULL", "BM_Reference_SQLiteFull", true);
        reference("rollback journal, synchronous=EXTRA", "BM_Reference_SQLiteExtra", false);
        reference("WAL, synchronous=FULL", "BM_Reference_SQLiteWALFull", false);
    });
    std::filesystem::remove_all(dir);
    benchmark::Shutdown();
    return status;
}
