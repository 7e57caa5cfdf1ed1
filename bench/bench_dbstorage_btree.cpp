// Contacts table through the storage layer beside SQLite, in the same folder and run: 100,000
// records of the contacts shape inserted in one transaction, each looked up by name, and all walked
// in name order. Prints each pair's rates and their ratio.
// Our side keeps what the engine keeps on an insert: the record, index 0 (the record references)
// and the name index; the engine's locks, field checks and auto-increment are not in it.
// SQLite gets its best ordinary use: statements prepared once and reused, one transaction around
// each pass of inserts, look-ups or the walk, and a page cache as large as our buffer manager (512 MB).
#include "bench/BenchSupport.h"
#include "bench/ContactsStore.h"

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace {

constexpr uint32_t kCacheMB = 512;
int g_records = 0;
std::string g_folder;
std::vector<std::string> g_names;

using Store = pwbench::ContactsStore;
std::unique_ptr<Store> g_store;
using OurTable = pwbench::ContactsTable;
std::unique_ptr<OurTable> g_ours; // the table the look-ups and walks read

// An SQLite database of the folder with the contacts table and its name index.
sqlite3* openSQLite(const std::string& name) {
    sqlite3* db = nullptr;
    if (sqlite3_open((g_folder + "/" + name + ".sqlite").c_str(), &db) != SQLITE_OK)
        throw std::runtime_error("sqlite3_open");
    const std::string setup =
        "PRAGMA cache_size=-" + std::to_string(kCacheMB * 1024) +
        ";"
        "CREATE TABLE contacts(name TEXT COLLATE NOCASE, id TEXT, servicenumber INTEGER, password TEXT,"
        " memberGr1 INT, memberGr2 INT, memberGr3 INT, memberGr4 INT, memberGr5 INT, memberGr6 INT,"
        " memberGr7 INT, memberGr8 INT, memberGr9 INT, memberGr10 INT);"
        "CREATE INDEX nameIndex ON contacts(name);";
    if (sqlite3_exec(db, setup.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
        throw std::runtime_error(sqlite3_errmsg(db));
    return db;
}

void exec(sqlite3* db, const char* sql) {
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
        throw std::runtime_error(sqlite3_errmsg(db));
}

void fillSQLite(sqlite3* db) {
    exec(db, "BEGIN");
    sqlite3_stmt* ins = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO contacts(name, id, servicenumber) VALUES(?, ?, ?)", -1, &ins,
                       nullptr);
    for (int i = 0; i < g_records; ++i) {
        const std::string id = "ID" + std::to_string(i);
        sqlite3_bind_text(ins, 1, g_names[size_t(i)].c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_text(ins, 2, id.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(ins, 3, i % 12 + 1);
        const int rc = sqlite3_step(ins);
        sqlite3_reset(ins);
        if (rc != SQLITE_DONE) {
            sqlite3_finalize(ins);
            throw std::runtime_error("SQLite insert");
        }
    }
    sqlite3_finalize(ins);
    exec(db, "COMMIT");
}
sqlite3* g_sqlite = nullptr; // the database the look-ups and walks read

void BM_StorageInsert(benchmark::State& state) {
    for (auto _ : state) {
        auto t = std::make_unique<OurTable>(*g_store, g_folder + "/insert.QB2");
        t->fill(g_records, [](int i) -> const std::string& { return g_names[size_t(i)]; });
        state.PauseTiming();
        t.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * g_records);
}

void BM_Reference_SQLiteInsert(benchmark::State& state) {
    for (auto _ : state) {
        sqlite3* db = openSQLite("insert");
        fillSQLite(db);
        state.PauseTiming();
        sqlite3_close(db);
        std::filesystem::remove(g_folder + "/insert.sqlite");
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * g_records);
}

int lookedUp(int i) {
    return int(int64_t(i) * 7919 % g_records);
}

void BM_StorageLookup(benchmark::State& state) {
    Store& s = *g_store;
    std::vector<uint8_t> rec(size_t(s.dict.RecordLength())), key(size_t(s.dict.IndexKeyLength(1)));
    TqbIndexData ix = g_ours->index(1);
    for (auto _ : state) {
        for (int i = 0; i < g_records; ++i) {
            s.dict.InitRecord(rec.data());
            s.setString(rec, 0, g_names[size_t(lookedUp(i))]);
            BuildCompositeKey(s.dict, 1, rec.data(), key.data());
            TqbKeyPath p;
            uint64_t ref = 0;
            if (!IndexFindKey(ix, nullptr, key.data(), ref, 0, p)) state.SkipWithError("not found");
            DataFileReadRecord(*g_ours->fi, nullptr, ref, rec.data());
        }
    }
    state.SetItemsProcessed(state.iterations() * g_records);
}

void BM_Reference_SQLiteLookup(benchmark::State& state) {
    sqlite3_stmt* q = nullptr;
    sqlite3_prepare_v2(g_sqlite, "SELECT * FROM contacts WHERE name = ?", -1, &q, nullptr);
    for (auto _ : state) {
        exec(g_sqlite, "BEGIN");
        for (int i = 0; i < g_records; ++i) {
            sqlite3_bind_text(q, 1, g_names[size_t(lookedUp(i))].c_str(), -1, SQLITE_STATIC);
            if (sqlite3_step(q) != SQLITE_ROW) state.SkipWithError("not found");
            benchmark::DoNotOptimize(sqlite3_column_text(q, 1));
            sqlite3_reset(q);
        }
        exec(g_sqlite, "COMMIT");
    }
    sqlite3_finalize(q);
    state.SetItemsProcessed(state.iterations() * g_records);
}

void BM_StorageWalk(benchmark::State& state) {
    Store& s = *g_store;
    std::vector<uint8_t> rec(size_t(s.dict.RecordLength())), key(size_t(s.dict.IndexKeyLength(1)));
    TqbIndexData ix = g_ours->index(1);
    for (auto _ : state) {
        TqbKeyPath p;
        KeyPathToBegin(p);
        uint64_t ref = 0;
        int n = 0;
        while (IndexNextKey(ix, nullptr, p, key.data(), ref)) {
            DataFileReadRecord(*g_ours->fi, nullptr, ref, rec.data());
            ++n;
        }
        if (n != g_records) state.SkipWithError("walk");
    }
    state.SetItemsProcessed(state.iterations() * g_records);
}

void BM_Reference_SQLiteWalk(benchmark::State& state) {
    sqlite3_stmt* q = nullptr;
    sqlite3_prepare_v2(g_sqlite, "SELECT * FROM contacts ORDER BY name", -1, &q, nullptr);
    for (auto _ : state) {
        exec(g_sqlite, "BEGIN");
        int n = 0;
        while (sqlite3_step(q) == SQLITE_ROW) {
            benchmark::DoNotOptimize(sqlite3_column_text(q, 1));
            ++n;
        }
        sqlite3_reset(q);
        exec(g_sqlite, "COMMIT");
        if (n != g_records) state.SkipWithError("walk");
    }
    sqlite3_finalize(q);
    state.SetItemsProcessed(state.iterations() * g_records);
}

} // namespace

BENCHMARK(BM_StorageInsert)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_Reference_SQLiteInsert)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_StorageLookup)->Unit(benchmark::kMillisecond)->Iterations(pwbench::iterations(3))->UseRealTime();
BENCHMARK(BM_Reference_SQLiteLookup)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(pwbench::iterations(3))
    ->UseRealTime();
BENCHMARK(BM_StorageWalk)->Unit(benchmark::kMillisecond)->Iterations(pwbench::iterations(3))->UseRealTime();
BENCHMARK(BM_Reference_SQLiteWalk)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(pwbench::iterations(3))
    ->UseRealTime();

int main(int argc, char** argv) {
    const char* base = std::getenv("PW_BENCH_DIR");
    std::filesystem::path dir =
        std::filesystem::path(base ? base : std::filesystem::temp_directory_path().string()) /
        ("pw-btree-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    g_folder = dir.string();
    g_records = int(pwbench::size(100000, 5000));
    for (int i = 0; i < g_records; ++i)
        g_names.push_back("Contact " + std::to_string(int64_t(i) * 48271 % g_records + 100000));
    std::shuffle(g_names.begin(), g_names.end(), std::mt19937(1));
    benchmark::Initialize(&argc, argv);
    int status = 0;
    try {
        // The tables that the look-ups and walks read, built before any benchmark runs so that
        // each runs alone, in any order.
        g_store = std::make_unique<Store>(g_folder, kCacheMB);
        g_ours = std::make_unique<OurTable>(*g_store, g_folder + "/contacts.QB2");
        g_ours->fill(g_records, [](int i) -> const std::string& { return g_names[size_t(i)]; });
        g_sqlite = openSQLite("contacts");
        fillSQLite(g_sqlite);

        pwbench::RatioReporter reporter;
        benchmark::RunSpecifiedBenchmarks(&reporter);
        status = pwbench::printRatios([&] {
            for (const char* what : {"Insert", "Lookup", "Walk"}) {
                const double ours = reporter.rate(std::string("BM_Storage") + what);
                const double ref = reporter.rate(std::string("BM_Reference_SQLite") + what);
                std::printf("%-6s storage %9.0f records/s, SQLite %9.0f records/s, ratio %.2f %s\n", what,
                            ours, ref, ours / ref, pwbench::target(ours / ref >= 0.5, ">= 0.50").c_str());
            }
        });
    } catch (const std::exception& e) {
        std::fprintf(stderr, "benchmark failed: %s\n", e.what());
        status = 1;
    }
    g_ours.reset();
    g_store.reset();
    if (g_sqlite) sqlite3_close(g_sqlite);
    std::filesystem::remove_all(dir);
    benchmark::Shutdown();
    return status;
}
