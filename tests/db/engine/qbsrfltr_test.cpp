// The server's filter over engine records: known answers of the format's rules, malformed and
// hostile blocks, time-outs on the injectable clock, and the same rows as the datasets' filter.
#include "db/engine/qbsrfltr.h"

#include "classlib/DBFilter.h"
#include "classlib/MemTable.h"
#include "db/base/qbllexcp.h"
#include "db/engine/qbconvqb.h"
#include "db/storage/qblldict.h"
#include "platform/Messages.h"
#include "tests/fuzz/FilterEvalFuzz.h"
#include "tests/fuzz/FuzzReplay.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <vector>

using namespace cls;

// Counts allocations of the test's own thread, to show that evaluation makes none per record.
namespace {
thread_local long gAllocations = 0;
}
[[gnu::noinline]] void* operator new(size_t n) {
    ++gAllocations;
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept {
    std::free(p);
}
[[gnu::noinline]] void operator delete(void* p, size_t) noexcept {
    std::free(p);
}

namespace {

// An expression block written node by node: nodes and literals go to their areas.
struct Block {
    std::vector<uint8_t> nodes, lits;
    static void put16(std::vector<uint8_t>& v, uint32_t x) {
        v.push_back(uint8_t(x));
        v.push_back(uint8_t(x >> 8));
    }
    static void put32(std::vector<uint8_t>& v, uint32_t x) {
        put16(v, x & 0xFFFF);
        put16(v, x >> 16);
    }
    uint16_t head(uint32_t cls, uint32_t op) {
        auto at = uint16_t(nodes.size());
        put32(nodes, cls);
        put32(nodes, op);
        return at;
    }
    uint16_t lit(const void* p, size_t n) {
        auto at = uint16_t(lits.size());
        lits.insert(lits.end(), static_cast<const uint8_t*>(p), static_cast<const uint8_t*>(p) + n);
        return at;
    }
    // Nodes reserve their operand fields and get them patched, so the root can come first.
    uint16_t unary(uint32_t op) {
        uint16_t at = head(nodeUnary, op);
        put16(nodes, 0);
        return at;
    }
    uint16_t binary(uint32_t op) {
        uint16_t at = head(nodeBinary, op);
        put16(nodes, 0), put16(nodes, 0);
        return at;
    }
    uint16_t compare(uint32_t op, uint16_t ci, uint16_t partial) {
        uint16_t at = head(nodeCompare, op);
        put16(nodes, ci), put16(nodes, partial), put16(nodes, 0), put16(nodes, 0);
        return at;
    }
    void link(uint16_t node, uint16_t fieldAt, uint16_t target) {
        nodes[node + fieldAt] = uint8_t(target), nodes[node + fieldAt + 1] = uint8_t(target >> 8);
    }
    uint16_t field(uint16_t no) {
        uint16_t at = head(nodeField, 0);
        put16(nodes, no);
        return at;
    }
    uint16_t constant(uint16_t type, const void* p, size_t n) {
        uint16_t at = head(nodeConst, 0);
        put16(nodes, type), put16(nodes, uint32_t(n)), put16(nodes, lit(p, n));
        return at;
    }
    uint16_t text(const std::string& s) { return constant(fldZString, s.c_str(), s.size() + 1); }
    uint16_t int32(int32_t v) { return constant(fldInt32, &v, 4); }
    uint16_t boolean(bool b) {
        uint16_t v = b;
        return constant(fldBool, &v, 2);
    }
    std::vector<uint8_t> bytes() const {
        std::vector<uint8_t> b;
        put16(b, 2);
        put16(b, uint32_t(10 + nodes.size() + lits.size()));
        put16(b, 0);
        put16(b, 10);
        put16(b, uint32_t(10 + nodes.size()));
        b.insert(b.end(), nodes.begin(), nodes.end());
        b.insert(b.end(), lits.begin(), lits.end());
        return b;
    }
};

// A layout of the given types (lengths by type) with records built through the native codec.
struct Table {
    TqbRecordLayout layout;
    explicit Table(const std::vector<std::pair<int32_t, int32_t>>& fields) {
        int32_t at = 0;
        for (auto [type, len] : fields) {
            layout.Fields.push_back({type, at, len, "f" + std::to_string(layout.Fields.size() + 1)});
            at += len;
        }
        layout.NullBitsOffset = at < 8 ? 8 : at;
    }
    // All fields null.
    std::vector<uint8_t> record() const {
        std::vector<uint8_t> r(size_t(layout.RecordLength()), 0);
        for (size_t n = 0; n < layout.Fields.size(); ++n)
            r[size_t(layout.NullBitsOffset) + n / 8] |= uint8_t(1u << (n % 8));
        return r;
    }
    void set(std::vector<uint8_t>& r, int fieldNo, const TFilterValue& v) const {
        const TqbFilterField& f = layout.Fields[size_t(fieldNo - 1)];
        EncodeNative(QbNativeKind(f.FieldType), r.data() + f.Offset, size_t(f.Length), v);
        r[size_t(layout.NullBitsOffset) + size_t(fieldNo - 1) / 8] &= uint8_t(~(1u << ((fieldNo - 1) % 8)));
    }
};

bool passes(const Table& t, const Block& b, const std::vector<uint8_t>& rec) {
    std::vector<uint8_t> bytes = b.bytes();
    TqbSrFilter f(t.layout, 0, bytes.data(), bytes.size());
    return f.MatchesRecord(rec.data());
}

int32_t refusal(const Table& t, const std::vector<uint8_t>& bytes, size_t len) {
    try {
        TqbSrFilter f(t.layout, 0, bytes.data(), len);
        return 0;
    } catch (const EqbServerException& e) {
        return e.ErrorCode;
    }
}

} // namespace

TEST(ServerFilter, RulesOfTheFormat) {
    Table t({{qbtInt32, 4}, {qbtShortString, 11}, {qbtWord32, 4}, {qbtAutoInc, 4}, {qbtBoolean, 1}});
    std::vector<uint8_t> nulls = t.record();

    // No block, or a total size of 0: every record passes.
    TqbSrFilter none(t.layout, 0, nullptr, 0);
    EXPECT_TRUE(none.MatchesRecord(nulls.data()));
    std::vector<uint8_t> zero(10, 0);
    TqbSrFilter empty(t.layout, 0, zero.data(), zero.size());
    EXPECT_TRUE(empty.MatchesRecord(nulls.data()));

    // A null field is below a non-null constant: < true, = false; two nulls are equal.
    for (auto [op, want] : {std::pair{canLT, true}, {canEQ, false}, {canGT, false}}) {
        Block b;
        uint16_t c = b.compare(op, 0, 0);
        b.link(c, 12, b.field(1));
        b.link(c, 14, b.int32(5));
        EXPECT_EQ(passes(t, b, nulls), want) << op;
    }
    Block both;
    uint16_t c = both.binary(canEQ);
    both.link(c, 8, both.field(1));
    both.link(c, 10, both.field(3));
    EXPECT_TRUE(passes(t, both, nulls));

    // Is blank on a null field is true, not of it false.
    Block blank;
    uint16_t n = blank.unary(canNot), inner = blank.unary(canIsBlank);
    blank.link(n, 8, inner);
    blank.link(inner, 8, blank.field(1));
    EXPECT_FALSE(passes(t, blank, nulls));
    Block isBlank;
    uint16_t ib = isBlank.unary(canIsBlank);
    isBlank.link(ib, 8, isBlank.field(1));
    EXPECT_TRUE(passes(t, isBlank, nulls));

    // Partial length 3 and ignore case: equal when only the case of the first three differs.
    std::vector<uint8_t> r = t.record();
    t.set(r, 2, TextValue("ABCdef"));
    Block part;
    c = part.compare(canEQ, 1, 3);
    part.link(c, 12, part.field(2));
    part.link(c, 14, part.text("abcXYZ"));
    EXPECT_TRUE(passes(t, part, r));
    // A binary equal node compares case-sensitively and over the whole value.
    for (const char* other : {"abcdef", "ABCdefg", "ABC"}) {
        Block whole;
        c = whole.binary(canEQ);
        whole.link(c, 8, whole.field(2));
        whole.link(c, 10, whole.text(other));
        EXPECT_FALSE(passes(t, whole, r)) << other;
    }

    // Unsigned 32-bit fields: 4,000,000,000 is above 2,000,000,000.
    t.set(r, 3, IntegerValue(4000000000LL));
    t.set(r, 4, IntegerValue(4000000000LL));
    for (int field : {3, 4}) {
        Block big;
        c = big.binary(canGT);
        big.link(c, 8, big.field(uint16_t(field)));
        big.link(c, 10, big.int32(2000000000));
        EXPECT_TRUE(passes(t, big, r)) << field;
    }
}

TEST(ServerFilter, GroupFilterAsTheDatasetsCompileIt) {
    // The contacts table: name, id, servicenumber, password, memberGr1..10.
    std::vector<std::pair<int32_t, int32_t>> fields = {
        {qbtShortString, 31}, {qbtShortString, 11}, {qbtInt32, 4}, {qbtShortString, 21}};
    std::vector<TFilterField> names = {{"name", 1, ftString},
                                       {"id", 2, ftString},
                                       {"servicenumber", 3, ftInteger},
                                       {"password", 4, ftString}};
    for (int g = 1; g <= 10; ++g) {
        fields.push_back({qbtBoolean, 1});
        names.push_back({"memberGr" + std::to_string(g), 4 + g, ftBoolean});
    }
    Table t(fields);
    std::vector<uint8_t> bytes = BuildFilterExpression("memberGr3=true", 0, names);
    TqbSrFilter f(t.layout, 500, bytes.data(), bytes.size());

    std::vector<uint8_t> r = t.record();
    EXPECT_FALSE(f.MatchesRecord(r.data())); // null
    t.set(r, 7, BooleanValue(false));
    EXPECT_FALSE(f.MatchesRecord(r.data()));
    r[size_t(t.layout.Fields[6].Offset)] = 0x80; // any non-zero byte is true
    EXPECT_TRUE(f.MatchesRecord(r.data()));
    t.set(r, 6, BooleanValue(false));
    t.set(r, 8, BooleanValue(false));
    EXPECT_TRUE(f.MatchesRecord(r.data()));
}

TEST(ServerFilter, RecordsLaidOutByATablesDictionary) {
    // Records written through the dictionary are read by the filter at the same places, null bits
    // included.
    TqbDataDictionary d;
    d.AddField("name", "", qbtShortString, 30, 0, false);
    d.AddField("servicenumber", "", qbtInt32, 0, 0, false);
    for (int g = 1; g <= 10; ++g)
        d.AddField("memberGr" + std::to_string(g), "", qbtBoolean, 0, 0, false);
    const TqbRecordLayout layout = RecordLayoutOf(d);
    ASSERT_EQ(layout.RecordLength(), d.RecordLength());
    std::vector<TFilterField> names = {{"name", 1, ftString}, {"servicenumber", 2, ftInteger}};
    for (int g = 1; g <= 10; ++g)
        names.push_back({"memberGr" + std::to_string(g), 2 + g, ftBoolean});
    std::vector<uint8_t> bytes = BuildFilterExpression("memberGr3=true and servicenumber>1", 0, names);
    TqbSrFilter f(layout, 0, bytes.data(), bytes.size());

    std::vector<uint8_t> r(size_t(d.RecordLength()));
    d.InitRecord(r.data());
    const int32_t service = 2;
    const uint16_t yes = 1, no = 0; // wide enough for any Boolean field length
    d.SetRecordField(1, r.data(), &service);
    d.SetRecordField(4, r.data(), &yes); // memberGr3
    EXPECT_TRUE(f.MatchesRecord(r.data()));
    d.SetRecordFieldNull(4, r.data(), true);
    EXPECT_FALSE(f.MatchesRecord(r.data()));
    d.SetRecordField(4, r.data(), &no);
    EXPECT_FALSE(f.MatchesRecord(r.data()));
    d.SetRecordField(3, r.data(), &yes); // memberGr2 is not the group asked for
    EXPECT_FALSE(f.MatchesRecord(r.data()));
}

TEST(ServerFilter, HostileBlocksAreRefusedOnceAtSetTime) {
    Table t({{qbtInt32, 4}, {qbtShortString, 6}});
    Block good;
    uint16_t c = good.binary(canEQ);
    good.link(c, 8, good.field(1));
    good.link(c, 10, good.int32(7));
    std::vector<uint8_t> ok = good.bytes();
    EXPECT_EQ(refusal(t, ok, ok.size()), 0);
    // The caller's length is shorter than the header's size, or shorter than the header.
    EXPECT_EQ(refusal(t, ok, ok.size() - 1), 10050);
    EXPECT_EQ(refusal(t, ok, 9), 10050);
    // A node area beyond the block, an operand offset past the end, a constant sized past it.
    std::vector<uint8_t> b = ok;
    b[6] = 0xF0;
    EXPECT_EQ(refusal(t, b, b.size()), 10050);
    b = ok;
    b[10 + 8] = 0xFF;
    EXPECT_EQ(refusal(t, b, b.size()), 10050);
    b = ok;
    b[10 + 12 + 10 + 10] = 0x40; // the constant's size
    EXPECT_EQ(refusal(t, b, b.size()), 10050);
    // A node that is its own operand, and a chain deeper than the limit.
    Block self;
    self.unary(canNot); // operand 0: itself
    std::vector<uint8_t> cyc = self.bytes();
    EXPECT_EQ(refusal(t, cyc, cyc.size()), 10050);
    Block deep;
    for (int i = 0; i < 2000; ++i) {
        uint16_t at = deep.unary(canNot);
        deep.link(at, 8, uint16_t(deep.nodes.size()));
    }
    deep.field(1);
    std::vector<uint8_t> d = deep.bytes();
    EXPECT_EQ(refusal(t, d, d.size()), 10050);
    // A diamond of shared operands whose paths outgrow the visit budget.
    Block wide;
    uint16_t root = wide.binary(canAnd), prev = wide.field(1);
    for (int i = 0; i < 40; ++i) {
        uint16_t n = wide.binary(canAnd);
        wide.link(n, 8, prev);
        wide.link(n, 10, prev);
        prev = n;
    }
    wide.link(root, 8, prev);
    wide.link(root, 10, prev);
    std::vector<uint8_t> w = wide.bytes();
    EXPECT_EQ(refusal(t, w, w.size()), 10050);

    // At run time: field numbers outside the table and a text constant without its terminator
    // make the comparison False rather than reading outside anything.
    std::vector<uint8_t> r = t.record();
    t.set(r, 1, IntegerValue(7));
    t.set(r, 2, TextValue("abc"));
    for (uint16_t no : {0, 3, 65535}) {
        Block f;
        c = f.unary(canIsBlank);
        uint16_t at = f.field(no);
        f.link(c, 8, at);
        EXPECT_FALSE(passes(t, f, r)) << no;
    }
    Block unterminated;
    c = unterminated.compare(canNE, 0, 0);
    unterminated.link(c, 12, unterminated.field(2));
    unterminated.link(c, 14, unterminated.constant(fldZString, "abc", 3));
    EXPECT_FALSE(passes(t, unterminated, r));
    // A short string whose length byte exceeds its field reads only the field.
    r[size_t(t.layout.Fields[1].Offset)] = 200;
    std::memcpy(r.data() + t.layout.Fields[1].Offset + 1, "abcde", 5);
    Block over;
    c = over.binary(canEQ);
    over.link(c, 8, over.field(2));
    over.link(c, 10, over.text("abcde"));
    EXPECT_TRUE(passes(t, over, r));
}

TEST(ServerFilter, ValueNodesNumbersAndWideTextCompareSoundly) {
    Table t({{qbtBoolean, 1}, {qbtInt32, 4}, {qbtWideString, 12}, {qbtWideChar, 2}, {qbtDouble, 8}});
    std::vector<uint8_t> r = t.record();
    t.set(r, 1, BooleanValue(false));
    t.set(r, 2, IntegerValue(3));
    t.set(r, 3, TextValue("B\xE9tty"));
    t.set(r, 4, TextValue("Z"));
    t.set(r, 5, FloatValue(2.5));

    // A Boolean field as the condition is its value; not of it is its negation.
    Block bare;
    bare.field(1);
    EXPECT_FALSE(passes(t, bare, r));
    Block negated;
    uint16_t neg = negated.unary(canNot);
    negated.link(neg, 8, negated.field(1));
    EXPECT_TRUE(passes(t, negated, r));
    // A Boolean compared with a number is no match whichever way.
    for (uint32_t op : {canEQ, canNE}) {
        Block mixed;
        uint16_t c = mixed.binary(op);
        mixed.link(c, 8, mixed.field(1));
        mixed.link(c, 10, mixed.int32(0));
        EXPECT_FALSE(passes(t, mixed, r)) << op;
    }
    // An integer and a float compare in the wider class, in either order.
    double half = 2.5;
    Block left, right;
    uint16_t c = left.binary(canGT);
    left.link(c, 8, left.field(2));
    left.link(c, 10, left.constant(fldFloat, &half, 8));
    c = right.binary(canLT);
    right.link(c, 8, right.constant(fldFloat, &half, 8));
    right.link(c, 10, right.field(2));
    EXPECT_TRUE(passes(t, left, r));
    EXPECT_TRUE(passes(t, right, r));
    Block fi;
    c = fi.binary(canLT);
    fi.link(c, 8, fi.field(5));
    fi.link(c, 10, fi.field(2));
    EXPECT_TRUE(passes(t, fi, r));
    // Wide text compares as text with 8-bit constants.
    for (auto [field, text] : {std::pair{3, "b\xC9TTY"}, {4, "z"}}) {
        Block wide;
        c = wide.compare(canEQ, 1, 0);
        wide.link(c, 12, wide.field(uint16_t(field)));
        wide.link(c, 14, wide.text(text));
        EXPECT_TRUE(passes(t, wide, r)) << field;
    }
}

TEST(ServerFilter, TimeOutOnTheMonotonicClock) {
    plat::ManualClock clock(0xFFFFFFF0ull); // just below the 32-bit wrap
    plat::SetClock(&clock);
    Table t({{qbtInt32, 4}});
    TqbSrFilter f(t.layout, 100, nullptr, 0);
    int32_t result = 0;
    f.BeginTimeout();
    EXPECT_FALSE(f.TimedOut(result));
    clock.Advance(100); // equal to the deadline, across the wrap: not yet
    EXPECT_FALSE(f.TimedOut(result));
    clock.Advance(1);
    EXPECT_TRUE(f.TimedOut(result));
    EXPECT_EQ(result, 15444);
    TqbSrFilter endless(t.layout, 0, nullptr, 0); // no time-out
    endless.BeginTimeout();
    clock.Advance(1000000);
    EXPECT_FALSE(endless.TimedOut(result));
    plat::SetClock(nullptr);
}

TEST(ServerFilter, NoAllocationPerRecord) {
    Table t({{qbtWideString, 40}, {qbtShortString, 21}, {qbtInt32, 4}});
    std::vector<uint8_t> r = t.record();
    t.set(r, 1, TextValue("wide text"));
    t.set(r, 2, TextValue("short text"));
    t.set(r, 3, IntegerValue(5));
    Block b;
    uint16_t orNode = b.binary(canOr);
    uint16_t w = b.compare(canGE, 1, 0);
    b.link(w, 12, b.field(1));
    b.link(w, 14, b.text("WIDE"));
    uint16_t s = b.binary(canLT);
    b.link(s, 8, b.field(2));
    b.link(s, 10, b.field(1));
    b.link(orNode, 8, s);
    b.link(orNode, 10, w);
    std::vector<uint8_t> bytes = b.bytes();
    TqbSrFilter f(t.layout, 0, bytes.data(), bytes.size());
    ASSERT_TRUE(f.MatchesRecord(r.data())); // the first record may size the text buffers
    long before = gAllocations;
    for (int i = 0; i < 1000; ++i)
        ASSERT_TRUE(f.MatchesRecord(r.data()));
    EXPECT_EQ(gAllocations, before);
}

// The server's filter over engine records and the datasets' filter over the same rows in an
// in-memory table give the same rows for the same filter text.
TEST(ServerFilter, SameRowsAsTheDatasetsFilter) {
    TMemDatabase::DropAll();
    TMemDatabase::CreateTable("sameRows", "people",
                              {{"name", ftString, 20},
                               {"qty", ftInteger},
                               {"price", ftFloat},
                               {"member", ftBoolean},
                               {"small", ftSmallint},
                               {"row", ftInteger}},
                              {});
    Table t({{qbtShortString, 21}, {qbtInt32, 4}, {qbtDouble, 8}, {qbtBoolean, 1}, {qbtInt16, 2}});
    std::vector<TFilterField> fields = {{"name", 1, ftString},
                                        {"qty", 2, ftInteger},
                                        {"price", 3, ftFloat},
                                        {"member", 4, ftBoolean},
                                        {"small", 5, ftSmallint}};
    TMemTable table;
    table.SetDatabaseName("sameRows");
    table.SetTableName("people");
    table.Open();
    std::mt19937 rng(77);
    const std::vector<std::string> names = {"Bob", "bob", "Bobby", "Carol", "alice", "", "b\xE9t\xE9"};
    std::vector<std::vector<uint8_t>> records;
    for (int i = 0; i < 300; ++i) {
        std::vector<uint8_t> r = t.record();
        table.Append();
        table.FieldByName("row")->SetAsInteger(i);
        if (rng() % 6) {
            std::string n = names[rng() % names.size()];
            table.FieldByName("name")->SetAsString(n);
            t.set(r, 1, TextValue(n));
        }
        if (rng() % 5) {
            int q = int(rng() % 9) - 3;
            table.FieldByName("qty")->SetAsInteger(q);
            t.set(r, 2, IntegerValue(q));
        }
        if (rng() % 5) {
            double p = (int(rng() % 9) - 2) * 0.5;
            table.FieldByName("price")->SetAsFloat(p);
            t.set(r, 3, FloatValue(p));
        }
        if (rng() % 4) {
            bool m = rng() % 2;
            table.FieldByName("member")->SetAsBoolean(m);
            t.set(r, 4, BooleanValue(m));
        }
        if (rng() % 4) {
            int s = int(rng() % 5) - 2;
            table.FieldByName("small")->SetAsInteger(s);
            t.set(r, 5, IntegerValue(s));
        }
        table.Post();
        records.push_back(r);
    }
    const std::vector<std::pair<std::string, TFilterOptions>> filters = {
        {"member = true", 0},
        {"member", 0},
        {"not member", 0},
        {"qty > 1.5", 0},
        {"price < qty", 0},
        {"name = 'bob'", foCaseInsensitive},
        {"name = 'Bo*'", 0},
        {"name >= 'Bob' and (qty <> 0 or price is null)", 0},
        {"small = -1 or not (member = false)", 0},
        {"name is not null and small > qty", 0},
    };
    for (const auto& [text, options] : filters) {
        std::vector<uint8_t> bytes = BuildFilterExpression(text, options, fields);
        TqbSrFilter f(t.layout, 0, bytes.data(), bytes.size());
        std::vector<int> server, client;
        for (size_t i = 0; i < records.size(); ++i)
            if (f.MatchesRecord(records[i].data())) server.push_back(int(i));
        table.SetFilterOptions(options);
        table.SetFilterText(text);
        table.SetFiltered(true);
        for (table.First(); !table.Eof(); table.Next())
            client.push_back(table.FieldByName("row")->AsInteger());
        table.SetFiltered(false);
        EXPECT_EQ(server, client) << text;
        EXPECT_FALSE(server.empty()) << text;
    }
    table.Close();
    TMemDatabase::DropAll();
}

TEST(ServerFilter, FuzzCorpusRunsClean) {
    std::vector<std::string> corpus = pwfuzz::Corpus("filter_eval");
    ASSERT_GT(corpus.size(), 10u);
    pwfuzz::Replay(corpus, pwfuzz::RunFilterEval);
}
