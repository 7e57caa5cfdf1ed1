// Record inserts per second through the server table, with one and with four indexes (one of them
// unique), beside SQLite inserting the same rows into a table with the same indexes, in the same
// folder and run; commits every 1000 rows on both sides. Prints both rates and the ratio (the table
// shows the CPU time per insert).
#include "bench/BenchSupport.h"
#include "db/engine/qbsrcur.h"
#include "db/storage/qbsrbase.h"
#include "tests/db/engine/EngineTestSupport.h"

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

constexpr int kBatch = 1000;
std::string g_folder;

enginetest::Person row(int64_t i) {
    return {"name" + std::to_string((i * 7919) % 100000), "city" + std::to_string(i % 97), int32_t(i),
            int32_t(i % 13)};
}

void BM_EngineInsert(benchmark::State& state) {
    const int indexes = int(state.range(0));
    const std::string dir = g_folder + "/engine" + std::to_string(indexes);
    std::filesystem::create_directories(dir);
    {
        TqbBufferManager bm;
        bm.SetMaxRAM(256);
        TqbSrTableHost host;
        TqbSrFolderList folders;
        TqbSrFolderPtr folder = folders.AddFolder(dir, false, &bm);
        TqbSrTable t(host, bm, folder, "people");
        // One index: the unique code; four: name, city, code (unique), name+num.
        TqbServerDataDict d = enginetest::peopleDictionary(indexes == 1 ? 3 : 4);
        if (indexes == 1) {
            d.RemoveIndex(2);
            d.RemoveIndex(1);
        }
        t.BuildFiles(d, 0);
        t.OpenFiles(false);
        const TqbLockOwnerID cursor = NewLockOwnerID();
        TqbSrTransaction* tr = nullptr;
        bool nested;
        int64_t i = 0;
        for (auto _ : state) {
            if (!tr) folder->TransactionMgr().StartTransaction(1, false, tr);
            auto r = enginetest::record(t.GetDictionary(), row(i));
            uint64_t ref = 0;
            t.InsertRecord(*tr, cursor, lmExclusive, ref, r.data(), false);
            if (++i % kBatch == 0) {
                folder->TransactionMgr().Commit(1, nested);
                tr = nullptr;
            }
        }
        if (tr) folder->TransactionMgr().Commit(1, nested);
        state.SetItemsProcessed(state.iterations());
        t.CloseFiles(false, nullptr);
        folders.ReleaseFolder(folder);
    }
    std::filesystem::remove_all(dir);
}

void BM_Reference_SQLiteInsert(benchmark::State& state) {
    const int indexes = int(state.range(0));
    const std::string path = g_folder + "/ref" + std::to_string(indexes) + ".sqlite";
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) state.SkipWithError("sqlite3_open");
    sqlite3_exec(
        db,
        "PRAGMA synchronous=FULL; CREATE TABLE people(name TEXT NOT NULL, city TEXT, code INTEGER, num "
        "INTEGER); CREATE UNIQUE INDEX byCode ON people(code);",
        nullptr, nullptr, nullptr);
    if (indexes == 4)
        sqlite3_exec(
            db,
            "CREATE INDEX byName ON people(name COLLATE NOCASE); CREATE INDEX byCity ON people(city); "
            "CREATE INDEX byNameNum ON people(name, num DESC);",
            nullptr, nullptr, nullptr);
    sqlite3_stmt* ins = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO people VALUES(?,?,?,?)", -1, &ins, nullptr);
    int64_t i = 0;
    bool open = false;
    for (auto _ : state) {
        if (!open) sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), open = true;
        enginetest::Person p = row(i);
        sqlite3_bind_text(ins, 1, p.name.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(ins, 2, p.city.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(ins, 3, p.code);
        sqlite3_bind_int(ins, 4, p.num);
        if (sqlite3_step(ins) != SQLITE_DONE) state.SkipWithError("insert");
        sqlite3_reset(ins);
        if (++i % kBatch == 0) sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), open = false;
    }
    if (open) sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    state.SetItemsProcessed(state.iterations());
    sqlite3_finalize(ins);
    sqlite3_close(db);
    std::filesystem::remove(path);
}

} // namespace

BENCHMARK(BM_EngineInsert)
    ->Arg(1)
    ->Arg(4)
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(pwbench::minTime(2.0))
    ->UseRealTime();
BENCHMARK(BM_Reference_SQLiteInsert)
    ->Arg(1)
    ->Arg(4)
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(pwbench::minTime(2.0))
    ->UseRealTime();

int main(int argc, char** argv) {
    const char* base = std::getenv("PW_BENCH_DIR");
    std::filesystem::path dir =
        std::filesystem::path(base ? base : std::filesystem::temp_directory_path().string()) /
        ("pw-engine-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    g_folder = dir.string();
    benchmark::Initialize(&argc, argv);
    pwbench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const int status = pwbench::printRatios([&] {
        for (const char* n : {"1", "4"}) {
            const double ours = reporter.rate(std::string("BM_EngineInsert/") + n);
            const double ref = reporter.rate(std::string("BM_Reference_SQLiteInsert/") + n);
            std::printf("inserts per second with %s index(es): engine %.0f, SQLite %.0f, ratio %.2f\n", n,
                        ours, ref, ours / ref);
        }
    });
    std::filesystem::remove_all(dir);
    benchmark::Shutdown();
    return status;
}
