// Durable commits per second: small transactions of the storage layer (one changed block, through
// the journal with every sync) beside SQLite one-row inserts with synchronous=FULL, in the same
// folder and run: with its rollback journal (deleted per commit, as ours) and in WAL mode. Prints
// the rates, the syncs each of our commits makes, and the ratios.
#include "bench/BenchSupport.h"
#include "db/storage/QBSRTran.h"
#include "db/storage/qbsrbase.h"
#include "platform/Files.h"
#include "platform/testing/FaultyFiles.h"
#include "tests/db/storage/TableImage.h"

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

std::string g_folder;
// File calls per commit of the last storage run.
double g_syncs = 0, g_dirSyncs = 0, g_opens = 0, g_removes = 0;

// A table of 64 blocks of 4 KB.
void makeTable(const std::string& path) {
    const std::string img = storetest::tableImage(4096, 64);
    plat::File f;
    f.open(path, plat::kFileReadWrite | plat::kFileCreate | plat::kFileTruncate);
    plat::FileWriteExact(f.handle(), 0, img.data(), img.size());
    plat::FileSync(f.handle());
}

void BM_StorageDurableCommit(benchmark::State& state) {
    makeTable(g_folder + "/T.QB2");
    // Counts the file calls; they pass through to the disk unchanged.
    plat::FaultyFiles counted(plat::PosixFiles());
    plat::ScopedFiles use(counted);
    TqbBufferManager bm;
    TqbSrTransactionMgr tm(&bm, false, g_folder, nullptr);
    auto fi = AllocFileInfo(g_folder + "/T.QB2", "QB2", &bm);
    OpenFile(*fi, true, 0, false, false);
    TqbBlockRelease r;
    bm.AddFile(*fi, nullptr, r, false);
    r();
    uint32_t n = 0;
    counted.reset();
    for (auto _ : state) {
        TqbSrTransaction* t = nullptr;
        bool nested;
        tm.StartTransaction(1, false, t);
        uint8_t* b = bm.GetBlock(*fi, 1 + n % 63, r, true, t);
        std::memcpy(b + 16 + (n % 100) * 8, &n, sizeof n);
        r();
        tm.Commit(1, nested);
        ++n;
    }
    const double commits = double(state.iterations());
    g_syncs = double(counted.calls(plat::FileOp::Sync)) / commits;
    g_dirSyncs = double(counted.calls(plat::FileOp::SyncDir)) / commits;
    g_opens = double(counted.calls(plat::FileOp::Open)) / commits;
    g_removes = double(counted.calls(plat::FileOp::Remove)) / commits;
    state.counters["syncs_per_commit"] = g_syncs + g_dirSyncs;
    state.SetItemsProcessed(state.iterations());
    bm.RemoveFile(*fi);
    CloseFile(*fi);
}

// One-row inserts, each its own transaction, with a statement prepared once.
void sqliteInserts(benchmark::State& state, const char* journalMode) {
    sqlite3* db = nullptr;
    const std::string path = g_folder + "/ref-" + journalMode + ".sqlite";
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) state.SkipWithError("sqlite3_open");
    const std::string setup = std::string("PRAGMA journal_mode=") + journalMode +
                              "; PRAGMA synchronous=FULL; CREATE TABLE t(id INTEGER PRIMARY KEY, v BLOB);";
    if (sqlite3_exec(db, setup.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) state.SkipWithError("setup");
    sqlite3_stmt* ins = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO t(v) VALUES(?)", -1, &ins, nullptr);
    char value[100] = {};
    for (auto _ : state) {
        sqlite3_bind_blob(ins, 1, value, sizeof value, SQLITE_STATIC);
        if (sqlite3_step(ins) != SQLITE_DONE) state.SkipWithError("insert");
        sqlite3_reset(ins);
        ++value[0];
    }
    state.SetItemsProcessed(state.iterations());
    sqlite3_finalize(ins);
    sqlite3_close(db);
    std::filesystem::remove(path);
}

void BM_Reference_SQLiteFullSyncInsert(benchmark::State& state) {
    sqliteInserts(state, "DELETE");
}

void BM_Reference_SQLiteWALFullSyncInsert(benchmark::State& state) {
    sqliteInserts(state, "WAL");
}

} // namespace

BENCHMARK(BM_StorageDurableCommit)
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(pwbench::minTime(2.0))
    ->UseRealTime();
BENCHMARK(BM_Reference_SQLiteFullSyncInsert)
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(pwbench::minTime(2.0))
    ->UseRealTime();
BENCHMARK(BM_Reference_SQLiteWALFullSyncInsert)
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(pwbench::minTime(2.0))
    ->UseRealTime();

int main(int argc, char** argv) {
    // The folder of the run; by default one under the temporary directory, or the one given in
    // PW_BENCH_DIR (to measure a particular disk).
    const char* base = std::getenv("PW_BENCH_DIR");
    std::filesystem::path dir =
        std::filesystem::path(base ? base : std::filesystem::temp_directory_path().string()) /
        ("pw-commit-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    g_folder = dir.string();
    benchmark::Initialize(&argc, argv);
    // The table gives the CPU time per commit beside the real time.
    pwbench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const int status = pwbench::printRatios([&] {
        const double ours = reporter.rate("BM_StorageDurableCommit"),
                     sqlite = reporter.rate("BM_Reference_SQLiteFullSyncInsert"),
                     wal = reporter.rate("BM_Reference_SQLiteWALFullSyncInsert");
        std::printf(
            "durable commits per second: storage %.0f (per commit %.0f fdatasync, %.0f folder fsync, "
            "%.0f journal created and removed), SQLite (synchronous=FULL) %.0f, ratio %.2f (target >= "
            "0.50); SQLite in WAL mode %.0f, ratio %.2f\n",
            ours, g_syncs, g_dirSyncs, std::min(g_opens, g_removes), sqlite, ours / sqlite, wal, ours / wal);
    });
    std::filesystem::remove_all(dir);
    benchmark::Shutdown();
    return status;
}
