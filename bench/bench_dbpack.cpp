// Packing a table of 100,000 records with a BLOB each through the in-process engine, beside SQLite's
// VACUUM of the same rows, in one run: records per second of each and their ratio.
// SQLite is set up the way it is used at its best for this: the rows inserted in one transaction,
// a page cache as large as the engine's buffer manager (10 MB), default journal and full syncs
// (the engine syncs every commit too).
#include "bench/BenchSupport.h"
#include "db/base/qblllog.h"
#include "db/engine/qbsrengn.h"
#include "platform/ByteCodec.h"

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::string g_folder;
int g_rows = 0;

std::string nameOf(int i) {
    return "Document " + std::to_string(int64_t(i) * 48271 % g_rows + g_rows);
}

// 100 to 700 bytes of text per record.
std::string bodyOf(int i) {
    std::string b(size_t(100 + (i * 37) % 600), ' ');
    for (size_t k = 0; k < b.size(); ++k)
        b[k] = char('a' + (i + int(k)) % 26);
    return b;
}

void fail(const std::string& what, int32_t code) {
    throw std::runtime_error(what + " failed with " + std::to_string(code));
}

// A started engine over the folder with the table "docs" (name, auto-increment number, BLOB).
struct EngineSide {
    TqbOwned<TqbServerEngine> engine{new TqbServerEngine()};
    TqbHandle client = 0, session = 0, db = 0;

    EngineSide() {
        engine->SetConfigDir(g_folder + "/");
        engine->Startup();
        uint32_t hash = 0;
        if (int32_t rc = engine->ClientAdd(client, "bench", "", 60000, hash)) fail("ClientAdd", rc);
        if (int32_t rc = engine->SessionAdd(client, 60000, session)) fail("SessionAdd", rc);
        if (int32_t rc = engine->DatabaseOpenPath(client, g_folder, qbomReadWrite, qbsmShared, 60000, db))
            fail("DatabaseOpenPath", rc);
        TqbServerDataDict d(4096);
        d.AddField("name", "", qbtShortString, 40, 0, true);
        d.AddField("num", "", qbtAutoInc, 0, 0, false);
        d.AddField("body", "", qbtBLOB, 0, 0, false);
        const int32_t name = 0;
        d.AddIndex("byName", "", 0, 1, &name, nullptr, false, true, false);
        if (int32_t rc = engine->TableBuild(db, true, "docs", false, d)) fail("TableBuild", rc);
        fill();
    }
    ~EngineSide() { engine->Shutdown(); }

    void fill() {
        TqbHandle h = 0;
        if (int32_t rc =
                engine->TableOpen(db, "docs", false, "", 0, qbomReadWrite, qbsmShared, 60000, h, nullptr))
            fail("TableOpen", rc);
        auto c = engine->Registry().LeaseAs<TqbSrBaseCursor>(h, TqbHandleKind::Cursor);
        const TqbDataDictionary& d = c->Dictionary();
        TqbSrDatabase& database = c->Database();
        bool started = false;
        database.BeginImplicit(started);
        std::vector<uint8_t> r(size_t(d.RecordLength()));
        for (int i = 0; i < g_rows; ++i) {
            d.InitRecord(r.data());
            const std::string n = nameOf(i), b = bodyOf(i);
            std::vector<uint8_t> v(size_t(d.FieldLength(0)), 0);
            v[0] = uint8_t(n.size());
            std::memcpy(v.data() + 1, n.data(), n.size());
            d.SetRecordField(0, r.data(), v.data());
            uint64_t nr = 0;
            if (int32_t rc = c->BLOBCreate(nr)) fail("BLOBCreate", rc);
            if (int32_t rc = c->BLOBWrite(nr, 0, uint32_t(b.size()), b.data())) fail("BLOBWrite", rc);
            uint8_t bytes[8];
            plat::StoreLE64(bytes, nr);
            d.SetRecordField(2, r.data(), bytes);
            if (int32_t rc = c->RecordInsert(r.data(), lmNone)) fail("RecordInsert", rc);
        }
        if (int32_t rc = database.EndImplicit(started, true)) fail("commit", rc);
        engine->ObjectClosed(*c);
    }

    // One pack to its end; the records it wrote.
    int32_t pack() {
        TqbHandle id = 0;
        if (int32_t rc = engine->TablePack(db, "docs", id)) fail("TablePack", rc);
        if (!engine->RebuildWaitIdle(3600000)) throw std::runtime_error("the pack never ended");
        TqbRebuildStatus s{};
        if (!engine->RebuildStatusList().GetStatus(id, s) || !s.Finished)
            throw std::runtime_error("no status");
        if (s.ErrorCode) fail("the pack", s.ErrorCode);
        return s.RecordsWritten;
    }
};

void BM_EnginePack(benchmark::State& state) {
    std::filesystem::remove_all(g_folder);
    std::filesystem::create_directories(g_folder);
    EngineSide side;
    for (auto _ : state)
        if (side.pack() != g_rows) state.SkipWithError("records lost");
    state.SetItemsProcessed(int64_t(state.iterations()) * g_rows);
}

void check(sqlite3* db, int rc, const char* what) {
    if (rc != SQLITE_OK && rc != SQLITE_DONE)
        throw std::runtime_error(std::string(what) + ": " + sqlite3_errmsg(db));
}

void BM_SQLiteVacuum(benchmark::State& state) {
    std::filesystem::remove_all(g_folder);
    std::filesystem::create_directories(g_folder);
    sqlite3* db = nullptr;
    if (sqlite3_open((g_folder + "/docs.sqlite").c_str(), &db) != SQLITE_OK) throw std::runtime_error("open");
    check(db,
          sqlite3_exec(db,
                       "PRAGMA cache_size=-10240;"
                       "CREATE TABLE docs(num INTEGER PRIMARY KEY AUTOINCREMENT, name TEXT, body BLOB);"
                       "CREATE INDEX byName ON docs(name);",
                       nullptr, nullptr, nullptr),
          "setup");
    check(db, sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), "begin");
    sqlite3_stmt* ins = nullptr;
    check(db, sqlite3_prepare_v2(db, "INSERT INTO docs(name, body) VALUES(?, ?)", -1, &ins, nullptr),
          "prepare");
    for (int i = 0; i < g_rows; ++i) {
        const std::string n = nameOf(i), b = bodyOf(i);
        sqlite3_bind_text(ins, 1, n.c_str(), int(n.size()), SQLITE_TRANSIENT);
        sqlite3_bind_blob(ins, 2, b.data(), int(b.size()), SQLITE_TRANSIENT);
        check(db, sqlite3_step(ins), "insert");
        sqlite3_reset(ins);
    }
    sqlite3_finalize(ins);
    check(db, sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), "commit");
    for (auto _ : state)
        check(db, sqlite3_exec(db, "VACUUM", nullptr, nullptr, nullptr), "vacuum");
    sqlite3_close(db);
    state.SetItemsProcessed(int64_t(state.iterations()) * g_rows);
}

} // namespace

BENCHMARK(BM_EnginePack)->Unit(benchmark::kMillisecond)->Iterations(pwbench::iterations(3))->UseRealTime();
BENCHMARK(BM_SQLiteVacuum)->Unit(benchmark::kMillisecond)->Iterations(pwbench::iterations(3))->UseRealTime();

int main(int argc, char** argv) {
    const char* base = std::getenv("PW_BENCH_DIR");
    std::filesystem::path dir =
        std::filesystem::path(base ? base : std::filesystem::temp_directory_path().string()) /
        ("pw-pack-" + std::to_string(::getpid()));
    g_folder = dir.string();
    g_rows = int(pwbench::size(100000, 2000));
    benchmark::Initialize(&argc, argv);
    pwbench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const int status = pwbench::printRatios([&] {
        const double pack = reporter.rate("BM_EnginePack"), vacuum = reporter.rate("BM_SQLiteVacuum");
        std::printf("Pack of %d records with BLOBs: %.0f records/s; SQLite VACUUM of the same rows: %.0f "
                    "records/s; ratio %.2f\n",
                    g_rows, pack, vacuum, pack / vacuum);
    });
    std::filesystem::remove_all(dir);
    benchmark::Shutdown();
    return status;
}
