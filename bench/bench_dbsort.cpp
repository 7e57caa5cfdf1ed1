// Sorting one million 100-byte records: the merge sort through its run tables against SQLite's
// ORDER BY, and a table sorted in place (SortRecords) against SQLite writing the ordered rows into
// a new table, in the same run (records per second).
// SQLite: a file database in the same folder, a cache as large as the engine's RAM (256 MB), one
// transaction around the copy, synchronous FULL as the engine's journaled commit.
// Not like for like in the first ratio: the merge sort is fed record images already in memory,
// while SQLite's ORDER BY reads its rows from its table (in its cache) and decodes each; the ratio
// favours the engine by that read. The second compares tables on both sides.
#include "BenchSupport.h"
#include "db/engine/qbsrcur_simple.h"
#include "db/storage/qbsrbase.h"
#include "platform/ByteCodec.h"

#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr int kRecords = 1000000;
constexpr uint32_t kRAM = 256;

struct Row {
    int32_t key;
    std::string name;
};

const std::vector<Row>& rows() {
    static const std::vector<Row> r = [] {
        std::mt19937 rng(7);
        std::vector<Row> v;
        v.reserve(kRecords);
        for (int i = 0; i < kRecords; ++i)
            v.push_back({int32_t(rng() % 100000), "n" + std::to_string(rng() % 50000)});
        return v;
    }();
    return r;
}

// key, name (20), pad (60): 100 bytes with the null bits.
TqbServerDataDict dictionary() {
    TqbServerDataDict d(4096);
    d.SetTableName("rows");
    d.AddField("key", "", qbtInt32, 0, 0, false);
    d.AddField("name", "", qbtShortString, 20, 0, false);
    d.AddField("pad", "", qbtByteArray, 74, 0, false);
    return d;
}

std::vector<uint8_t> image(const TqbDataDictionary& d, const Row& r) {
    std::vector<uint8_t> rec(size_t(d.RecordLength()));
    d.InitRecord(rec.data());
    uint8_t k[4];
    plat::StoreLE32(k, uint32_t(r.key));
    d.SetRecordField(0, rec.data(), k);
    uint8_t s[21] = {};
    s[0] = uint8_t(r.name.size());
    std::memcpy(s + 1, r.name.data(), r.name.size());
    d.SetRecordField(1, rec.data(), s);
    std::vector<uint8_t> pad(size_t(d.FieldLength(2)), 0x5A);
    d.SetRecordField(2, rec.data(), pad.data());
    return rec;
}

struct Folder {
    std::string path;
    Folder() {
        std::string t = (std::filesystem::temp_directory_path() / "pwsortXXXXXX").string();
        if (!mkdtemp(t.data())) throw std::runtime_error("mkdtemp");
        path = t;
    }
    ~Folder() { std::filesystem::remove_all(path); }
};

struct Engine {
    Folder dir;
    TqbBufferManager bm{dir.path, 256};
    TqbSrCursorHost host{bm};
    TqbSrFolderList folders;
    TqbSrFolderPtr folder;
    std::shared_ptr<TqbSrDatabase> db;
    Engine() {
        bm.SetMaxRAM(kRAM);
        folder = folders.AddFolder(dir.path, false, &bm);
        db = std::make_shared<TqbSrDatabase>(host, folder, 0);
    }
    ~Engine() {
        for (auto& o : db->Cursors().Snapshot())
            if (auto* c = dynamic_cast<TqbSrBaseCursor*>(o.get())) c->Close();
        db.reset();
        host.Tables().RemoveUnused();
        folders.ReleaseFolder(folder);
    }
};

void BM_MergeSortRunTables(benchmark::State& state) {
    Engine e;
    const TqbServerDataDict d = dictionary();
    std::vector<std::vector<uint8_t>> images;
    for (const Row& r : rows())
        images.push_back(image(d, r));
    TqbSrSortSpec spec;
    spec.FieldCount = 2;
    spec.Fields[1] = 1;
    std::vector<uint8_t> out(size_t(d.RecordLength()));
    for (auto _ : state) {
        int32_t started = e.db->StartTransaction();
        TqbSrSimpleRunStore runs(e.host, *e.db, d);
        TqbSrMergeSortEngine sort(spec, d, runs);
        for (auto& rec : images)
            if (started || sort.Put(rec.data())) state.SkipWithError("Put");
        int64_t n = 0;
        while (sort.Get(out.data()))
            ++n;
        if (n != kRecords) state.SkipWithError("lost records");
        e.db->Rollback();
    }
    state.SetItemsProcessed(state.iterations() * kRecords);
}

void BM_SortRecordsInPlace(benchmark::State& state) {
    Engine e;
    const TqbServerDataDict d = dictionary();
    const int32_t fields[2] = {0, 1};
    int round = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto c = std::make_shared<TqbSrSimpleCursor>(e.host, 0, *e.db);
        c->TableCreate("t" + std::to_string(round++), d, true, qbsmExclusive, false, true, 0, 0);
        e.db->StartTransaction();
        for (const Row& r : rows())
            c->RecordInsert(image(d, r).data(), lmNone);
        e.db->Commit();
        state.ResumeTiming();
        if (c->SortRecords(fields, 2, nullptr) != 0) state.SkipWithError("SortRecords");
        state.PauseTiming();
        c->Close();
        e.host.Tables().RemoveUnused();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kRecords);
}

sqlite3* sqliteTable(const std::string& folder) {
    sqlite3* db = nullptr;
    if (sqlite3_open((folder + "/sort.db").c_str(), &db) != SQLITE_OK)
        throw std::runtime_error("sqlite3_open");
    sqlite3_exec(
        db,
        "PRAGMA synchronous=FULL; PRAGMA cache_size=-262144; CREATE TABLE t(key INTEGER, name TEXT, pad "
        "BLOB); BEGIN",
        nullptr, nullptr, nullptr);
    sqlite3_stmt* ins = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO t VALUES(?,?,?)", -1, &ins, nullptr);
    const std::string pad(74, 'Z');
    for (const Row& r : rows()) {
        sqlite3_bind_int(ins, 1, r.key);
        sqlite3_bind_text(ins, 2, r.name.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_blob(ins, 3, pad.data(), int(pad.size()), SQLITE_STATIC);
        sqlite3_step(ins);
        sqlite3_reset(ins);
    }
    sqlite3_finalize(ins);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    return db;
}

void BM_SQLiteOrderBy(benchmark::State& state) {
    Folder dir;
    sqlite3* db = sqliteTable(dir.path);
    sqlite3_stmt* q = nullptr;
    sqlite3_prepare_v2(db, "SELECT key, name, pad FROM t ORDER BY key, name", -1, &q, nullptr);
    for (auto _ : state) {
        int64_t n = 0;
        while (sqlite3_step(q) == SQLITE_ROW)
            ++n;
        sqlite3_reset(q);
        if (n != kRecords) state.SkipWithError("lost rows");
    }
    sqlite3_finalize(q);
    sqlite3_close(db);
    state.SetItemsProcessed(state.iterations() * kRecords);
}

void BM_SQLiteOrderByIntoTable(benchmark::State& state) {
    Folder dir;
    sqlite3* db = sqliteTable(dir.path);
    int round = 0;
    for (auto _ : state) {
        const std::string sql = "BEGIN; CREATE TABLE s" + std::to_string(round++) +
                                " AS SELECT * FROM t ORDER BY key, name; COMMIT";
        if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
            state.SkipWithError("exec");
    }
    sqlite3_close(db);
    state.SetItemsProcessed(state.iterations() * kRecords);
}

BENCHMARK(BM_MergeSortRunTables)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_SQLiteOrderBy)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_SortRecordsInPlace)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_SQLiteOrderByIntoTable)->Unit(benchmark::kMillisecond)->Iterations(2);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    pwbench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto line = [&](const char* what, const char* ours, const char* ref) {
        const double a = reporter.rate(ours), b = reporter.rate(ref);
        std::printf("%s, records per second: engine %.3g, SQLite %.3g, ratio %.2f\n", what, a, b, a / b);
    };
    const int status = pwbench::printRatios([&] {
        line("Sort of 1M 100-byte records (merge sort / ORDER BY)", "BM_MergeSortRunTables",
             "BM_SQLiteOrderBy");
        line("Table sorted in place / ORDER BY into a new table", "BM_SortRecordsInPlace",
             "BM_SQLiteOrderByIntoTable");
    });
    benchmark::Shutdown();
    return status;
}
