// Command tables: built-in tables, unique names, commands, text files and property streams.
#include "controls/LncCmd.h"
#include "controls/LncExcpt.h"
#include "platform/Text.h"
#include "tests/support/TestSupport.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace {
TLncCmdRec rec(int k1, int s1, int k2, int s2, int cmd) {
    return TLncCmdRec{uint8_t(k1), uint8_t(s1), uint8_t(k2), uint8_t(s2), uint16_t(cmd)};
}

std::vector<TLncCmdRec> records(const TLncCommandTable& t) {
    std::vector<TLncCmdRec> r;
    for (int i = 0; i < t.Count(); ++i)
        r.push_back(t.Commands(i));
    return r;
}

template <class Write> std::string written(Write write) {
    cls::TMemoryStream m;
    cls::TWriter w(m);
    write(w);
    return std::string(reinterpret_cast<const char*>(m.Memory()), static_cast<size_t>(m.Size()));
}
struct Source {
    cls::TMemoryStream m;
    cls::TReader r{m};
    explicit Source(const std::string& b) {
        if (!b.empty()) m.WriteBuffer(b.data(), static_cast<int32_t>(b.size()));
        m.SetPosition(0);
    }
};
// The expected stream of one table: name, active flag, then (key, command) pairs.
std::string tableStream(const std::string& name, bool active, const std::vector<int32_t>& pairs) {
    return written([&](cls::TWriter& w) {
        w.WriteString(name);
        w.WriteBoolean(active);
        w.WriteListBegin();
        for (int32_t v : pairs)
            w.WriteInteger(v);
        w.WriteListEnd();
    });
}
// A stream of a table list around the given table streams; open leaves out the list end.
std::string listOf(const std::string& tables, bool open = false) {
    std::string ends = written([](cls::TWriter& w) {
        w.WriteListBegin();
        w.WriteListEnd();
    });
    return ends.substr(0, 1) + tables + (open ? std::string() : ends.substr(1));
}
std::string tableList(TLncCommandProcessor& p) {
    return written([&](cls::TWriter& w) { p.WriteTableList(w); });
}
} // namespace

TEST(LncCmd, BuiltinTablesAndStreamKeys) {
    TLncCommandProcessor p;
    ASSERT_EQ(p.Count(), 3);
    EXPECT_EQ(p.Table(0)->Count(), 64);
    EXPECT_TRUE(p.Table(0)->IsActive());
    EXPECT_EQ(p.Table(1)->Commands(39), rec(75, 4, 57, 128, 67));
    // The stream key is the four key bytes as a little-endian signed integer.
    EXPECT_EQ(rec(81, 4, 83, 128, 0).StreamKey(), -2142043055);
    EXPECT_EQ(TLncCmdRec::FromStreamKey(-2142043055, 42), rec(81, 4, 83, 128, 42));
    EXPECT_EQ(p.GetTable("wordstar"), p.Table(1));
}

TEST(LncCmd, UniqueTableNames) {
    TLncCommandProcessor p;
    EXPECT_EQ(p.AddTable("default", true)->TableName(), "default1");
    EXPECT_EQ(p.AddTable("Grid7", false)->TableName(), "Grid1"); // "Grid" exists
    EXPECT_EQ(p.AddTable("Mine7", false)->TableName(), "Mine7"); // no "Mine": kept with its digits
    // A second "Mine7" must not give two tables of one name.
    EXPECT_EQ(p.AddTable("Mine7", false)->TableName(), "Mine1");
    EXPECT_EQ(p.AddTable("12", false)->TableName(), "12");
    EXPECT_EQ(p.AddTable("12", false)->TableName(), "11");
    for (int i = 0; i < p.Count(); ++i)
        for (int j = i + 1; j < p.Count(); ++j)
            EXPECT_NE(plat::AsciiUpper(p.Table(i)->TableName()), plat::AsciiUpper(p.Table(j)->TableName()));
}

TEST(LncCmd, AddCommandChecks) {
    TLncCommandProcessor p;
    EXPECT_THROW(p.AddCommand("Nope", rec(1, 0, 0, 0, 5)), ETableNotFound);
    EXPECT_THROW(p.AddCommand("grid", rec(37, 0, 0, 0, 99)), EDuplicateCommand);
    p.AddCommand("grid", rec(37, 4, 40, 128, 99));
    EXPECT_EQ(p.GetTable("Grid")->Commands(38), rec(37, 4, 40, 128, 99));
}

TEST(LncCmd, TextFileLayoutAndLineFeedEndings) {
    pwtest::TempDir dir;
    std::string file = dir.file("default.cmd");
    TLncCommandProcessor().SaveCommandTable("default", file);
    std::string bytes = pwtest::readFile(file);
    ASSERT_EQ(bytes.substr(0, 9 + 24), "Default\r\n"
                                       "  37   0   0   0    46\r\n");
    EXPECT_EQ(bytes.size(), 9u + 64u * 24u);

    // Line-feed endings, extra blanks and blank lines are accepted.
    std::string lf = dir.file("lf.cmd");
    pwtest::writeFile(lf, "My table\n 1 2 3 4 5\n\n\t255 255 255 255 65535 \n");
    TLncCommandTable t;
    t.LoadFromFile(lf);
    EXPECT_EQ(t.TableName(), "My table");
    EXPECT_EQ(records(t), (std::vector<TLncCmdRec>{rec(1, 2, 3, 4, 5), rec(255, 255, 255, 255, 65535)}));
}

TEST(LncCmd, BadTextFilesAreRejectedAndChangeNothing) {
    pwtest::TempDir dir;
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"empty", ""},
        {"noname", "\r\n 1 0 0 0 5\r\n"},
        {"letters", "T\r\n  1   0   0   0   x5\r\n"},
        {"four", "T\r\n 1 0 0 0\r\n"},
        {"keyrange", "T\r\n 256 0 0 0 5\r\n"},
        {"cmdrange", "T\r\n 1 0 0 0 65536\r\n"},
        {"duplicate", "T\r\n 1 0 0 0 5\r\n 1 0 0 0 6\r\n"},
        {"longname", std::string(100000, 'n')},
        {"huge", "T\r\n 1 0 0 0 99999999999999999999\r\n"},
    };
    for (const auto& [name, text] : bad) {
        std::string f = dir.file(name + ".cmd");
        pwtest::writeFile(f, text);
        TLncCommandProcessor p;
        EXPECT_THROW(p.LoadCommandTable(f), ctl::EInOutError) << name;
        EXPECT_EQ(p.Count(), 3) << name;
        TLncCommandTable t;
        t.SetTableName("Keep");
        t.AddRec(rec(9, 9, 9, 9, 9));
        EXPECT_THROW(t.LoadFromFile(f), ctl::EInOutError) << name;
        EXPECT_EQ(t.TableName(), "Keep") << name;
        EXPECT_EQ(t.Count(), 1) << name;
    }
    EXPECT_THROW(TLncCommandProcessor().LoadCommandTable(dir.file("missing.cmd")), ctl::EInOutError);
    TLncCommandTable multi;
    multi.SetTableName("two\nlines");
    EXPECT_THROW(multi.SaveToFile(dir.file("multi.cmd")), ctl::EInOutError);
}

TEST(LncCmd, StreamsStoreOnlyDifferencesFromBuiltins) {
    TLncCommandProcessor p;
    EXPECT_EQ(written([&](cls::TWriter& w) { p.Table(0)->WriteCommandList(w); }),
              tableStream("Default", true, {}));

    // "Grid" with one key deleted, one command changed and one record added.
    TLncCommandTable* g = p.GetTable("Grid");
    g->Delete(g->IndexOfKey(rec(8, 0, 0, 0, 0)));
    g->Delete(g->IndexOfKey(rec(39, 0, 0, 0, 0)));
    g->AddRec(rec(39, 0, 0, 0, 77));
    g->AddRec(rec(81, 4, 83, 128, 42));
    std::string gs = written([&](cls::TWriter& w) { g->WriteCommandList(w); });
    EXPECT_EQ(gs, tableStream("Grid", false, {8, 0, 39, 77, rec(81, 4, 83, 128, 0).StreamKey(), 42}));
    Source gsrc(gs);
    TLncCommandTable back;
    back.ReadCommandList(gsrc.r);
    ASSERT_EQ(back.Count(), 38);
    EXPECT_EQ(back.IndexOfKey(rec(8, 0, 0, 0, 0)), -1);
    EXPECT_EQ(back.Commands(back.IndexOfKey(rec(39, 0, 0, 0, 0))).Cmd, 77);
    EXPECT_EQ(back.Commands(37), rec(81, 4, 83, 128, 42)); // the new record comes last
}

TEST(LncCmd, ProcessorTableListRoundTrip) {
    TLncCommandProcessor p;
    p.GetTable("Default")->SetIsActive(false);
    p.GetTable("WordStar")->Clear(); // an emptied built-in table stays empty after a round trip
    p.AddTable("Default", true)->AddRec(rec(1, 0, 0, 0, 2));
    Source s(tableList(p));

    TLncCommandProcessor q;
    q.AddTable("Extra", true);
    q.ReadTableList(s.r);
    ASSERT_EQ(q.Count(), 4);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(q.Table(i)->TableName(), p.Table(i)->TableName());
        EXPECT_EQ(q.Table(i)->IsActive(), p.Table(i)->IsActive());
        EXPECT_EQ(records(*q.Table(i)), records(*p.Table(i))) << i;
    }

    // Two streamed tables of one name are named apart.
    std::string one = tableStream("Same", true, {});
    Source two(listOf(one + one));
    q.ReadTableList(two.r);
    ASSERT_EQ(q.Count(), 2);
    EXPECT_EQ(q.Table(1)->TableName(), "Same1");
}

TEST(LncCmd, BadStreamsAreRejectedAndChangeNothing) {
    std::string mine = tableStream("Mine", true, {1, 2});
    const std::vector<std::pair<const char*, std::string>> bad = {
        {"truncated", listOf(mine.substr(0, mine.size() - 1), true)},
        {"no list end", listOf(mine, true)},
        {"odd pair", listOf(tableStream("Mine", true, {1}))},
        {"command range", listOf(tableStream("Mine", true, {1, 70000}))},
        {"duplicate", listOf(tableStream("Mine", true, {1, 5, 1, 6}))},
        {"garbage", std::string("\x01\xEE\x07", 3)},
        {"empty", ""},
    };
    for (const auto& [name, b] : bad) {
        TLncCommandProcessor p;
        Source s(b);
        EXPECT_THROW(p.ReadTableList(s.r), cls::EReadError) << name;
        EXPECT_EQ(p.Count(), 3) << name;
        EXPECT_EQ(p.Table(0)->Count(), 64) << name;
    }
    // For a built-in name a pair of a key that is not there adds it, whatever its command.
    Source s(listOf(tableStream("grid", true, {200, 0})));
    TLncCommandProcessor p;
    p.ReadTableList(s.r);
    ASSERT_EQ(p.Count(), 1);
    EXPECT_EQ(p.Table(0)->Commands(38), rec(200, 0, 0, 0, 0));
}

TEST(LncCmd, CommandZeroSurvivesSaveAndLoad) {
    TLncCommandProcessor p;
    TLncCommandTable* d = p.GetTable("Default");
    d->Delete(d->IndexOfKey(rec(37, 0, 0, 0, 0)));
    p.AddCommand("Default", rec(37, 0, 0, 0, 0));  // a built-in key with command 0
    p.AddCommand("Default", rec(200, 1, 0, 0, 0)); // a new key with command 0
    TLncCommandTable* mine = p.AddTable("Mine", true);
    p.AddCommand("Mine", rec(5, 0, 0, 0, 0));
    std::vector<TLncCmdRec> want = records(*d);

    Source s(tableList(p));
    TLncCommandProcessor q;
    q.ReadTableList(s.r);
    ASSERT_EQ(q.Count(), 4);
    // The changed record moves to the end; the set of records is the same.
    auto byKey = [](std::vector<TLncCmdRec> v) {
        std::sort(v.begin(), v.end(), [](auto& a, auto& b) { return a.StreamKey() < b.StreamKey(); });
        return v;
    };
    EXPECT_EQ(byKey(records(*q.GetTable("Default"))), byKey(want));
    EXPECT_EQ(records(*q.GetTable("Mine")), records(*mine));

    pwtest::TempDir dir;
    std::string f = dir.file("zero.cmd");
    p.SaveCommandTable("Default", f);
    EXPECT_NE(pwtest::readFile(f).find("  37   0   0   0     0\r\n"), std::string::npos);
    int at = p.LoadCommandTable(f);
    EXPECT_EQ(records(*p.Table(at)), want);
}
