// Contacts table through the storage layer beside SQLite, in the same folder and run: 100,000
// records of the contacts shape inserted in one transaction, each looked up by name, and all walked
// in name order. Prints each pair's rates and their ratio.
// Our side keeps what the engine keeps on an insert: the record, index 0 (the record references)
// and the name index; the engine's locks, field checks and auto-increment are not in it.
// SQLite gets its best ordinary use: statements prepared once and reused, one transaction around
// each pass of inserts, look-ups or the walk, and a page cache as large as our buffer manager (512 MB).
#include "db/storage/QBSRTran.h"
#include "db/storage/qbsrixhl.h"
#include "db/storage/qbtbdict.h"
#include "db/storage/qbtbindx.h"

#include "bench/BenchSupport.h"

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

// The folder's buffer and transaction managers and the contacts dictionary, shared by the tables.
struct Store {
    TqbBufferManager bm;
    std::unique_ptr<TqbSrTransactionMgr> tm;
    TqbServerDataDict dict;
    TqbCompositeCompareData cmp;

    Store() {
        bm.SetMaxRAM(kCacheMB);
        tm = std::make_unique<TqbSrTransactionMgr>(&bm, false, g_folder, nullptr);
        dict.SetTableName("contacts");
        dict.AddField("name", "", qbtShortString, 40, 0, true);
        dict.AddField("id", "", qbtShortString, 40, 0, false);
        dict.AddField("servicenumber", "", qbtInt32, 2, 0, false);
        dict.AddField("password", "", qbtShortString, 20, 0, false);
        for (int i = 1; i <= 10; ++i)
            dict.AddField("memberGr" + std::to_string(i), "", qbtBoolean, 0, 0, false);
        const int32_t name = 0;
        dict.AddIndex("nameIndex", "", 0, 1, &name, nullptr, true, true, true);
        dict.BindIndexHelpers();
        cmp = MakeIndexCompareInfo(dict, 1);
    }
    TqbSrTransaction* begin() {
        TqbSrTransaction* t = nullptr;
        tm->StartTransaction(1, false, t);
        return t;
    }
    void commit() {
        bool nested;
        tm->Commit(1, nested);
    }
    void setString(std::vector<uint8_t>& rec, int field, const std::string& s) {
        uint8_t v[41] = {uint8_t(s.size())};
        std::memcpy(v + 1, s.data(), s.size());
        dict.SetRecordField(field, rec.data(), v);
    }
};
std::unique_ptr<Store> g_store;

// One contacts table of the store, with index 0 and the name index.
struct OurTable {
    std::string path;
    std::unique_ptr<TbtdFileInfo> fi;

    explicit OurTable(const std::string& name) : path(g_folder + "/" + name + ".QB2") {
        Store& s = *g_store;
        CreateTableFile(path, s.dict, false);
        fi = AllocFileInfo(path, "QB2", &s.bm);
        OpenFile(*fi, true, 0, false, false);
        DataFileOpen(*fi);
        TqbSrTransaction* t = s.begin();
        IndexHeaderCreate(*fi, t);
        IndexHeaderAddIndex(*fi, t, 0, true, false, 8);
        IndexHeaderAddIndex(*fi, t, 1, false, true, uint32_t(s.dict.IndexKeyLength(1)));
        s.dict.SaveToTableFile(*fi, t);
        s.commit();
    }
    ~OurTable() {
        g_store->bm.RemoveFile(*fi);
        CloseFile(*fi);
        std::filesystem::remove(path);
    }
    TqbIndexData index(int32_t i) {
        TqbIndexData d;
        d.FileInfo = fi.get();
        d.IndexNo = i;
        if (i == 1) {
            d.Compare = [](const uint8_t* a, const uint8_t* b, const void* c) {
                return CompareCompositeKeys(a, b, *static_cast<const TqbCompositeCompareData*>(c));
            };
            d.CompareData = &g_store->cmp;
        }
        return d;
    }
    // Every record with its two index entries, in one transaction.
    void fill() {
        Store& s = *g_store;
        std::vector<uint8_t> rec(size_t(s.dict.RecordLength())), key(size_t(s.dict.IndexKeyLength(1)));
        TqbSrTransaction* t = s.begin();
        TqbIndexData refs = index(0), names = index(1);
        for (int i = 0; i < g_records; ++i) {
            s.dict.InitRecord(rec.data());
            s.setString(rec, 0, g_names[size_t(i)]);
            s.setString(rec, 1, "ID" + std::to_string(i));
            const int32_t service = i % 12 + 1;
            s.dict.SetRecordField(2, rec.data(), &service);
            uint64_t ref;
            DataFileAddRecord(*fi, t, ref, rec.data());
            uint8_t refKey[8];
            plat::StoreLE64(refKey, ref);
            BuildCompositeKey(s.dict, 1, rec.data(), key.data());
            if (!IndexInsertKey(refs, t, refKey, ref) || !IndexInsertKey(names, t, key.data(), ref))
                throw std::runtime_error("key already present");
        }
        s.commit();
    }
};
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
        auto t = std::make_unique<OurTable>("insert");
        t->fill();
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
        g_store = std::make_unique<Store>();
        g_ours = std::make_unique<OurTable>("contacts");
        g_ours->fill();
        g_sqlite = openSQLite("contacts");
        fillSQLite(g_sqlite);

        pwbench::RatioReporter reporter;
        benchmark::RunSpecifiedBenchmarks(&reporter);
        status = pwbench::printRatios([&] {
            for (const char* what : {"Insert", "Lookup", "Walk"}) {
                const double ours = reporter.rate(std::string("BM_Storage") + what);
                const double ref = reporter.rate(std::string("BM_Reference_SQLite") + what);
                std::printf(
                    "%-6s storage %9.0f records/s, SQLite %9.0f records/s, ratio %.2f (target >= 0.50)\n",
                    what, ours, ref, ours / ref);
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
