// The dataset layer beside SQLite on a contacts table of 100,000 rows in the same run: FindKey by
// name, inserts in one transaction, inserts each in its own durable transaction, the ordered walk
// and the walk of one group through the engine's filter. The dataset runs on the in-process engine
// through TqbClient, TqbSession and TqbTable. SQLite gets prepared statements reused, a unique
// index on name (NOCASE, as "nameIndex" ignores case), a 256 MB page cache (the engine gets the
// same RAM for its buffers), a transaction around bulk work and around the look-ups, and
// synchronous=FULL for the single-row transactions. Each figure is the median of five repetitions,
// the benchmarks' runs in random order. In the walks both sides fetch whole rows (a dataset reads every field
// of its record; SQLite gets SELECT *, so it cannot answer from the name index alone) and read the
// name. Beside them, users of one table on threads of their own (2 and 8) against one user alone
// in the same run. PW_BENCH_QUICK=1 makes it small.
#include "bench/BenchSupport.h"
#include "db/client/qbdbbase.h"
#include "db/engine/qbsrengn.h"
#include "tests/db/client/TableUser.h"
#include "tests/db/engine/ContactRecords.h"

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

int64_t g_rows = 100000;
std::string g_folder;

std::string nameOf(int64_t i) {
    char b[24];
    std::snprintf(b, sizeof b, "contact%07lld", static_cast<long long>((i * 48271) % 2147483647 % 10000000));
    return b;
}
bool inGroup3(int64_t i) {
    return i % 4 == 1;
}

// A client, session and database of the dataset layer on an engine of their own over dir, with an
// empty contacts table (its dictionary is returned); maxRAM (MB), when given, is the engine's page
// cache.
TqbServerDataDict openWithContacts(TqbServerEngine& engine, TqbClient& client, TqbSession& session, TqbDatabase& db,
                      const std::string& dir, uint32_t maxRAM = 0) {
    std::filesystem::create_directories(dir + "/cfg");
    engine.SetConfigDir(dir + "/cfg/");
    if (maxRAM) engine.SetMaxRAM(maxRAM);
    client.SetServerEngine(&engine);
    client.SetAutoClientName(true);
    session.SetClientName(client.ClientName());
    session.SetAutoSessionName(true);
    session.Open();
    db.SetSessionName(session.SessionName());
    db.SetDatabaseName(dir);
    db.Open();
    TqbServerDataDict d = engineapi::contactsDictionary();
    engine.TableBuild(db.DatabaseID(), false, "contacts", false, d);
    return d;
}

// The engine and the dataset layer on it, with the contacts table loaded once.
struct DataSetSide {
    TqbOwned<TqbServerEngine> engine{new TqbServerEngine()};
    TqbOwned<TqbClient> client{new TqbClient()};
    TqbOwned<TqbSession> session{new TqbSession()};
    TqbOwned<TqbDatabase> db{new TqbDatabase()};
    std::unique_ptr<TqbTable> table;
    int tables = 0;

    DataSetSide() {
        const std::string dir = g_folder + "/engine";
        const TqbServerDataDict d =
            openWithContacts(*engine, *client, *session, *db, dir, 256); // the page cache SQLite gets
        TqbHandle c = 0;
        engine->TableOpen(db->DatabaseID(), "contacts", false, "", 0, qbomReadWrite, qbsmShared, 10000, c,
                          nullptr);
        engine->TransactionStart(db->DatabaseID(), false);
        for (int64_t i = 0; i < g_rows; ++i) {
            engineapi::Contact k;
            k.name = nameOf(i);
            k.id = "id" + std::to_string(i);
            k.service = int32_t(i % 7);
            k.groups[2] = inGroup3(i);
            engine->RecordInsert(c, qbltNone, engineapi::contactRecord(d, k));
        }
        engine->TransactionCommit(db->DatabaseID());
        engine->CursorClose(c);
        table = open("contacts");
    }
    ~DataSetSide() {
        table.reset();
        db.reset();
        session.reset();
        client.reset();
        engine->Shutdown();
    }
    std::unique_ptr<TqbTable> open(const std::string& name) {
        auto t = std::make_unique<TqbTable>();
        t->SetSessionName(session->SessionName());
        t->SetDatabaseName(db->DatabaseName());
        t->SetTableName(name);
        t->SetIndexName("nameIndex");
        t->Open();
        return t;
    }
    // An empty contacts table of its own for one insert run.
    std::unique_ptr<TqbTable> freshTable() {
        const std::string name = "ins" + std::to_string(++tables);
        TqbServerDataDict d = engineapi::contactsDictionary();
        engine->TableBuild(db->DatabaseID(), false, name, false, d);
        return open(name);
    }
};

struct SQLiteSide {
    sqlite3* db = nullptr;
    int tables = 0;
    SQLiteSide() {
        sqlite3_open((g_folder + "/ref.sqlite").c_str(), &db);
        sqlite3_exec(db, "PRAGMA cache_size=-262144; PRAGMA synchronous=FULL;", nullptr, nullptr, nullptr);
        create("contacts");
        sqlite3_stmt* ins = insert("contacts");
        sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
        for (int64_t i = 0; i < g_rows; ++i)
            bindAndStep(ins, i);
        sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_finalize(ins);
    }
    ~SQLiteSide() { sqlite3_close(db); }
    void create(const std::string& t) {
        std::string sql =
            "CREATE TABLE " + t + "(name TEXT NOT NULL, id TEXT, servicenumber INTEGER, password TEXT";
        for (int g = 1; g <= 10; ++g)
            sql += ", memberGr" + std::to_string(g) + " INTEGER";
        sql += "); CREATE UNIQUE INDEX " + t + "_name ON " + t + "(name COLLATE NOCASE);";
        sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    }
    sqlite3_stmt* insert(const std::string& t) {
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(db, ("INSERT INTO " + t + " VALUES(?,?,?,'',0,0,?,0,0,0,0,0,0,0)").c_str(), -1, &s,
                           nullptr);
        return s;
    }
    static void bindAndStep(sqlite3_stmt* s, int64_t i) {
        const std::string n = nameOf(i), id = "id" + std::to_string(i);
        sqlite3_bind_text(s, 1, n.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(s, 2, id.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(s, 3, int(i % 7));
        sqlite3_bind_int(s, 4, inGroup3(i) ? 1 : 0);
        sqlite3_step(s);
        sqlite3_reset(s);
    }
    std::string freshTable() {
        const std::string name = "ins" + std::to_string(++tables);
        create(name);
        return name;
    }
};

DataSetSide& dataset() {
    static DataSetSide d;
    return d;
}
SQLiteSide& sqlite() {
    static SQLiteSide s;
    return s;
}

int64_t insertRows() {
    return pwbench::size(20000, 200);
}
int64_t durableRows() {
    return pwbench::size(200, 5);
}

void appendContact(TqbTable& t, int64_t i) {
    t.Append();
    t.FieldByName("name")->SetAsString(nameOf(i));
    t.FieldByName("id")->SetAsString("id" + std::to_string(i));
    t.FieldByName("servicenumber")->SetAsInteger(int32_t(i % 7));
    t.FieldByName("memberGr3")->SetAsBoolean(inGroup3(i));
    t.Post();
}

void BM_DataSetFindKey(benchmark::State& state) {
    TqbTable& t = *dataset().table;
    std::mt19937 rng(7);
    int64_t found = 0, bytes = 0;
    for (auto _ : state) {
        if (t.FindKey({cls::Variant(nameOf(int64_t(rng() % uint64_t(g_rows))))})) {
            bytes +=
                int64_t(t.FieldByName("id")->AsString().size()) + t.FieldByName("servicenumber")->AsInteger();
            ++found;
        }
    }
    benchmark::DoNotOptimize(bytes);
    if (found != int64_t(state.iterations())) state.SkipWithError("keys missing");
    state.SetItemsProcessed(state.iterations());
}

void BM_Reference_SQLiteFindKey(benchmark::State& state) {
    sqlite3* db = sqlite().db;
    sqlite3_stmt* q = nullptr;
    sqlite3_prepare_v2(db, "SELECT id, servicenumber FROM contacts WHERE name = ? COLLATE NOCASE", -1, &q,
                       nullptr);
    std::mt19937 rng(7);
    int64_t found = 0, bytes = 0;
    // One read transaction around the look-ups, not one of its own for each.
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    for (auto _ : state) {
        const std::string n = nameOf(int64_t(rng() % uint64_t(g_rows)));
        sqlite3_bind_text(q, 1, n.c_str(), -1, SQLITE_TRANSIENT);
        if (sqlite3_step(q) == SQLITE_ROW) {
            bytes += sqlite3_column_bytes(q, 0) + sqlite3_column_int(q, 1);
            ++found;
        }
        sqlite3_reset(q);
    }
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    benchmark::DoNotOptimize(bytes);
    sqlite3_finalize(q);
    if (found != int64_t(state.iterations())) state.SkipWithError("keys missing");
    state.SetItemsProcessed(state.iterations());
}

// range(0): 1 = all rows in one transaction, 0 = each row in its own (journaled and synced).
void BM_DataSetInsert(benchmark::State& state) {
    DataSetSide& side = dataset();
    const bool one = state.range(0) == 1;
    const int64_t rows = one ? insertRows() : durableRows();
    int64_t n = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto t = side.freshTable();
        state.ResumeTiming();
        if (one) side.engine->TransactionStart(side.db->DatabaseID(), false);
        for (int64_t i = 0; i < rows; ++i)
            appendContact(*t, i);
        if (one && side.engine->TransactionCommit(side.db->DatabaseID()) != 0)
            state.SkipWithError("commit failed");
        n += rows;
        state.PauseTiming();
        if (t->RecordCount() != rows) state.SkipWithError("rows missing");
        t.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(n);
}

void BM_Reference_SQLiteInsert(benchmark::State& state) {
    SQLiteSide& side = sqlite();
    const bool one = state.range(0) == 1;
    const int64_t rows = one ? insertRows() : durableRows();
    int64_t n = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const std::string t = side.freshTable();
        sqlite3_stmt* ins = side.insert(t);
        state.ResumeTiming();
        if (one) sqlite3_exec(side.db, "BEGIN", nullptr, nullptr, nullptr);
        for (int64_t i = 0; i < rows; ++i)
            SQLiteSide::bindAndStep(ins, i);
        if (one) sqlite3_exec(side.db, "COMMIT", nullptr, nullptr, nullptr);
        n += rows;
        state.PauseTiming();
        sqlite3_finalize(ins);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(n);
}

// range(0): 0 = every row in name order, 1 = the rows of group 3 through the engine's filter.
void BM_DataSetWalk(benchmark::State& state) {
    TqbTable& t = *dataset().table;
    const bool group = state.range(0) == 1;
    t.SetFilter(group ? "memberGr3=true" : "");
    t.SetFiltered(group);
    int64_t n = 0, bytes = 0;
    for (auto _ : state) {
        for (t.First(); !t.Eof(); t.Next()) {
            bytes += int64_t(t.FieldByName("name")->AsString().size());
            ++n;
        }
    }
    benchmark::DoNotOptimize(bytes);
    const int64_t expect = group ? (g_rows + 2) / 4 : g_rows;
    if (n != expect * int64_t(state.iterations())) state.SkipWithError("rows missing");
    t.SetFiltered(false);
    state.SetItemsProcessed(n);
}

void BM_Reference_SQLiteWalk(benchmark::State& state) {
    sqlite3* db = sqlite().db;
    sqlite3_stmt* q = nullptr;
    sqlite3_prepare_v2(db,
                       state.range(0) == 1
                           ? "SELECT * FROM contacts WHERE memberGr3 = 1 ORDER BY name COLLATE NOCASE"
                           : "SELECT * FROM contacts ORDER BY name COLLATE NOCASE",
                       -1, &q, nullptr);
    int64_t n = 0, bytes = 0;
    for (auto _ : state) {
        while (sqlite3_step(q) == SQLITE_ROW) {
            bytes += sqlite3_column_bytes(q, 0);
            ++n;
        }
        sqlite3_reset(q);
    }
    benchmark::DoNotOptimize(bytes);
    sqlite3_finalize(q);
    const int64_t expect = state.range(0) == 1 ? (g_rows + 2) / 4 : g_rows;
    if (n != expect * int64_t(state.iterations())) state.SkipWithError("rows missing");
    state.SetItemsProcessed(n);
}

// ---------------------------------------------------------------------------------------------
// Users on threads: each has its own client, session, database and table on one engine and works
// on its own rows of one contacts table only (clienttest::TableUser::work: append, find and edit,
// find and delete; each one operation). Every commit is the write's own (implicit) transaction.

// An engine of its own with an empty contacts table, and its users, made as they are first needed.
struct UsersSide {
    TqbOwned<TqbServerEngine> engine{new TqbServerEngine()};
    TqbOwned<TqbClient> client{new TqbClient()};
    TqbOwned<TqbSession> session{new TqbSession()};
    TqbOwned<TqbDatabase> db{new TqbDatabase()};
    std::vector<std::unique_ptr<clienttest::TableUser>> users;
    std::string dir = g_folder + "/users";
    int64_t runs = 0;

    UsersSide() { openWithContacts(*engine, *client, *session, *db, dir); }
    ~UsersSide() {
        users.clear();
        db.reset();
        session.reset();
        client.reset();
        engine->Shutdown();
    }
};

UsersSide& usersSide() {
    static UsersSide u;
    return u;
}

double processCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// range(0): the number of users. Every run does about the same number of operations in all, split
// between the users. Counter cpu_us_per_op: the process's CPU time per operation, waits included.
void BM_DataSetUsers(benchmark::State& state) {
    UsersSide& side = usersSide();
    const int count = int(state.range(0));
    while (int(side.users.size()) < count)
        side.users.push_back(
            std::make_unique<clienttest::TableUser>(*side.engine, side.dir, int(side.users.size())));
    const int rounds = int(pwbench::size(400, 16) / count);
    int64_t ops = 0;
    double cpu = 0;
    for (auto _ : state) {
        const std::string run = std::to_string(++side.runs);
        std::vector<int64_t> done(size_t(count), 0);
        const double cpu0 = processCpuSeconds();
        std::vector<std::thread> threads;
        for (int k = 0; k < count; ++k)
            threads.emplace_back([&, k] {
                done[size_t(k)] =
                    side.users[size_t(k)]->work("r" + run + "u" + std::to_string(k) + "-", rounds);
            });
        for (auto& th : threads)
            th.join();
        cpu += processCpuSeconds() - cpu0;
        for (int k = 0; k < count; ++k) {
            ops += done[size_t(k)];
            if (!side.users[size_t(k)]->failure.empty()) {
                state.SkipWithError(
                    ("user " + std::to_string(k) + ": " + side.users[size_t(k)]->failure).c_str());
                return;
            }
        }
    }
    state.SetItemsProcessed(ops);
    state.counters["cpu_us_per_op"] = ops ? cpu * 1e6 / double(ops) : 0;
}

} // namespace

BENCHMARK(BM_DataSetUsers)
    ->Arg(1)
    ->Arg(2)
    ->Arg(8)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(pwbench::minTime(1))
    ->Repetitions(pwbench::repetitions(5))
    ->UseRealTime();
BENCHMARK(BM_DataSetFindKey)
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(pwbench::minTime(0.3))
    ->Repetitions(pwbench::repetitions(5))
    ->UseRealTime();
BENCHMARK(BM_Reference_SQLiteFindKey)
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(pwbench::minTime(0.3))
    ->Repetitions(pwbench::repetitions(5))
    ->UseRealTime();
BENCHMARK(BM_DataSetInsert)
    ->Arg(1)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(pwbench::iterations(3))
    ->Repetitions(pwbench::repetitions(5))
    ->UseRealTime();
BENCHMARK(BM_Reference_SQLiteInsert)
    ->Arg(1)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(pwbench::iterations(3))
    ->Repetitions(pwbench::repetitions(5))
    ->UseRealTime();
BENCHMARK(BM_DataSetWalk)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(pwbench::iterations(3))
    ->Repetitions(pwbench::repetitions(5))
    ->UseRealTime();
BENCHMARK(BM_Reference_SQLiteWalk)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(pwbench::iterations(3))
    ->Repetitions(pwbench::repetitions(5))
    ->UseRealTime();

int main(int argc, char** argv) {
    g_rows = pwbench::size(100000, 2000);
    const char* base = std::getenv("PW_BENCH_DIR");
    std::filesystem::path dir =
        std::filesystem::path(base ? base : std::filesystem::temp_directory_path().string()) /
        ("pw-dataset-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    g_folder = dir.string();
    pwbench::initializeInterleaved(argc, argv);
    pwbench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const int rc = pwbench::printRatios([&] {
        auto line = [&](const char* what, const std::string& ours, const std::string& ref) {
            const double a = reporter.rate(ours), b = reporter.rate(ref);
            std::printf("%s: dataset %.0f, SQLite %.0f, ratio %.2f\n", what, a, b, a / b);
        };
        line("FindKey by name per second", "BM_DataSetFindKey", "BM_Reference_SQLiteFindKey");
        line("rows inserted per second, one transaction", "BM_DataSetInsert/1",
             "BM_Reference_SQLiteInsert/1");
        line("rows inserted per second, one durable transaction each", "BM_DataSetInsert/0",
             "BM_Reference_SQLiteInsert/0");
        line("rows per second, ordered walk", "BM_DataSetWalk/0", "BM_Reference_SQLiteWalk/0");
        line("rows per second, group filter walk", "BM_DataSetWalk/1", "BM_Reference_SQLiteWalk/1");
    });
    const int rcUsers = pwbench::printRatios([&] {
        for (const char* users : {"2", "8"}) {
            const double many = reporter.rate(std::string("BM_DataSetUsers/") + users),
                         one = reporter.rate("BM_DataSetUsers/1");
            std::printf(
                "operations per second, %s users of one table on their own rows: %.0f, one user %.0f, "
                "ratio %.2f\n",
                users, many, one, many / one);
        }
    });
    std::filesystem::remove_all(dir);
    return rc | rcUsers;
}
