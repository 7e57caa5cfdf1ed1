// SQL engine base: without an SQL engine every SQL operation of an engine fails with the server
// error that becomes "not attached to a SQL engine".
#include "db/engine/qbsqlbas.h"

#include "db/base/qblllog.h"
#include "db/engine/qbsrcvex.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

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

TEST(SQLEngineBase, WithoutAnSQLEngineEveryOperationAnswers15462) {
    MemoryEventLog log;
    EXPECT_EQ(runAll(nullptr, &log), std::vector<TqbResultCode>(6, kResultNoSQLEngine));
    ASSERT_EQ(log.LineCount(), 6u);
    EXPECT_EQ(log.Lines()[0], "Exception Cvt: Server engine [PAGES] is not attached to a SQL engine.");
}

} // namespace
