// Contacts table through the storage layer beside SQLite, in the same folder and run: 100,000
// records of the contacts shape inserted with their name index in one transaction, each looked up
// by name, and all walked in name order. Prints each pair's rates and their ratio. Then the cost
// per row of one transaction of 1,000,000 rows (far past the buffer manager's RAM limit) with the
// default limit beside a 1 GB limit that holds it all.
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
#include <string>
#include <unistd.h>

namespace {

constexpr int kRecords = 100000;
constexpr int kBulkRecords = 1000000;
std::string g_folder;
std::vector<std::string> g_names;

// The storage side: the contacts table with its name index, kept open between the benchmarks.
struct Ours {
    TqbBufferManager bm;
    std::unique_ptr<TqbSrTransactionMgr> tm;
    std::unique_ptr<TbtdFileInfo> fi;
    TqbServerDataDict dict;
    TqbCompositeCompareData cmp;

    // The table in folder with a RAM limit of maxRAM MB.
    explicit Ours(const std::string& folder = g_folder, uint32_t maxRAM = 512) {
        bm.SetMaxRAM(maxRAM);
        tm = std::make_unique<TqbSrTransactionMgr>(&bm, false, folder, nullptr);
        dict.SetTableName("contacts");
        dict.AddField("name", "", qbtShortString, 40, 0, true);
        dict.AddField("id", "", qbtShortString, 40, 0, false);
        dict.AddField("servicenumber", "", qbtInt32, 2, 0, false);
        dict.AddField("password", "", qbtShortString, 20, 0, false);
        for (int i = 1; i <= 10; ++i)
            dict.AddField("memberGr" + std::to_string(i), "", qbtBoolean, 0, 0, false);
        const int32_t name = 0;
        dict.AddIndex("nameIndex", "", 0, 1, &name, nullptr, true, true, true);
        CreateTableFile(folder + "/contacts.QB2", dict, false);
        fi = AllocFileInfo(folder + "/contacts", "QB2", &bm);
        OpenFile(*fi, true, 0, false, false);
        DataFileOpen(*fi);
        TqbSrTransaction* t = nullptr;
        tm->StartTransaction(1, false, t);
        IndexHeaderCreate(*fi, t);
        IndexHeaderAddIndex(*fi, t, 0, true, false, 8);
        IndexHeaderAddIndex(*fi, t, 1, false, true, uint32_t(dict.IndexKeyLength(1)));
        dict.SaveToTableFile(*fi, t);
        bool nested;
        tm->Commit(1, nested);
        dict.BindIndexHelpers();
        cmp = MakeIndexCompareInfo(dict, 1);
    }
    ~Ours() {
        bm.RemoveFile(*fi);
        CloseFile(*fi);
    }
    TqbIndexData index() {
        TqbIndexData d;
        d.FileInfo = fi.get();
        d.IndexNo = 1;
        d.Compare = [](const uint8_t* a, const uint8_t* b, const void* c) {
            return CompareCompositeKeys(a, b, *static_cast<const TqbCompositeCompareData*>(c));
        };
        d.CompareData = &cmp;
        return d;
    }
    void setString(std::vector<uint8_t>& rec, int field, const std::string& s) {
        uint8_t v[41] = {uint8_t(s.size())};
        std::memcpy(v + 1, s.data(), s.size());
        dict.SetRecordField(field, rec.data(), v);
    }
    // Inserts count records with their name keys in one transaction and commits it.
    template <class NameOf> void insertAll(int count, NameOf nameOf) {
        std::vector<uint8_t> rec(size_t(dict.RecordLength())), key(size_t(dict.IndexKeyLength(1)));
        TqbSrTransaction* t = nullptr;
        tm->StartTransaction(1, false, t);
        TqbIndexData ix = index();
        for (int i = 0; i < count; ++i) {
            dict.InitRecord(rec.data());
            setString(rec, 0, nameOf(i));
            setString(rec, 1, "ID" + std::to_string(i));
            const int32_t service = i % 12 + 1;
            dict.SetRecordField(2, rec.data(), &service);
            uint64_t ref;
            DataFileAddRecord(*fi, t, ref, rec.data());
            BuildCompositeKey(dict, 1, rec.data(), key.data());
            IndexInsertKey(ix, t, key.data(), ref);
        }
        bool nested;
        tm->Commit(1, nested);
    }
};
std::unique_ptr<Ours> g_ours;
sqlite3* g_sqlite = nullptr;

void BM_StorageInsert(benchmark::State& state) {
    for (auto _ : state) {
        g_ours = std::make_unique<Ours>();
        g_ours->insertAll(kRecords, [](int i) -> const std::string& { return g_names[size_t(i)]; });
    }
    state.SetItemsProcessed(kRecords);
}

// One transaction of 1,000,000 rows in a fresh folder with a RAM limit of range(0) MB; the names
// come in a scattered order (a permutation of the numbers below kBulkRecords).
void BM_StorageBulkInsert(benchmark::State& state) {
    const uint32_t maxRAM = uint32_t(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        const std::string folder = g_folder + "/bulk" + std::to_string(maxRAM);
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
        auto o = std::make_unique<Ours>(folder, maxRAM);
        state.ResumeTiming();
        o->insertAll(kBulkRecords, [](int i) {
            return "Contact " + std::to_string(int64_t(i) * 48271 % kBulkRecords + kBulkRecords);
        });
        state.PauseTiming();
        o.reset();
        std::filesystem::remove_all(folder);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kBulkRecords);
}

void BM_Reference_SQLiteInsert(benchmark::State& state) {
    for (auto _ : state) {
        sqlite3_open((g_folder + "/contacts.sqlite").c_str(), &g_sqlite);
        sqlite3_exec(
            g_sqlite,
            "CREATE TABLE contacts(name TEXT COLLATE NOCASE, id TEXT, servicenumber INTEGER, password TEXT,"
            " memberGr1 INT, memberGr2 INT, memberGr3 INT, memberGr4 INT, memberGr5 INT, memberGr6 INT,"
            " memberGr7 INT, memberGr8 INT, memberGr9 INT, memberGr10 INT);"
            "CREATE INDEX nameIndex ON contacts(name);",
            nullptr, nullptr, nullptr);
        sqlite3_exec(g_sqlite, "BEGIN", nullptr, nullptr, nullptr);
        sqlite3_stmt* ins = nullptr;
        sqlite3_prepare_v2(g_sqlite, "INSERT INTO contacts(name, id, servicenumber) VALUES(?, ?, ?)", -1,
                           &ins, nullptr);
        for (int i = 0; i < kRecords; ++i) {
            const std::string id = "ID" + std::to_string(i);
            sqlite3_bind_text(ins, 1, g_names[size_t(i)].c_str(), -1, SQLITE_STATIC);
            sqlite3_bind_text(ins, 2, id.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_int(ins, 3, i % 12 + 1);
            if (sqlite3_step(ins) != SQLITE_DONE) state.SkipWithError("insert");
            sqlite3_reset(ins);
        }
        sqlite3_finalize(ins);
        sqlite3_exec(g_sqlite, "COMMIT", nullptr, nullptr, nullptr);
    }
    state.SetItemsProcessed(kRecords);
}

void BM_StorageLookup(benchmark::State& state) {
    Ours& o = *g_ours;
    std::vector<uint8_t> rec(size_t(o.dict.RecordLength())), key(size_t(o.dict.IndexKeyLength(1)));
    TqbIndexData ix = o.index();
    for (auto _ : state) {
        for (int i = 0; i < kRecords; ++i) {
            o.dict.InitRecord(rec.data());
            o.setString(rec, 0, g_names[size_t(i) * 7919 % kRecords]);
            BuildCompositeKey(o.dict, 1, rec.data(), key.data());
            TqbKeyPath p;
            uint64_t ref = 0;
            if (!IndexFindKey(ix, nullptr, key.data(), ref, 0, p)) state.SkipWithError("not found");
            DataFileReadRecord(*o.fi, nullptr, ref, rec.data());
        }
    }
    state.SetItemsProcessed(kRecords);
}

void BM_Reference_SQLiteLookup(benchmark::State& state) {
    sqlite3_stmt* q = nullptr;
    sqlite3_prepare_v2(g_sqlite, "SELECT * FROM contacts WHERE name = ?", -1, &q, nullptr);
    for (auto _ : state) {
        for (int i = 0; i < kRecords; ++i) {
            sqlite3_bind_text(q, 1, g_names[size_t(i) * 7919 % kRecords].c_str(), -1, SQLITE_STATIC);
            if (sqlite3_step(q) != SQLITE_ROW) state.SkipWithError("not found");
            benchmark::DoNotOptimize(sqlite3_column_text(q, 1));
            sqlite3_reset(q);
        }
    }
    sqlite3_finalize(q);
    state.SetItemsProcessed(kRecords);
}

void BM_StorageWalk(benchmark::State& state) {
    Ours& o = *g_ours;
    std::vector<uint8_t> rec(size_t(o.dict.RecordLength())), key(size_t(o.dict.IndexKeyLength(1)));
    TqbIndexData ix = o.index();
    for (auto _ : state) {
        TqbKeyPath p;
        KeyPathToBegin(p);
        uint64_t ref = 0;
        int n = 0;
        while (IndexNextKey(ix, nullptr, p, key.data(), ref)) {
            DataFileReadRecord(*o.fi, nullptr, ref, rec.data());
            ++n;
        }
        if (n != kRecords) state.SkipWithError("walk");
    }
    state.SetItemsProcessed(kRecords);
}

void BM_Reference_SQLiteWalk(benchmark::State& state) {
    sqlite3_stmt* q = nullptr;
    sqlite3_prepare_v2(g_sqlite, "SELECT * FROM contacts ORDER BY name", -1, &q, nullptr);
    for (auto _ : state) {
        int n = 0;
        while (sqlite3_step(q) == SQLITE_ROW) {
            benchmark::DoNotOptimize(sqlite3_column_text(q, 1));
            ++n;
        }
        sqlite3_reset(q);
        if (n != kRecords) state.SkipWithError("walk");
    }
    sqlite3_finalize(q);
    state.SetItemsProcessed(kRecords);
}

} // namespace

BENCHMARK(BM_StorageInsert)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_Reference_SQLiteInsert)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_StorageLookup)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_Reference_SQLiteLookup)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_StorageWalk)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_Reference_SQLiteWalk)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
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
        ("pw-btree-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    g_folder = dir.string();
    for (int i = 0; i < kRecords; ++i)
        g_names.push_back("Contact " + std::to_string(int64_t(i) * 48271 % kRecords + 100000));
    std::shuffle(g_names.begin(), g_names.end(), std::mt19937(1));
    benchmark::Initialize(&argc, argv);
    pwbench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    int status = 0;
    // A pair prints its ratio when both of its figures ran; one of them alone fails the run.
    auto both = [&status](const char* what, double a, double b) {
        if (a > 0 && b > 0) return true;
        if (a > 0 || b > 0) {
            std::printf("%-6s a figure is missing: no ratio\n", what);
            status = 1;
        }
        return false;
    };
    for (const char* what : {"Insert", "Lookup", "Walk"}) {
        const double ours = reporter.rate(std::string("BM_Storage") + what);
        const double ref = reporter.rate(std::string("BM_Reference_SQLite") + what);
        if (both(what, ours, ref))
            std::printf("%-6s storage %9.0f records/s, SQLite %9.0f records/s, ratio %.2f (target >= 0.50)\n",
                        what, ours, ref, ours / ref);
    }
    const double small =
        reporter.rate("BM_StorageBulkInsert/" + std::to_string(TqbBufferManager::kDefaultMaxRAM));
    const double large = reporter.rate("BM_StorageBulkInsert/1024");
    if (both("Bulk", small, large))
        std::printf(
            "Bulk   %d rows in one transaction: %.2f us/row with the default %u MB limit, %.2f us/row "
            "with 1 GB, ratio %.2f (target <= 1.20)\n",
            kBulkRecords, 1e6 / small, TqbBufferManager::kDefaultMaxRAM, 1e6 / large, large / small);
    g_ours.reset();
    sqlite3_close(g_sqlite);
    std::filesystem::remove_all(dir);
    return status;
}
