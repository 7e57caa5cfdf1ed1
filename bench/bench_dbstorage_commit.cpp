// Durable commits per second: small transactions of the storage layer (one changed block, through
// the journal with every sync) beside SQLite one-row inserts with synchronous=FULL, in the same
// folder and run; prints both rates and the ratio.
#include "bench/BenchSupport.h"
#include "db/storage/QBSRTran.h"
#include "db/storage/qbsrbase.h"
#include "platform/Files.h"
#include "tests/db/storage/TableImage.h"

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

std::string g_folder;

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
    TqbBufferManager bm;
    TqbSrTransactionMgr tm(&bm, false, g_folder, nullptr);
    auto fi = AllocFileInfo(g_folder + "/T.QB2", "QB2", &bm);
    OpenFile(*fi, true, 0, false, false);
    TqbBlockRelease r;
    bm.AddFile(*fi, nullptr, r, false);
    r();
    uint32_t n = 0;
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
    state.SetItemsProcessed(state.iterations());
    bm.RemoveFile(*fi);
    CloseFile(*fi);
}

void BM_Reference_SQLiteFullSyncInsert(benchmark::State& state) {
    sqlite3* db = nullptr;
    const std::string path = g_folder + "/ref.sqlite";
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) state.SkipWithError("sqlite3_open");
    sqlite3_exec(db, "PRAGMA synchronous=FULL; CREATE TABLE t(id INTEGER PRIMARY KEY, v BLOB);", nullptr,
                 nullptr, nullptr);
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
}

} // namespace

BENCHMARK(BM_StorageDurableCommit)->Unit(benchmark::kMicrosecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_Reference_SQLiteFullSyncInsert)->Unit(benchmark::kMicrosecond)->MinTime(2.0)->UseRealTime();

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
    const double ours = reporter.rate("BM_StorageDurableCommit"),
                 sqlite = reporter.rate("BM_Reference_SQLite");
    std::printf(
        "durable commits per second: storage %.0f, SQLite (synchronous=FULL) %.0f, ratio %.2f (target >= "
        "0.50)\n",
        ours, sqlite, sqlite > 0 ? ours / sqlite : 0.0);
    std::filesystem::remove_all(dir);
    return 0;
}
