// SQL engine base: the engine's SQL operations reach an attached SQL engine, and without one
// they fail with the server error that becomes "not attached to a SQL engine".
#include "db/engine/qbsqlbas.h"

#include "db/base/qblllog.h"
#include "db/engine/qbsrcvex.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

// Answers each operation with its slot number, so a caller sees which one it reached.
class SlotEngine final : public TqbBaseSQLEngine {
public:
    TqbResultCode SQLAlloc(TqbHandle, uint32_t, TqbHandle& StmtID) override {
        StmtID = 77;
        return 1;
    }
    TqbResultCode SQLReserved2() override { return 2; }
    TqbResultCode SQLExec(TqbHandle, TqbOpenMode, TqbHandle&, cls::TStream&) override { return 3; }
    TqbResultCode SQLExecDirect(TqbHandle, const std::string&, uint32_t, TqbOpenMode, TqbHandle&,
                                cls::TStream&) override {
        return 4;
    }
    TqbResultCode SQLReserved5() override { return 5; }
    TqbResultCode SQLFree(TqbHandle) override { return 6; }
    TqbResultCode SQLPrepare(TqbHandle, const std::string&, cls::TStream&) override { return 7; }
    TqbResultCode SQLReserved8() override { return 8; }
    TqbResultCode SQLSetParams(TqbHandle, uint16_t, std::span<const uint8_t>, std::span<const uint8_t>,
                               cls::TStream&) override {
        return 9;
    }
};

// The six operations an engine hands on, each through the look-up and the exception guard an
// engine operation has.
std::vector<TqbResultCode> runAll(TqbBaseSQLEngine* sql, TqbBaseLog* log) {
    cls::TMemoryStream stream;
    TqbHandle h = 0;
    const std::vector<std::function<TqbResultCode(TqbBaseSQLEngine&)>> ops = {
        [&](TqbBaseSQLEngine& e) { return e.SQLAlloc(1, 0, h); },
        [&](TqbBaseSQLEngine& e) { return e.SQLExec(1, qbomReadOnly, h, stream); },
        [&](TqbBaseSQLEngine& e) { return e.SQLExecDirect(1, "select 1", 0, qbomReadOnly, h, stream); },
        [&](TqbBaseSQLEngine& e) { return e.SQLFree(1); },
        [&](TqbBaseSQLEngine& e) { return e.SQLPrepare(1, "select 1", stream); },
        [&](TqbBaseSQLEngine& e) { return e.SQLSetParams(1, 0, {}, {}, stream); },
    };
    std::vector<TqbResultCode> out;
    for (const auto& op : ops) {
        try {
            out.push_back(op(RequireSQLEngine(sql, "PAGES")));
        } catch (...) {
            out.push_back(ConvertServerException(std::current_exception(), log, false));
        }
    }
    return out;
}

TEST(SQLEngineBase, OperationsReachTheAttachedEngineInTheirSlots) {
    TqbOwned<SlotEngine> sql(new SlotEngine);
    EXPECT_EQ(runAll(sql.get(), nullptr), (std::vector<TqbResultCode>{1, 3, 4, 6, 7, 9}));
}

TEST(SQLEngineBase, WithoutAnSQLEngineEveryOperationAnswers15462) {
    MemoryEventLog log;
    EXPECT_EQ(runAll(nullptr, &log), std::vector<TqbResultCode>(6, kResultNoSQLEngine));
    ASSERT_EQ(log.LineCount(), 6u);
    EXPECT_EQ(log.Lines()[0], "Exception Cvt: Server engine [PAGES] is not attached to a SQL engine.");
}

} // namespace
