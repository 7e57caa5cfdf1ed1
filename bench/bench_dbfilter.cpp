// Filtered walk over records in memory: the server filter over a buffer of engine records against
// SQLite running the same WHERE over an in-memory table, in the same run (records per second).
// Not like for like: SQLite's figure includes its table scan (its B-tree pages walked, each row
// decoded), the filter's only the evaluation over records laid one after another in a buffer, so
// the ratio is the most the filter can gain over SQLite. The walk through a server table and its
// cursor is measured with the cursors (bench_dbcursor).
#include "BenchSupport.h"
#include "classlib/DBFilter.h"
#include "db/engine/qbconvqb.h"
#include "db/engine/qbsrfltr.h"

#include <sqlite3.h>

#include <cstdio>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr int kRecords = 100000;

// name, qty, price, member: the same rows on both sides.
struct Row {
    std::string name;
    int32_t qty;
    double price;
    bool member;
};

const std::vector<Row>& rows() {
    static const std::vector<Row> r = [] {
        std::mt19937 rng(42);
        std::vector<Row> v;
        for (int i = 0; i < kRecords; ++i)
            v.push_back({"name" + std::to_string(rng() % 1000), int32_t(rng() % 100), (rng() % 10000) / 100.0,
                         rng() % 10 == 0});
        return v;
    }();
    return r;
}

const std::vector<cls::TFilterField>& fields() {
    static const std::vector<cls::TFilterField> f = {{"name", 1, cls::ftString},
                                                     {"qty", 2, cls::ftInteger},
                                                     {"price", 3, cls::ftFloat},
                                                     {"member", 4, cls::ftBoolean}};
    return f;
}

struct EngineRecords {
    TqbRecordLayout layout;
    std::vector<uint8_t> buffer;
    size_t length = 0;
    EngineRecords() {
        layout.Fields = {{qbtShortString, 0, 21, "name"},
                         {qbtInt32, 21, 4, "qty"},
                         {qbtDouble, 25, 8, "price"},
                         {qbtBoolean, 33, 1, "member"}};
        layout.NullBitsOffset = 34;
        length = size_t(layout.RecordLength());
        buffer.assign(length * kRecords, 0);
        for (size_t i = 0; i < rows().size(); ++i) {
            uint8_t* r = buffer.data() + i * length;
            const Row& x = rows()[i];
            cls::EncodeNative(cls::TNativeKind::ShortStr, r, 21, cls::TextValue(x.name));
            cls::EncodeNative(cls::TNativeKind::Int32, r + 21, 4, cls::IntegerValue(x.qty));
            cls::EncodeNative(cls::TNativeKind::Float64, r + 25, 8, cls::FloatValue(x.price));
            cls::EncodeNative(cls::TNativeKind::Bool8, r + 33, 1, cls::BooleanValue(x.member));
        }
    }
};

const EngineRecords& engineRecords() {
    static const EngineRecords e;
    return e;
}

void serverWalk(benchmark::State& state, const char* text) {
    const EngineRecords& e = engineRecords();
    std::vector<uint8_t> bytes = cls::BuildFilterExpression(text, 0, fields());
    TqbSrFilter f(e.layout, 0, bytes.data(), bytes.size());
    int64_t passed = 0;
    for (auto _ : state) {
        passed = 0;
        for (size_t i = 0; i < kRecords; ++i)
            passed += f.MatchesRecord(e.buffer.data() + i * e.length);
        benchmark::DoNotOptimize(passed);
    }
    state.counters["passed"] = double(passed);
    state.SetItemsProcessed(state.iterations() * kRecords);
}

sqlite3* sqliteTable() {
    static sqlite3* db = [] {
        sqlite3* d = nullptr;
        if (sqlite3_open(":memory:", &d) != SQLITE_OK) throw std::runtime_error("sqlite3_open");
        sqlite3_exec(d, "CREATE TABLE t(name TEXT, qty INTEGER, price REAL, member INTEGER); BEGIN", nullptr,
                     nullptr, nullptr);
        sqlite3_stmt* ins = nullptr;
        sqlite3_prepare_v2(d, "INSERT INTO t VALUES(?,?,?,?)", -1, &ins, nullptr);
        for (const Row& x : rows()) {
            sqlite3_bind_text(ins, 1, x.name.c_str(), -1, SQLITE_STATIC);
            sqlite3_bind_int(ins, 2, x.qty);
            sqlite3_bind_double(ins, 3, x.price);
            sqlite3_bind_int(ins, 4, x.member);
            sqlite3_step(ins);
            sqlite3_reset(ins);
        }
        sqlite3_finalize(ins);
        sqlite3_exec(d, "COMMIT", nullptr, nullptr, nullptr);
        return d;
    }();
    return db;
}

void sqliteWalk(benchmark::State& state, const char* where) {
    sqlite3_stmt* q = nullptr;
    std::string sql = std::string("SELECT count(*) FROM t WHERE ") + where;
    if (sqlite3_prepare_v2(sqliteTable(), sql.c_str(), -1, &q, nullptr) != SQLITE_OK)
        throw std::runtime_error("sqlite3_prepare_v2");
    int64_t passed = 0;
    for (auto _ : state) {
        sqlite3_step(q);
        passed = sqlite3_column_int64(q, 0);
        sqlite3_reset(q);
    }
    sqlite3_finalize(q);
    state.counters["passed"] = double(passed);
    state.SetItemsProcessed(state.iterations() * kRecords);
}

// One compare node, and a five-node tree (and, a Boolean field, a compare with its two operands).
void BM_ServerFilterCompare(benchmark::State& s) {
    serverWalk(s, "qty > 50");
}
void BM_SQLiteCompare(benchmark::State& s) {
    sqliteWalk(s, "qty > 50");
}
void BM_ServerFilterTree(benchmark::State& s) {
    serverWalk(s, "member and qty > 50");
}
void BM_SQLiteTree(benchmark::State& s) {
    sqliteWalk(s, "member and qty > 50");
}
BENCHMARK(BM_ServerFilterCompare);
BENCHMARK(BM_SQLiteCompare);
BENCHMARK(BM_ServerFilterTree);
BENCHMARK(BM_SQLiteTree);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    pwbench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto line = [&](const char* what, const char* ours, const char* ref) {
        double a = reporter.rate(ours), b = reporter.rate(ref);
        std::printf("%s, records per second: server filter %.3g, SQLite %.3g, ratio %.2f\n", what, a, b,
                    a / b);
    };
    const int status = pwbench::printRatios([&] {
        line("One compare node", "BM_ServerFilterCompare", "BM_SQLiteCompare");
        line("Five-node tree", "BM_ServerFilterTree", "BM_SQLiteTree");
    });
    benchmark::Shutdown();
    return status;
}
