// Index cursor speed beside SQLite on the same one million rows in the same run: records per second
// of an ordered walk through index 0 (SQLite: rowid order) and through a composite secondary index
// (name, num), and key searches per second on a unique text index. SQLite gets prepared statements,
// the rows loaded in one transaction, the key searches inside one read transaction, and a page cache
// as large as the engine's buffer (256 MB). PW_BENCH_ROWS changes the row count.
#include "bench/BenchSupport.h"
#include "db/engine/qbsrcur_cursor.h"
#include "db/storage/qbsrbase.h"

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <unistd.h>

namespace {

int64_t g_rows = 1000000;
std::string g_folder;

std::string nameOf(int64_t i) {
    return "name" + std::to_string((i * 7919) % 50000);
}
std::string keyOf(int64_t i) {
    char b[16];
    std::snprintf(b, sizeof b, "k%08lld", static_cast<long long>((i * 48271) % 2147483647 % 100000000));
    return b;
}

// name, key (unique text), num; index 1: name+num, index 2: key.
TqbServerDataDict dictionary() {
    TqbServerDataDict d(8192);
    d.SetTableName("rows");
    d.AddField("name", "", qbtShortString, 20, 0, false);
    d.AddField("key", "", qbtShortString, 12, 0, false);
    d.AddField("num", "", qbtInt32, 0, 0, false);
    const int32_t pair[2] = {0, 2}, key = 1;
    d.AddIndex("byNameNum", "", 0, 2, pair, nullptr, true, true, false);
    d.AddIndex("byKey", "", 0, 1, &key, nullptr, false, true, false);
    return d;
}

void setString(const TqbDataDictionary& d, uint8_t* r, int32_t f, const std::string& s) {
    std::vector<uint8_t> v(size_t(d.FieldLength(f)), 0);
    v[0] = uint8_t(s.size());
    std::memcpy(v.data() + 1, s.data(), s.size());
    d.SetRecordField(f, r, v.data());
}

std::vector<uint8_t> record(const TqbDataDictionary& d, int64_t i) {
    std::vector<uint8_t> r(size_t(d.RecordLength()));
    d.InitRecord(r.data());
    setString(d, r.data(), 0, nameOf(i));
    setString(d, r.data(), 1, keyOf(i));
    uint8_t n[4];
    plat::StoreLE32(n, uint32_t(i % 1000));
    d.SetRecordField(2, r.data(), n);
    return r;
}

// The engine side, loaded once.
struct EngineSide {
    TqbBufferManager bm;
    TqbSrCursorHost host{bm};
    TqbSrFolderList folders;
    TqbSrFolderPtr folder;
    std::shared_ptr<TqbSrDatabase> db;
    std::shared_ptr<TqbSrCursor> cursors[3];
    EngineSide() {
        const std::string dir = g_folder + "/engine";
        std::filesystem::create_directories(dir);
        bm.SetMaxRAM(256);
        folder = folders.AddFolder(dir, false, &bm);
        db = std::make_shared<TqbSrDatabase>(host, folder, 0);
        {
            TqbSrTable t(host, bm, folder, "rows");
            t.BuildFiles(dictionary(), 0);
        }
        for (int32_t i = 0; i < 3; ++i) {
            cursors[i] = std::make_shared<TqbSrCursor>(host, 0, *db);
            cursors[i]->Open("rows", "", i, true, qbsmShared, false, false, false);
        }
        TqbSrCursor& c = *cursors[0];
        db->StartTransaction();
        for (int64_t i = 0; i < g_rows; ++i) {
            auto r = record(c.Dictionary(), i);
            c.RecordInsert(r.data(), lmNone);
        }
        db->Commit();
    }
    ~EngineSide() {
        for (auto& c : cursors)
            c->Close();
        host.Tables().RemoveUnused();
        db.reset();
        folders.ReleaseFolder(folder);
    }
};

struct SQLiteSide {
    sqlite3* db = nullptr;
    SQLiteSide() {
        sqlite3_open((g_folder + "/ref.sqlite").c_str(), &db);
        sqlite3_exec(db,
                     "PRAGMA cache_size=-262144; CREATE TABLE rows(name TEXT, key TEXT, num INTEGER); "
                     "CREATE INDEX byNameNum ON rows(name, num); CREATE UNIQUE INDEX byKey ON rows(key);",
                     nullptr, nullptr, nullptr);
        sqlite3_stmt* ins = nullptr;
        sqlite3_prepare_v2(db, "INSERT INTO rows VALUES(?,?,?)", -1, &ins, nullptr);
        sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
        for (int64_t i = 0; i < g_rows; ++i) {
            const std::string n = nameOf(i), k = keyOf(i);
            sqlite3_bind_text(ins, 1, n.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(ins, 2, k.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_int(ins, 3, int(i % 1000));
            sqlite3_step(ins);
            sqlite3_reset(ins);
        }
        sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_finalize(ins);
    }
    ~SQLiteSide() { sqlite3_close(db); }
};

EngineSide& engine() {
    static EngineSide e;
    return e;
}
SQLiteSide& sqlite() {
    static SQLiteSide s;
    return s;
}

void BM_EngineWalk(benchmark::State& state) {
    TqbSrCursor& c = *engine().cursors[state.range(0)];
    std::vector<uint8_t> r(size_t(c.Dictionary().RecordLength()));
    int64_t n = 0;
    for (auto _ : state) {
        c.SetToBegin();
        while (c.RecordGetNext(r.data(), lmNone) == 0)
            ++n;
    }
    if (n != g_rows * int64_t(state.iterations())) state.SkipWithError("rows missing");
    state.SetItemsProcessed(n);
}

void BM_Reference_SQLiteWalk(benchmark::State& state) {
    sqlite3* db = sqlite().db;
    sqlite3_stmt* q = nullptr;
    sqlite3_prepare_v2(db,
                       state.range(0) == 0 ? "SELECT name, key, num FROM rows ORDER BY rowid"
                                           : "SELECT name, key, num FROM rows ORDER BY name, num",
                       -1, &q, nullptr);
    int64_t n = 0, bytes = 0;
    for (auto _ : state) {
        while (sqlite3_step(q) == SQLITE_ROW) {
            bytes += sqlite3_column_bytes(q, 0) + sqlite3_column_bytes(q, 1) + sqlite3_column_int(q, 2);
            ++n;
        }
        sqlite3_reset(q);
    }
    benchmark::DoNotOptimize(bytes);
    sqlite3_finalize(q);
    if (n != g_rows * int64_t(state.iterations())) state.SkipWithError("rows missing");
    state.SetItemsProcessed(n);
}

void BM_EngineKeySearch(benchmark::State& state) {
    TqbSrCursor& c = *engine().cursors[2];
    std::vector<uint8_t> r(size_t(c.Dictionary().RecordLength())), probe(r.size());
    c.Dictionary().InitRecord(probe.data());
    std::mt19937 rng(7);
    int64_t found = 0;
    for (auto _ : state) {
        setString(c.Dictionary(), probe.data(), 1, keyOf(int64_t(rng() % uint64_t(g_rows))));
        if (c.RecordGetForKey(false, 1, 0, probe.data(), r.data(), true) == 0) ++found;
    }
    if (found != int64_t(state.iterations())) state.SkipWithError("keys missing");
    state.SetItemsProcessed(state.iterations());
}

void BM_Reference_SQLiteKeySearch(benchmark::State& state) {
    sqlite3* db = sqlite().db;
    sqlite3_stmt* q = nullptr;
    sqlite3_prepare_v2(db, "SELECT name, key, num FROM rows WHERE key = ?", -1, &q, nullptr);
    std::mt19937 rng(7);
    int64_t found = 0;
    // One read transaction around the searches, not one of its own for each.
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    for (auto _ : state) {
        const std::string k = keyOf(int64_t(rng() % uint64_t(g_rows)));
        sqlite3_bind_text(q, 1, k.c_str(), -1, SQLITE_TRANSIENT);
        if (sqlite3_step(q) == SQLITE_ROW) ++found;
        sqlite3_reset(q);
    }
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_finalize(q);
    if (found != int64_t(state.iterations())) state.SkipWithError("keys missing");
    state.SetItemsProcessed(state.iterations());
}

} // namespace

BENCHMARK(BM_EngineWalk)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_Reference_SQLiteWalk)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();
BENCHMARK(BM_EngineKeySearch)->Unit(benchmark::kMicrosecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_Reference_SQLiteKeySearch)->Unit(benchmark::kMicrosecond)->MinTime(2.0)->UseRealTime();

int main(int argc, char** argv) {
    if (const char* rows = std::getenv("PW_BENCH_ROWS"))
        g_rows = std::max(1L, std::strtol(rows, nullptr, 10));
    const char* base = std::getenv("PW_BENCH_DIR");
    std::filesystem::path dir =
        std::filesystem::path(base ? base : std::filesystem::temp_directory_path().string()) /
        ("pw-cursor-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    g_folder = dir.string();
    benchmark::Initialize(&argc, argv);
    pwbench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto line = [&](const char* what, const std::string& ours, const std::string& ref) {
        const double a = reporter.rate(ours), b = reporter.rate(ref);
        std::printf("%s: engine %.0f, SQLite %.0f, ratio %.2f\n", what, a, b, a / b);
    };
    const int status = pwbench::printRatios([&] {
        line("records per second, walk through index 0", "BM_EngineWalk/0", "BM_Reference_SQLiteWalk/0");
        line("records per second, walk through (name, num)", "BM_EngineWalk/1", "BM_Reference_SQLiteWalk/1");
        line("key searches per second, unique text index", "BM_EngineKeySearch",
             "BM_Reference_SQLiteKeySearch");
    });
    std::filesystem::remove_all(dir);
    return status;
}
