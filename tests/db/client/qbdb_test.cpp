// Tests of the SQL query dataset against the in-process engine with a small SQL engine of the
// test's own, and of the query's parameter parsing.
#include "db/client/qbdb.h"

#include "classlib/DBFilter.h"
#include "db/engine/qbsqlbas.h"
#include "tests/db/client/ClientTestSupport.h"
#include "tests/db/engine/ContactRecords.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <sstream>

using clienttest::codeOf;
using clienttest::Env;

namespace {

// Answers "select * from <table> [where <field> = ?]" with a cursor on the table (filtered on the
// engine when there is a where); anything else fails to prepare with a text.
class TableSql : public TqbBaseSQLEngine {
public:
    explicit TableSql(TqbServerEngine* engine) : engine_(engine) {}
    struct Stmt {
        TqbHandle db = 0;
        std::string table, field, value;
        bool hasWhere = false;
    };
    std::map<TqbHandle, Stmt> stmts;

    TqbResultCode SQLAlloc(TqbHandle DatabaseID, uint32_t, TqbHandle& StmtID) override {
        StmtID = next_++;
        stmts[StmtID].db = DatabaseID;
        return 0;
    }
    TqbResultCode SQLPrepare(TqbHandle StmtID, const std::string& Query, cls::TStream& Stream) override {
        std::istringstream in(Query);
        std::string select, star, from, where, eq, q;
        Stmt& s = stmts.at(StmtID);
        in >> select >> star >> from >> s.table >> where >> s.field >> eq >> q;
        if (select != "select" || star != "*" || from != "from" || s.table.empty() ||
            (!where.empty() && (where != "where" || eq != "=" || q != "?"))) {
            const std::string text = "syntax error in [" + Query + "]";
            const int32_t n = int32_t(text.size());
            Stream.WriteBuffer(&n, 4);
            Stream.WriteBuffer(text.data(), n);
            return 15462;
        }
        s.hasWhere = !where.empty();
        return 0;
    }
    TqbResultCode SQLSetParams(TqbHandle StmtID, uint16_t Count, std::span<const uint8_t> Descs,
                               std::span<const uint8_t> Data, cls::TStream&) override {
        if (Count != 1 || Descs.size() != 40) return 10023;
        const uint16_t size = plat::LoadLE16(Descs.data() + 36);
        if (Data.size() < size || size < 1) return 10023;
        // A zero-terminated string within its size.
        if (plat::LoadLE16(Descs.data() + 34) != qbtNullString) return 10023;
        const char* text = reinterpret_cast<const char*>(Data.data());
        stmts.at(StmtID).value.assign(text, strnlen(text, size));
        return 0;
    }
    TqbResultCode SQLExec(TqbHandle StmtID, TqbOpenMode OpenMode, TqbHandle& CursorID,
                          cls::TStream& Stream) override {
        Stmt& s = stmts.at(StmtID);
        cls::TMemoryStream open;
        if (TqbResultCode r =
                engine_->TableOpen(s.db, s.table, false, "", 0, OpenMode, qbsmShared, 10000, CursorID, &open))
            return r;
        const auto* b = open.Memory();
        TqbDataDictionary d;
        d.ReadFromStream(std::string_view(reinterpret_cast<const char*>(b) + 4, size_t(open.Size()) - 8));
        if (s.hasWhere) {
            std::vector<cls::TFilterField> fields;
            for (int32_t i = 0; i < d.FieldCount(); ++i)
                fields.push_back({d.FieldName(i), i + 1,
                                  d.FieldType(i) == qbtShortString ? cls::ftString : cls::ftInteger});
            const std::vector<uint8_t> expr = cls::BuildFilterExpression(
                "[" + s.field + "]='" + s.value + "'", cls::foNoPartialCompare, fields);
            if (TqbResultCode r = engine_->CursorSetFilter(CursorID, expr, 0)) return r;
        }
        Stream.WriteBuffer(b, int32_t(open.Size()) - 4);
        const uint8_t live = OpenMode == qbomReadWrite;
        const int32_t count = 7;
        Stream.WriteBuffer(&live, 1);
        Stream.WriteBuffer(&count, 4);
        return 0;
    }
    TqbResultCode SQLFree(TqbHandle StmtID) override { return stmts.erase(StmtID) ? 0 : 10023; }
    TqbResultCode SQLExecDirect(TqbHandle, const std::string&, uint32_t, TqbOpenMode, TqbHandle&,
                                cls::TStream&) override {
        return 15462;
    }
    TqbResultCode SQLReserved2() override { return 0; }
    TqbResultCode SQLReserved5() override { return 0; }
    TqbResultCode SQLReserved8() override { return 0; }

private:
    TqbServerEngine* engine_;
    TqbHandle next_ = 1;
};

struct QueryEnv : Env {
    TqbOwned<TqbDatabase> db{new TqbDatabase()};
    QueryEnv() {
        clienttest::openContactsFolder(*this, *db);
        TqbServerDataDict d = engineapi::contactsDictionary();
        TqbHandle c = 0;
        EXPECT_EQ(0, engine->TableOpen(db->DatabaseID(), "contacts", false, "nameIndex", 0, qbomReadWrite,
                                       qbsmShared, 10000, c, nullptr));
        for (const char* n : {"bob", "alice", "carol"}) {
            engineapi::Contact contact;
            contact.name = n;
            contact.id = std::string(n) + "1";
            const std::vector<uint8_t> rec = engineapi::contactRecord(d, contact);
            EXPECT_EQ(0, engine->RecordInsert(c, qbltNone, rec));
        }
        EXPECT_EQ(0, engine->CursorClose(c));
    }
    ~QueryEnv() { db.reset(); }
    std::unique_ptr<TqbQuery> query(const std::string& text) {
        auto q = std::make_unique<TqbQuery>();
        q->SetSessionName(session->SessionName());
        q->SetDatabaseName("pageBASE");
        q->SQL().SetText(text);
        return q;
    }
};

std::vector<std::string> names(cls::TDataSet& t) {
    std::vector<std::string> r;
    for (t.First(); !t.Eof(); t.Next())
        r.push_back(t.FieldByName("name")->AsString());
    return r;
}

} // namespace

TEST(Query, ParametersOutsideQuotedTextBecomeQuestionMarks) {
    std::vector<std::string> n;
    EXPECT_EQ(ParseSqlParameters("select * from t where a = :a and b = :\"b c\"", n),
              "select * from t where a = ? and b = ?");
    EXPECT_EQ(n, (std::vector<std::string>{"a", "b c"}));
    EXPECT_EQ(ParseSqlParameters("select ':x', \"a `:y` b\" from t where c::int = :z,", n),
              "select ':x', \"a `:y` b\" from t where c::int = ?,");
    EXPECT_EQ(n, (std::vector<std::string>{"z"}));
    // Five levels of quotes are fine; a sixth is refused with an error.
    EXPECT_NO_THROW(ParseSqlParameters("x \"'`\"'", n));
    EXPECT_THROW(ParseSqlParameters("x \"'`\"'`", n), EqbDatabaseError);
}

TEST(Query, PreparesExecutesAndReadsRowsThroughTheEnginesSqlOperations) {
    QueryEnv env;
    // Without a SQL engine the engine's SQL operations refuse.
    auto none = env.query("select * from contacts");
    EXPECT_NE(codeOf([&] { none->Open(); }), 0);
    EXPECT_FALSE(none->Active());
    EXPECT_EQ(none->StmtHandle(), 0u);

    TqbOwned<TableSql> sql(new TableSql(env.engine.get()));
    env.engine->SetSQLEngine(sql.get());
    auto q = env.query("select * from contacts");
    q->Open();
    EXPECT_TRUE(q->Executed());
    EXPECT_NE(q->StmtHandle(), 0u);
    EXPECT_EQ(q->ResultCount(), 7);
    EXPECT_FALSE(q->CanModify());
    EXPECT_EQ(names(*q).size(), 3u);
    EXPECT_TRUE(q->Locate("name", cls::Variant("carol"), 0));
    EXPECT_EQ(q->FieldByName("id")->AsString(), "carol1");
    EXPECT_EQ(codeOf([&] { q->Prepare(); }), kDsQueryMustBeClosed);
    q->Close();
    EXPECT_FALSE(q->Executed());

    // A parameter sent with its value; a change of text closes the query and keeps values by name.
    auto p = env.query("select * from contacts where name = :who");
    ASSERT_EQ(p->ParamCount(), 1);
    p->ParamByName("who").SetAsString("alice");
    p->Open();
    EXPECT_EQ(names(*p), (std::vector<std::string>{"alice"}));
    p->SQL().SetText("select   *  from contacts where name = :who");
    EXPECT_FALSE(p->Active());
    EXPECT_EQ(p->ParamByName("who").AsString(), "alice");

    // The engine's error text reaches the message.
    auto bad = env.query("delete everything");
    try {
        bad->Open();
        FAIL() << "no error";
    } catch (const EqbDatabaseError& e) {
        EXPECT_EQ(e.ErrorCode, kDsQueryPrepareFailed);
        EXPECT_NE(
            std::string(e.what()).find("Query preparation failed: \r\nsyntax error in [delete everything"),
            std::string::npos);
    }
    EXPECT_EQ(bad->StmtHandle(), 0u); // freed again
    auto empty = env.query("");
    EXPECT_EQ(codeOf([&] { empty->Open(); }), kDsNoSql);

    // Two queries made at once have proxies of their own names.
    TqbQuery a, b;
    EXPECT_NE(a.TableName(), b.TableName());
    p.reset();
    q.reset();
    env.engine->SetSQLEngine(nullptr);
}
